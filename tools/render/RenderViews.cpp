// A developer tool, not a test: renders the window's pages to PNG files for a look by eye, in a light and a dark
// palette at the default and the minimum window size. Run by hand:
//   QT_QPA_PLATFORM=offscreen VELKARO_RENDER_DIR=OUT velkaro_gui_render   (OUT defaults to /tmp/velkaro-renders)
#include "AppStateFixture.h"
#include "GuiPalettes.h"
#include "Services/StoreLock.h"
#include "Shell/MainWindow.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Backups/FileDiffView.h"
#include "Views/Backups/FileVersionsPane.h"
#include "Views/Common/Dialogs.h"
#include "Views/Main/MainWindowView.h"
#include "Views/Templates/TemplateManagerView.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QTest>

namespace velkaro::test {
namespace {

using namespace std::chrono_literals;

class Render : public AppStateFixture
{
protected:
    void shoot(MainWindowView &view, const QString &name)
    {
        drainEvents();
        for (const auto &[size, tag] : {std::pair {QSize(900, 600), "900"}, std::pair {QSize(860, 560), "860"},
                 std::pair {QSize(1400, 900), "wide"}}) {
            view.resize(size);
            QTest::qWait(30);
            const QString file
                = QDir(outDir()).filePath(name + QLatin1Char('-') + palette + QLatin1Char('-') + tag + ".png");
            EXPECT_TRUE(view.grab().save(file)) << file.toStdString();
        }
    }
    // The whole window, menu bar included, at its minimum size, one page after the other.
    void shootWindowAtMinimum(AppState &app)
    {
        MainWindow window(app);
        window.show();
        window.resize(window.minimumSize());
        for (NavigationTab tab : allCases<NavigationTab>()) {
            app.setSelectedTab(tab);
            drainEvents();
            QTest::qWait(30);
            const QString file
                = QDir(outDir()).filePath(QStringLiteral("window-min-%1-%2.png").arg(int(tab)).arg(palette));
            EXPECT_TRUE(window.grab().save(file)) << file.toStdString();
        }
        app.setSelectedTab(NavigationTab::dashboard);
    }
    // A question over the page it belongs to, at the minimum window size: the box the real seam runs,
    // shown without its event loop and drawn centred over the dimmed page.
    void shootQuestion(MainWindowView &view, QMessageBox &box, const QString &name)
    {
        view.resize(860, 560);
        box.show();
        drainEvents();
        QTest::qWait(30);
        QPixmap shot = view.grab();
        const QPixmap dialog = box.grab();
        box.hide();
        QPainter painter(&shot);
        painter.fillRect(shot.rect(), QColor(0, 0, 0, 60));
        painter.drawPixmap((shot.width() - dialog.width()) / 2, (shot.height() - dialog.height()) / 2, dialog);
        painter.end();
        const QString file = QDir(outDir()).filePath(name + QLatin1Char('-') + palette + "-860.png");
        EXPECT_TRUE(shot.save(file)) << file.toStdString();
    }
    static QString outDir()
    {
        QString dir = qEnvironmentVariable("VELKARO_RENDER_DIR", QStringLiteral("/tmp/velkaro-renders"));
        QDir().mkpath(dir);
        return dir;
    }
    void scenes()
    {
        AppState &app = start(3000ms);
        MainWindowView view(app);
        auto *history = qobject_cast<BackupHistoryView *>(view.page(NavigationTab::history));
        history->setAlertFunction([](QWidget *, const QString &, const QString &) {});
        history->setRestoreConfirmFunction([](QWidget *, const BackupSnapshot &, RestoreScopeOption) { return true; });
        view.show();
        writeText(src / "GEMINI.md", "# rules\n\n- 日本語で答えてね\n- 短く書く\n- テストを先に書く\n- 変更は小さく\n");
        shoot(view, "dashboard-empty");
        for (int i = 0; i < 20; ++i) // enough files that the list is the one to scroll
            writeText(src / ("commands/cmd-" + std::to_string(i) + ".md"), "x");
        manualBackups(5);
        shoot(view, "dashboard-five");
        app.setSelectedTab(NavigationTab::history);
        auto lock = StoreLock::acquire(dest);
        QTest::mouseClick(history->restoreButton(), Qt::LeftButton);
        shoot(view, "history-restoring");
        lock = std::unexpected(Error {});
        settle();
        shoot(view, "history-after");
        shootDiff(view, *history);
        shootVersions(view, *history);
        shootQuestion(view,
            *makeRestoreQuestion(&view, history->selectedSnapshot().value(), RestoreScopeOption::markdownOnly),
            "question-restore");
        app.setSelectedTab(NavigationTab::templates);
        shoot(view, "templates");
        shootLongTitle(view);
        shootQuestion(view, *makeSaveQuestion(&view, QStringLiteral("テンプレート操作")), "question-save-template");
        // Files the list leaves out, so that the settings page has its line under the extensions.
        writeText(src / "tools/sync.sh", "x");
        writeText(src / "tools/clean.sh", "x");
        writeText(src / "notes.log", "x");
        app.setSelectedTab(NavigationTab::settings);
        waitUntil([&] { return !app.leftOutSummary().empty(); });
        shoot(view, "settings");
        shootQuestion(view, *makeSaveQuestion(&view, QStringLiteral("設定保存")), "question-save-settings");
        QMessageBox refused(QMessageBox::Information, QStringLiteral("設定保存"),
            QStringLiteral("「対象フォルダ 1」は / か ~ で始まるフルパスで入力してね。"), QMessageBox::Ok, &view);
        shootQuestion(view, refused, "alert-path-refused");
        app.setSelectedTab(NavigationTab::history);
        shoot(view, "history-noted");
        view.hide();
        shootWindowAtMinimum(app);
    }
    // A template with a title of 20 Japanese characters, applied: its safety snapshot carries a note.
    void shootLongTitle(MainWindowView &view)
    {
        auto *page = qobject_cast<TemplateManagerView *>(view.page(NavigationTab::templates));
        page->setAlertFunction([](QWidget *, const QString &, const QString &) {});
        page->titleField()->setText(QStringLiteral("コーディング品質ガイドラインと設計指針集"));
        page->saveTemplate();
        page->applyTemplate();
        settle();
        shoot(view, "templates-long-title");
    }
    // A file chosen in the detail pane, changed since the snapshot, with a file that only exists now.
    void shootDiff(MainWindowView &view, BackupHistoryView &history)
    {
        writeText(src / "GEMINI.md",
            "# rules\n\n- 日本語で答えてね\n- 短く、やさしく書く\n- テストを先に書く\n- 変更は小さく\n- "
            "コミットはこまめに\n");
        writeText(src / "notes/new.md", "x");
        history.list()->setCurrentRow(history.list()->count() - 1);
        QListWidget *files = history.fileList();
        for (int i = 0; i < files->count(); ++i) {
            if (files->item(i)->text() == QStringLiteral("GEMINI.md"))
                files->setCurrentRow(i);
        }
        waitUntil([&] { return history.filesPane()->diffView()->document()->blockCount() > 3; });
        shoot(view, "history-diff");
    }
    // GEMINI.md's versions: two more edits, each backed up, then its versions view with the newest chosen.
    void shootVersions(MainWindowView &view, BackupHistoryView &history)
    {
        manualBackups(1);
        writeText(src / "GEMINI.md", "# rules\n\n- 英語で答えてね\n- テストを先に書く\n");
        manualBackups(2);
        history.list()->setCurrentRow(0);
        history.showFileVersions("GEMINI.md");
        waitUntil([&] { return history.versionsPane()->versionList()->count() > 2; });
        history.versionsPane()->versionList()->setCurrentRow(1);
        waitUntil([&] { return history.versionsPane()->diffView()->document()->blockCount() > 3; });
        shoot(view, "history-versions");
    }
    QString palette;
};

TEST_F(Render, Light)
{
    QApplication::setPalette(QApplication::style()->standardPalette());
    palette = "light";
    scenes();
}

TEST_F(Render, Dark)
{
    QApplication::setPalette(darkPalette());
    palette = "dark";
    scenes();
}

} // namespace
} // namespace velkaro::test
