#include "Shell/MenuBarManager.h"
#include "AppStateFixture.h"
#include "Shell/MainWindow.h"
#include "ShellTestSupport.h"

#include <QApplication>
#include <QSystemTrayIcon>

#include <algorithm>
#include <gmock/gmock.h>

namespace velkaro::test {
namespace {

using ::testing::ElementsAre;

class MenuBarManagerTest : public AppStateFixture
{
protected:
    // Opens the tray menu on screen, which rebuilds it, and closes it again unless `keepOpen`.
    void openMenu(MenuBarManager &manager, bool keepOpen = false)
    {
        manager.menu()->popup(QPoint(200, 200));
        ASSERT_TRUE(waitUntil([&] { return manager.menu()->isVisible(); }));
        if (!keepOpen)
            manager.menu()->hide();
    }

    QMenu &templateMenu(MenuBarManager &manager)
    {
        QAction *item = findAction(*manager.menu(), QStringLiteral("プロンプトテンプレートを適用"));
        EXPECT_NE(item, nullptr);
        return *QMenu::menuInAction(item);
    }

    int windowRequests = 0;
};

// Before any backup and without a schedule: nine entries, in order, with their states and keys.
TEST_F(MenuBarManagerTest, NineEntriesWithoutScheduleBeforeAnyBackup)
{
    config.backupInterval = BackupInterval::disabled;
    AppState &app = start();
    MenuBarManager manager(&app, [this] { ++windowRequests; });
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_TRUE(manager.statusItem()->isVisible());
    EXPECT_FALSE(manager.statusItem()->icon().isNull());
    EXPECT_EQ(manager.statusItem()->toolTip().toStdString(), "Velkaro Antigravity Backup");

    openMenu(manager);
    EXPECT_THAT(describe(*manager.menu()),
        ElementsAre("Velkaro Antigravity Backup|off", "バックアップ未実行|off", "---",
            "今すぐバックアップを実行|Ctrl+B", "プロンプトテンプレートを適用|>", "---",
            "管理ダッシュボードを開く...|Ctrl+O", "---", "終了|Ctrl+Q"));

    // The key hints work in the open menu.
    openMenu(manager, true);
    QTest::keyClick(manager.menu(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(windowRequests, 1);
    EXPECT_FALSE(manager.menu()->isVisible());
}

// With a schedule and after a backup: ten entries, the last backup as MM/dd HH:mm, the next run as HH:mm.
// The menu is rebuilt on opening, not before.
TEST_F(MenuBarManagerTest, TenEntriesWithScheduleAfterBackup)
{
    config.backupInterval = BackupInterval::hourly;
    AppState &app = start();
    MenuBarManager manager(&app, [] {});
    ASSERT_EQ(describe(*manager.menu())[1], "バックアップ未実行|off");

    openMenu(manager, true);
    QTest::keyClick(manager.menu(), Qt::Key_B, Qt::ControlModifier);
    settle();
    ASSERT_EQ(app.snapshots().size(), 1u);
    EXPECT_EQ(describe(*manager.menu())[1], "バックアップ未実行|off");

    openMenu(manager);
    EXPECT_THAT(describe(*manager.menu()),
        ElementsAre("Velkaro Antigravity Backup|off", "最終バックアップ: 03/04 09:00|off", "次回予定: 11:00|off", "---",
            "今すぐバックアップを実行|Ctrl+B", "プロンプトテンプレートを適用|>", "---",
            "管理ダッシュボードを開く...|Ctrl+O", "---", "終了|Ctrl+Q"));
    // The tooltip carries the outcome.
    EXPECT_TRUE(
        manager.statusItem()->toolTip().startsWith(QStringLiteral("Velkaro Antigravity Backup\nバックアップ完了 (")))
        << manager.statusItem()->toolTip().toStdString();
}

// One item per template in library order; choosing one writes it into GEMINI.md of the first source.
// A title saved later shows at the next opening.
TEST_F(MenuBarManagerTest, TemplateSubmenuAppliesTheChosenTemplate)
{
    AppState &app = start();
    MenuBarManager manager(&app, [] {});
    openMenu(manager);
    const TemplateList library = app.templates();
    EXPECT_THAT(describe(templateMenu(manager)),
        ElementsAre(
            "標準AIアシスタント", "コーディング品質ガイドライン", "シニアコードレビュアー", "日本語開発アシスタント"));

    // While the apply runs the entry waits, also in the menu that is open.
    QAction *entry = findAction(*manager.menu(), QStringLiteral("プロンプトテンプレートを適用"));
    templateMenu(manager).actions()[1]->trigger();
    EXPECT_FALSE(entry->isEnabled());
    openMenu(manager);
    EXPECT_FALSE(findAction(*manager.menu(), QStringLiteral("プロンプトテンプレートを適用"))->isEnabled());
    settle();
    EXPECT_TRUE(findAction(*manager.menu(), QStringLiteral("プロンプトテンプレートを適用"))->isEnabled());
    EXPECT_EQ(readText(src / library[1].targetFileName), library[1].promptContent);
    EXPECT_EQ(app.statusMessage(), "「" + library[1].title + "」を GEMINI.md に適用したよ！");

    PromptTemplate renamed = library[1];
    renamed.title = "改名したテンプレート";
    app.saveTemplate(renamed);
    EXPECT_EQ(templateMenu(manager).actions()[1]->text().toStdString(), library[1].title);
    openMenu(manager);
    EXPECT_EQ(templateMenu(manager).actions()[1]->text().toStdString(), "改名したテンプレート");
}

// Under an XEmbed tray the icon is a visible window of ours: only a management window on screen counts
// as one in which the outcome of a tray run can be seen.
TEST_F(MenuBarManagerTest, OnlyAManagementWindowOnScreenCountsAsShown)
{
    AppState &app = start();
    MenuBarManager manager(&app, [] {});
    ASSERT_TRUE(waitUntil([&] {
        return std::ranges::any_of(QApplication::topLevelWidgets(), [](QWidget *w) { return w->isVisible(); });
    })) << "the tray shows no icon window";
    EXPECT_FALSE(MenuBarManager::isManagementWindowShown());

    MainWindow window(app);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(MenuBarManager::isManagementWindowShown());
    window.showMinimized();
    EXPECT_TRUE(waitUntil([&] { return !MenuBarManager::isManagementWindowShown(); }));
    window.hide();
    EXPECT_FALSE(MenuBarManager::isManagementWindowShown());
}

// Once AppState is gone the menu still opens, in its bare form, and its commands do nothing.
TEST_F(MenuBarManagerTest, WithoutAppStateTheMenuIsBareAndInert)
{
    config.backupInterval = BackupInterval::hourly;
    AppState &app = start();
    manualBackups(1);
    MenuBarManager manager(&app, [] {});
    ASSERT_EQ(describe(*manager.menu()).size(), 10u);
    QAction *apply = templateMenu(manager).actions().front();

    state.reset();
    apply->trigger();
    openMenu(manager);
    const auto entries = describe(*manager.menu());
    ASSERT_EQ(entries.size(), 9u);
    EXPECT_EQ(entries[1], "バックアップ未実行|off");
    EXPECT_TRUE(templateMenu(manager).actions().isEmpty());
    findAction(*manager.menu(), QStringLiteral("今すぐバックアップを実行"))->trigger();
    EXPECT_EQ(readText(src / "GEMINI.md"), "# rules");
}

// Without the SVG the tray still gets an icon (with "AGY" on it), never an empty one.
TEST(MenuBarIcon, FallsBackToTextIconWithoutTheSvg)
{
    const QIcon fallback = MenuBarManager::statusIcon(QStringLiteral("/nonexistent/velkaro.svg"));
    EXPECT_FALSE(fallback.pixmap(32, 32).isNull());
}

} // namespace
} // namespace velkaro::test
