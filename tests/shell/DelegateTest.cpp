#include "AppStateFixture.h"
#include "Shell/AppDelegate.h"
#include "Shell/MainWindow.h"
#include "Shell/MenuBarManager.h"
#include "ShellTestSupport.h"
#include "Views/Main/MainWindowView.h"
#include "Views/Templates/TemplateManagerView.h"

#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>

namespace velkaro::test {
namespace {

// The whole-string, case-sensitive switch rule; a switch always wins over the configured mode.
TEST(StartupSwitches, OnlyExactSwitchesStartHidden)
{
    const auto show = StartupWindowMode::showWindow;
    const auto minimize = StartupWindowMode::minimizeToMenuBar;
    for (const char *flag : {"--minimized", "-m", "--background"})
        EXPECT_TRUE(AppDelegate::startsHidden({"/usr/bin/velkaro-backup", flag}, show)) << flag;
    for (const char *other :
        {"-M", "--Minimized", "--minimized=1", "-mx", "--background-x", "m", "velkaro-backup://open"})
        EXPECT_FALSE(AppDelegate::startsHidden({"/usr/bin/velkaro-backup", other}, show)) << other;
    EXPECT_TRUE(AppDelegate::startsHidden({"/usr/bin/velkaro-backup"}, minimize));
    EXPECT_TRUE(AppDelegate::startsHidden({"/usr/bin/velkaro-backup", "-M"}, minimize));
    EXPECT_FALSE(AppDelegate::startsHidden({"/usr/bin/velkaro-backup"}, show));
}

// A delegate over a temporary home, launched as main() launches it.
class DelegateTest : public StoreTest
{
protected:
    void TearDown() override
    {
        delegate.reset();
        QThreadPool::globalInstance()->waitForDone();
        drainEvents();
        StoreTest::TearDown();
    }

    AppDelegate &launch(QStringList args, bool trayAvailable = true)
    {
        EXPECT_TRUE(config.writeFile(home / ".config/VelkaroAntigraviti_Backup/config.json"));
        fs::create_directories(src); // a missing source fails a backup
        AppDelegate::Options options;
        options.state.scheduler.wakeBus = QDBusConnection(QStringLiteral("no-bus"));
        options.state.notifier = DesktopNotifier(QDBusConnection(QStringLiteral("no-bus")));
        options.isTrayAvailable = [trayAvailable] { return trayAvailable; };
        args.prepend(QStringLiteral("/usr/bin/velkaro-backup"));
        delegate = std::make_unique<AppDelegate>(args, std::move(options));
        delegate->launch();
        drainEvents();
        return *delegate;
    }

    MainWindow *onlyWindow()
    {
        const auto windows = delegate->mainWindows();
        EXPECT_EQ(windows.size(), 1u);
        return windows.empty() ? nullptr : windows.front();
    }

    void expectPresented(MainWindow *window)
    {
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(waitUntil([&] { return window->isVisible() && window->geometry() == centredRect(); }, 3000))
            << window->isVisible() << " " << window->geometry().x() << "," << window->geometry().y() << " "
            << window->width() << "x" << window->height();
    }

    void triggerTrayItem(const QString &title)
    {
        QMenu &menu = *delegate->menuBarManager()->menu();
        emit menu.aboutToShow();
        QAction *item = findAction(menu, title);
        ASSERT_NE(item, nullptr);
        item->trigger();
        drainEvents();
    }

    // Runs the event loop as main() does until `body` has run and `ms` have passed; the exit code of
    // exec(), which is 0 only when something quit the application.
    int runEventLoop(const std::function<void()> &body, int ms = 400)
    {
        QTimer::singleShot(0, body);
        QTimer::singleShot(ms, [] { QCoreApplication::exit(42); });
        return QCoreApplication::exec();
    }

