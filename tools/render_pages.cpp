// Renders every page of the management window to PNG files, in a light and a dark palette and at the
// window's default and minimum sizes, over a throwaway home with a few snapshots. For looking at the
// pages without a desktop:
//
//   velkaro-render-pages OUTPUT_FOLDER [SNAPSHOT_COUNT]
//
// Writes OUTPUT_FOLDER/<page>-<light|dark>-<width>x<height>.png. Runs on the offscreen platform unless
// QT_QPA_PLATFORM says otherwise.
#include "Models/AppEnums.h"
#include "Services/AppState.h"
#include "Views/Main/MainWindowView.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QThreadPool>

#include <cstdio>
#include <cstdlib>
#include <fstream>

using namespace velkaro;

namespace {

QPalette darkPalette()
{
    QPalette p;
    const QColor window(45, 45, 48), base(30, 30, 32), text(230, 230, 230), mid(90, 90, 96);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    p.setColor(QPalette::Mid, mid);
    p.setColor(QPalette::Dark, QColor(20, 20, 20));
    p.setColor(QPalette::Light, QColor(70, 70, 74));
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(90, 160, 255));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
    return p;
}

void writeFile(const QString &path, const char *text)
{
    QDir().mkpath(QFileInfo(path).path());
    std::ofstream(path.toStdString()) << text;
}

void waitUntilIdle(const AppState &state)
{
    QElapsedTimer timer;
    timer.start();
    while (state.isBusy() && timer.elapsed() < 30000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    QApplication::processEvents();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER [SNAPSHOT_COUNT]\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never the real home: the state, its config and its store live in a temporary folder.
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toLocal8Bit());
    writeFile(home.path() + "/.gemini/GEMINI.md", "# ルール\n");
    writeFile(home.path() + "/.gemini/settings.json", "{}\n");
    writeFile(home.path() + "/.gemini/prompts/review.md", "レビューして\n");

    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    const int snapshots = argc > 2 ? std::atoi(argv[2]) : 5;

    AppState state(BackupService(), RestoreService(BackupService()), TemplateService(),
                   LaunchAtLoginManager(home.path().toStdString() + "/.config/autostart/velkaro-backup.desktop",
                                        "/usr/bin/velkaro-backup"));
    for (int i = 0; i < snapshots; ++i) {
        state.performManualBackup();
        waitUntilIdle(state);
    }

    const QPalette light = QApplication::style()->standardPalette();
    for (const auto &[paletteName, palette] : {std::pair {"light", light}, std::pair {"dark", darkPalette()}}) {
        QApplication::setPalette(palette);
        MainWindowView window(state);
        window.setWindowTitle(QStringLiteral("Velkaro Antigravity Backup"));
        window.show();
        for (const QSize size : {QSize(900, 600), QSize(860, 560)}) {
            window.resize(size);
            for (const auto &[tab, label] : EnumLabels<NavigationTab>::table) {
                state.setSelectedTab(tab);
                // Layout requests are posted events: let them all run before the grab.
                for (int i = 0; i < 3; ++i)
                    QApplication::processEvents();
                const QString file = QStringLiteral("%1/%2-%3-%4x%5.png")
                                         .arg(out, QString::number(int(tab)), QString::fromLatin1(paletteName))
                                         .arg(size.width())
                                         .arg(size.height());
                if (!window.grab().save(file)) {
                    std::fprintf(stderr, "could not write %s\n", qPrintable(file));
                    return 1;
                }
            }
        }
    }
    QThreadPool::globalInstance()->waitForDone();
    return 0;
}
