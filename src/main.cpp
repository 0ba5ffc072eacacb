// The tray application's entry: the command line, the application object, the single instance, the delegate.
#include "Shell/AppDelegate.h"
#include "Shell/CommandLine.h"
#include "Shell/MenuBarManager.h"
#include "Shell/QtTranslations.h"
#include "Shell/ShellTexts.h"
#include "Shell/SingleInstance.h"
#include "version.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <optional>

namespace {

// Settled before QApplication exists: --help and --version need no display, and a mistyped option must
// neither start the application nor hand over to the running one.
std::optional<int> answerCommandLine(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const velkaro::CommandLine line = velkaro::CommandLine::parse(arguments);
    switch (line.action) {
    case velkaro::CommandLine::Action::run:
        return std::nullopt;
    case velkaro::CommandLine::Action::help:
        std::fputs(velkaro::CommandLine::usageText().toLocal8Bit().constData(), stdout);
        return 0;
    case velkaro::CommandLine::Action::version:
        std::fputs(velkaro::CommandLine::versionText().toLocal8Bit().constData(), stdout);
        return 0;
    case velkaro::CommandLine::Action::usageError:
        std::fprintf(stderr, "%s\n\n%s", line.problem.toLocal8Bit().constData(),
            velkaro::CommandLine::usageText().toLocal8Bit().constData());
        return 2;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    if (const auto exitCode = answerCommandLine(argc, argv))
        return *exitCode;

    QApplication app(argc, argv);
    // StatusNotifier hosts show the application name as the item's title, so it is the name people
    // read; the desktop file name ties windows and the item to velkaro-backup.desktop.
    QApplication::setApplicationName(velkaro::ShellTexts::appName());
    QApplication::setApplicationDisplayName(velkaro::ShellTexts::appName());
    QApplication::setApplicationVersion(QStringLiteral(VELKARO_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("velkaro-backup"));
    QApplication::setWindowIcon(velkaro::MenuBarManager::statusIcon());
    velkaro::installQtTranslations(app, QLocale());

    // Settled before anything else is built: a second launch never makes a second AppState (two
    // schedulers would run every backup twice).
    const QStringList arguments = QCoreApplication::arguments();
    velkaro::SingleInstance instance;
    if (instance.start(arguments.mid(1)) == velkaro::SingleInstance::Role::handedOver)
        return 0;

    velkaro::AppDelegate delegate(arguments);
    QObject::connect(
        &instance, &velkaro::SingleInstance::argumentsReceived, &delegate, &velkaro::AppDelegate::handleLaunchRequest);
    delegate.launch();
    return QApplication::exec();
}