    std::unique_ptr<AppDelegate> delegate;
};

// A resident start shows no window but the tray. A later resident start changes nothing on screen, a URL
// raises the window, a plain launch presents it at 900 × 600, centred. Closing it keeps the process; a URL
// or the tray's open item then yields a new window, which the start-up rule (resident) leaves alone.
TEST_F(DelegateTest, ResidentStartLaterLaunchesAndReopening)
{
    AppDelegate &app = launch({"--background"});
    MainWindow *window = onlyWindow();
    ASSERT_NE(window, nullptr);
    const QPointer<MainWindow> watched = window;
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(app.menuBarManager()->statusItem()->isVisible());
    app.handleLaunchRequest({QStringLiteral("-m")});
    drainEvents();
    EXPECT_FALSE(window->isVisible());

    app.handleLaunchRequest({QStringLiteral("velkaro-backup://open")});
    EXPECT_TRUE(waitUntil([&] { return window->isVisible(); }, 3000));
    EXPECT_EQ(onlyWindow(), window);
    window->hide();
    app.handleLaunchRequest({});
    expectPresented(window);
    // It cannot be made smaller than 860 × 560.
    window->resize(300, 200);
    EXPECT_GE(window->width(), 860);
    EXPECT_GE(window->height(), 560);

    EXPECT_EQ(runEventLoop([&] { window->close(); }), 42);
    EXPECT_TRUE(watched.isNull());
    EXPECT_TRUE(app.mainWindows().empty());
    EXPECT_TRUE(app.menuBarManager()->statusItem()->isVisible());
    app.handleLaunchRequest({QStringLiteral("velkaro-backup://anything/else")});
    expectPresented(onlyWindow());

    EXPECT_EQ(runEventLoop([&] { onlyWindow()->close(); }), 42);
    triggerTrayItem(QStringLiteral("管理ダッシュボードを開く..."));
    expectPresented(onlyWindow());
    drainEvents();
    EXPECT_TRUE(onlyWindow()->isVisible());
}

// Without a tray a hidden window could not be reached: switches are overridden, and after a close a
// launch from the launcher brings the window back.
TEST_F(DelegateTest, NoTrayNeverStartsHidden)
{
    config.startupWindowMode = StartupWindowMode::minimizeToMenuBar;
    AppDelegate &app = launch({"-m"}, false);
    MainWindow *window = onlyWindow();
    expectPresented(window);

    EXPECT_EQ(runEventLoop([&] { window->close(); }), 42);
    EXPECT_TRUE(app.mainWindows().empty());
    app.handleLaunchRequest({QStringLiteral("--background")});
    MainWindow *back = onlyWindow();
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(waitUntil([&] { return back->isVisible(); }, 3000));
}

// The window's application menu: Ctrl+B starts a manual backup, Ctrl+Q quits. Closing the window and
// quitting, from the tray or the window, settle unsaved edits first: キャンセル keeps the window and the
// application, 破棄 lets both go.
TEST_F(DelegateTest, WindowMenuBacksUpAndQuitsOnceEditsAreSettled)
{
    AppDelegate &app = launch({});
    MainWindow *window = onlyWindow();
    expectPresented(window);
    EXPECT_EQ(window->backupAction()->text().toStdString(), "今すぐバックアップ(&B)");
    // Every entry of the menu, and the menu itself, has an Alt access key of its own.
    const QMenu *menu = window->menuBar()->findChild<QMenu *>();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(QKeySequence::mnemonic(menu->title()), QKeySequence(Qt::ALT | Qt::Key_V));
    QList<QKeySequence> keys;
    for (QAction *action : menu->actions()) {
        if (action->isSeparator())
            continue;
        const QKeySequence key = QKeySequence::mnemonic(action->text());
        EXPECT_FALSE(key.isEmpty()) << action->text().toStdString();
        EXPECT_FALSE(keys.contains(key)) << action->text().toStdString();
        keys << key;
    }
    EXPECT_EQ(window->backupAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_B));
    EXPECT_EQ(window->quitAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));

    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_B, Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([&] { return app.appState().snapshots().size() == 1 && !app.appState().isBusy(); }));
    EXPECT_EQ(app.appState().snapshots().front().triggerType, BackupTriggerType::manual);

    app.appState().setSelectedTab(NavigationTab::templates);
    auto *page = qobject_cast<TemplateManagerView *>(window->view()->page(NavigationTab::templates));
    ASSERT_NE(page, nullptr);
    int asked = 0;
    SaveAnswer answer = SaveAnswer::cancel;
    page->setSaveQuestion([&](QWidget *, const QString &) {
        ++asked;
        return answer;
    });
    page->titleField()->setText(QStringLiteral("編集中"));
    EXPECT_FALSE(window->close());
    EXPECT_EQ(runEventLoop([&] { triggerTrayItem(QStringLiteral("終了")); }), 42);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(app.mainWindows().size(), 1u);
    EXPECT_TRUE(window->isVisible());

    answer = SaveAnswer::discard;
    EXPECT_EQ(runEventLoop([&] { QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier); }, 5000), 0);
    EXPECT_EQ(asked, 3);
    EXPECT_TRUE(app.mainWindows().empty());
}

// Under a Wayland compositor (wayland-test.sh runs these with weston): there is no tray, so a resident
// start shows the window, and the window menu's quit ends the event loop.
using WaylandDelegateTest = DelegateTest;

TEST_F(WaylandDelegateTest, ShowsTheWindowWithoutTrayAndQuits)
{
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("wayland"));
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    launch({"-m"}, QSystemTrayIcon::isSystemTrayAvailable());
    MainWindow *window = onlyWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_EQ(runEventLoop([&] { window->quitAction()->trigger(); }, 5000), 0);
}

} // namespace
} // namespace velkaro::test
