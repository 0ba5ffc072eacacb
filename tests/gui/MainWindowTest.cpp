#include "AppStateFixture.h"
#include "Services/StoreLock.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Backups/SnapshotListView.h"
#include "Views/Common/Dialogs.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Dashboard/DashboardView.h"
#include "Views/Main/MainWindowView.h"
#include "Views/Settings/SettingsView.h"
#include "Views/Templates/TemplateManagerView.h"
#include "Views/Widgets/ActivatableCard.h"
#include "Views/Widgets/ElidedLabel.h"
#include "Views/Widgets/StatusDot.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

namespace velkaro::test {
namespace {

using namespace std::chrono_literals;
using MainWindowTest = AppStateFixture;

// The sidebar lists the four tabs in order, each with its title and an icon, and follows the state's
// selected tab both ways.
TEST_F(MainWindowTest, SidebarFollowsTheTabAndLeavingUnsavedSettingsAsks)
{
    AppState &app = start();
    MainWindowView view(app);
    ASSERT_EQ(view.sidebar()->count(), 4);
    const QStringList titles {QStringLiteral("ダッシュボード"), QStringLiteral("バックアップ履歴"),
        QStringLiteral("プロンプト管理"), QStringLiteral("環境設定")};
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(view.sidebar()->item(row)->text(), titles[row]);
        EXPECT_FALSE(view.sidebar()->item(row)->icon().isNull()) << row;
    }
    EXPECT_EQ(view.sidebar()->currentRow(), 0);

    view.sidebar()->setCurrentRow(2);
    EXPECT_EQ(app.selectedTab(), NavigationTab::templates);
    EXPECT_EQ(view.currentPage(), view.page(NavigationTab::templates));

    app.setSelectedTab(NavigationTab::history);
    EXPECT_EQ(view.sidebar()->currentRow(), 1);
    EXPECT_EQ(view.currentPage(), view.page(NavigationTab::history));

    // From the keyboard: the arrow keys move through the tabs.
    view.show();
    view.sidebar()->setFocus();
    QTest::keyClick(view.sidebar(), Qt::Key_Down);
    EXPECT_EQ(app.selectedTab(), NavigationTab::templates);

    // Leaving the settings page with unsaved edits asks, from the sidebar and from elsewhere alike;
    // キャンセル keeps the page and the sidebar's highlight, 破棄 moves on.
    app.setSelectedTab(NavigationTab::settings);
    auto *settings = qobject_cast<SettingsView *>(view.page(NavigationTab::settings));
    int asked = 0;
    SaveAnswer answer = SaveAnswer::cancel;
    settings->setSaveQuestion([&](QWidget *, const QString &) {
        ++asked;
        return answer;
    });
    settings->extensionsField()->setText(QStringLiteral("md"));

    view.sidebar()->setCurrentRow(0);
    drainEvents();
    app.setSelectedTab(NavigationTab::history);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(app.selectedTab(), NavigationTab::settings);
    EXPECT_EQ(view.sidebar()->currentRow(), 3);
    EXPECT_EQ(view.currentPage(), settings);
    EXPECT_EQ(settings->extensionsField()->text(), QStringLiteral("md"));

    answer = SaveAnswer::discard;
    view.sidebar()->setCurrentRow(0);
    drainEvents();
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(app.selectedTab(), NavigationTab::dashboard);
    EXPECT_EQ(view.currentPage(), view.page(NavigationTab::dashboard));
    EXPECT_EQ(view.sidebar()->currentRow(), 0);
}

// The questions as the real seam shows them: キャンセル is the default and what Escape answers, and
// each button gives its own answer.
TEST(Questions, CancelIsTheDefaultAndEachButtonAnswers)
{
    auto save = makeSaveQuestion(nullptr, QStringLiteral("設定保存"));
    EXPECT_EQ(save->text(), QStringLiteral("変更を保存しますか？"));
    QStringList labels;
    for (QAbstractButton *button : save->buttons())
        labels << button->text();
    labels.sort();
    EXPECT_EQ(labels, (QStringList {QStringLiteral("キャンセル"), QStringLiteral("保存"), QStringLiteral("破棄")}));
    EXPECT_EQ(save->defaultButton()->text(), QStringLiteral("キャンセル"));
    EXPECT_EQ(save->escapeButton(), save->defaultButton());

    const BackupSnapshot snapshot {"2025-03-04/snapshot_090000", localTime(2025, 3, 4, 9, 0, 0),
        BackupTriggerType::manual, 1, 7, {"GEMINI.md"}, {}};
    auto restore = makeRestoreQuestion(nullptr, snapshot, RestoreScopeOption::configOnly);
    EXPECT_EQ(restore->defaultButton()->text(), QStringLiteral("キャンセル"));
    EXPECT_EQ(restore->escapeButton(), restore->defaultButton());
    const QString details = restore->informativeText();
    for (const QString &part : {QStringLiteral("2025-03-04/snapshot_090000"), QStringLiteral("2025/03/04 09:00:00"),
             QStringLiteral("復元範囲: 設定ファイル (.json / .pbtxt 等) のみ"), QStringLiteral("復元前自動退避")})
        EXPECT_TRUE(details.contains(part)) << part.toStdString();
    // Chosen files: a few are named and the rest counted.
    auto chosen = makeRestoreQuestion(nullptr, snapshot, {"a.md", "b.md", "c.md", "d.md", "e.md", "f.md", "g.md"});
    const QString files = chosen->informativeText();
    EXPECT_TRUE(files.contains(QStringLiteral("復元するファイル (7 件)")));
    EXPECT_TRUE(files.contains(QStringLiteral("・e.md")));
    EXPECT_FALSE(files.contains(QStringLiteral("f.md")));
    EXPECT_TRUE(files.contains(QStringLiteral("ほか 2 件")));

    // Answered by pressing the buttons of the modal box the seam runs.
    auto press = [](const QString &label) {
        QTimer::singleShot(0, [label] {
            for (QAbstractButton *button : QApplication::activeModalWidget()->findChildren<QAbstractButton *>())
                if (button->text() == label)
                    button->click();
        });
    };
    press(QStringLiteral("破棄"));
    EXPECT_EQ(askToSaveChanges(nullptr, QString()), SaveAnswer::discard);
    press(QStringLiteral("保存"));
    EXPECT_EQ(askToSaveChanges(nullptr, QString()), SaveAnswer::save);
    press(QStringLiteral("キャンセル"));
    EXPECT_EQ(askToSaveChanges(nullptr, QString()), SaveAnswer::cancel);
    press(QStringLiteral("復元"));
    EXPECT_TRUE(askBeforeRestoring(nullptr, snapshot, RestoreScopeOption::allFiles));
}

// "すべて見る" on the dashboard opens the history at its newest; a recent row opens its own snapshot
// there, by click or from the keyboard. The sidebar highlight moves along.
TEST_F(MainWindowTest, DashboardOpensTheHistory)
{
    AppState &app = start();
    manualBackups(3);
    MainWindowView view(app);
    view.show();
    auto *dashboard = qobject_cast<DashboardView *>(view.page(NavigationTab::dashboard));
    auto *history = qobject_cast<BackupHistoryView *>(view.page(NavigationTab::history));
    ASSERT_EQ(dashboard->recentRows().size(), 3u);
    QTest::mouseClick(dashboard->showAllButton(), Qt::LeftButton);
    EXPECT_EQ(app.selectedTab(), NavigationTab::history);
    EXPECT_EQ(view.sidebar()->currentRow(), 1);
    EXPECT_EQ(view.currentPage(), history);

    app.setSelectedTab(NavigationTab::dashboard);
    QTest::mouseClick(dashboard->recentRows()[2].frame, Qt::LeftButton);
    EXPECT_EQ(app.selectedTab(), NavigationTab::history);
    EXPECT_EQ(view.sidebar()->currentRow(), 1);
    ASSERT_TRUE(history->selectedSnapshot());
    EXPECT_EQ(history->selectedSnapshot()->id, app.snapshots()[2].id);
    EXPECT_EQ(history->list()->currentRow(), 2);
    EXPECT_EQ(history->idLabel()->text(), qs(app.snapshots()[2].id));

    app.setSelectedTab(NavigationTab::dashboard);
    dashboard->recentRows()[1].frame->setFocus();
    QTest::keyClick(dashboard->recentRows()[1].frame, Qt::Key_Return);
    EXPECT_EQ(app.selectedTab(), NavigationTab::history);
    ASSERT_TRUE(history->selectedSnapshot());
    EXPECT_EQ(history->selectedSnapshot()->id, app.snapshots()[1].id);
    EXPECT_EQ(history->list()->currentRow(), 1);
    EXPECT_FALSE(app.requestedHistorySnapshot()); // taken

    // Opening the history plainly afterwards starts from the newest again.
    app.setSelectedTab(NavigationTab::dashboard);
    app.setSelectedTab(NavigationTab::history);
    EXPECT_EQ(history->selectedSnapshot()->id, app.snapshots()[0].id);
}

// A run from the dashboard's button: the button is disabled with its spinner and busy text while the run
// lasts, also when it fails. The banner's dot is grey at rest, the accent colour while a run goes, red
// after a failure and green after a success. A message too long for the sidebar is cut in the middle
// and stays whole in the accessible description.
TEST_F(MainWindowTest, ARunShowsOnTheButtonAndTheBanner)
{
    AppState &app = start(1500ms);
    MainWindowView view(app);
    view.resize(860, 560);
    view.show();
    auto *dashboard = qobject_cast<DashboardView *>(view.page(NavigationTab::dashboard));
    QPushButton *button = dashboard->backupButton();
    EXPECT_EQ(view.statusDot()->tint(), Tint::secondary);
    EXPECT_EQ(view.statusLabel()->fullText(), QStringLiteral("準備完了"));

    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    QTest::mouseClick(button, Qt::LeftButton); // waits for the lock, then fails
    EXPECT_TRUE(app.backupState().isRunning());
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(button->text(), QStringLiteral("バックアップ中..."));
    EXPECT_TRUE(dashboard->isBackupSpinnerShown());
    EXPECT_EQ(view.statusDot()->tint(), Tint::accent);
    EXPECT_EQ(view.statusLabel()->fullText(), QStringLiteral("処理中..."));
    settle();
    ASSERT_TRUE(app.backupState().is<BackupExecutionState::Failed>());
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(button->text(), QStringLiteral("今すぐバックアップ"));
    EXPECT_FALSE(dashboard->isBackupSpinnerShown());
    EXPECT_TRUE(app.snapshots().empty());
    EXPECT_EQ(view.statusDot()->tint(), Tint::red);
    EXPECT_NE(view.statusDot()->color(), tintColor(Tint::green, view.palette()));
    const QString reason = QStringLiteral("バックアップ失敗: 別の処理がバックアップ先を使用中です");
    EXPECT_EQ(view.statusLabel()->fullText(), reason);
    EXPECT_EQ(view.statusLabel()->accessibleName(), reason);
    EXPECT_EQ(view.statusBanner()->accessibleDescription(), reason);

    // The sidebar's status line wraps onto up to three lines, so the message shows whole.
    EXPECT_FALSE(view.statusLabel()->isElided()) << view.statusLabel()->text().toStdString();
    EXPECT_EQ(view.statusLabel()->text().remove(QLatin1Char('\n')), reason);
    EXPECT_GT(view.statusLabel()->lineCount(), 1);
    EXPECT_LE(view.statusLabel()->height(), view.statusLabel()->sizeHint().height());
    EXPECT_GE(view.statusLabel()->height(), view.statusLabel()->sizeHint().height());
    // Only beyond three lines is it cut, and the full text stays for a screen reader.
    const QString longer = reason + reason + reason + reason;
    view.statusLabel()->setFullText(longer);
    EXPECT_EQ(view.statusLabel()->lineCount(), 3);
    EXPECT_TRUE(view.statusLabel()->isElided());
    EXPECT_TRUE(view.statusLabel()->text().endsWith(QChar(0x2026)));
    EXPECT_EQ(view.statusLabel()->accessibleDescription(), longer);

    lock = std::unexpected(Error {});
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space); // the keyboard works as well
    settle();
    EXPECT_EQ(app.snapshots().size(), 1u);
    EXPECT_EQ(view.statusDot()->tint(), Tint::green);
    EXPECT_EQ(view.statusLabel()->fullText(), qs(status()));
}

// A control that takes the focus is scrolled into view: the field an alert points to, and the first
// control of a scrolled page reached by Tab from the sidebar.
TEST_F(MainWindowTest, FocusIsScrolledIntoView)
{
    AppState &app = start();
    MainWindowView view(app);
    view.resize(860, 560);
    view.show();
    app.setSelectedTab(NavigationTab::settings);
    auto *settings = qobject_cast<SettingsView *>(view.page(NavigationTab::settings));
    settings->setAlertFunction([](QWidget *, const QString &, const QString &) {});
    auto *scroll = settings->findChild<QScrollArea *>();
    auto shownWhole = [](QWidget *w) { return w->visibleRegion().boundingRect() == w->rect(); };
    auto toBottom = [&] {
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        drainEvents();
    };

    toBottom();
    ASSERT_FALSE(shownWhole(settings->destinationField())) << "the page does not scroll at this size";
    settings->destinationField()->clear();
    QTest::mouseClick(settings->saveButton(), Qt::LeftButton);
    ASSERT_TRUE(settings->destinationField()->hasFocus());
    drainEvents();
    EXPECT_TRUE(shownWhole(settings->destinationField()));

    toBottom();
    view.sidebar()->setFocus();
    QTest::keyClick(view.sidebar(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), settings->sourceFields()[0]);
    drainEvents();
    EXPECT_TRUE(shownWhole(settings->sourceFields()[0]));
}

// At 900 × 600 a title of 20 Japanese characters shows whole in its field; the settings page's "選択..."
// buttons stand in one column; the snapshot list grows with the window.
TEST_F(MainWindowTest, FieldsHaveTheirRoom)
{
    config.sourceDirectories = {src.string(), (home / "b").string()};
    fs::create_directories(home / "b"); // a missing source would make the backup a failure
    AppState &app = start();
    manualBackups(1);
    MainWindowView view(app);
    view.resize(900, 600);
    view.show();
    app.setSelectedTab(NavigationTab::templates);
    drainEvents();
    auto *templates = qobject_cast<TemplateManagerView *>(view.page(NavigationTab::templates));
    templates->setSaveQuestion([](QWidget *, const QString &) { return SaveAnswer::discard; });
    const QString title = QStringLiteral("コーディング品質ガイドラインと設計指針集");
    ASSERT_EQ(title.size(), 20);
    templates->titleField()->setText(title);
    const int textRoom = templates->titleField()->width() - 12; // frame and inner margins
    EXPECT_LE(QFontMetrics(templates->titleField()->font()).horizontalAdvance(title), textRoom);

    app.setSelectedTab(NavigationTab::settings);
    drainEvents();
    auto *settings = qobject_cast<SettingsView *>(view.page(NavigationTab::settings));
    auto left = [&](QWidget *w) { return w->mapTo(settings, QPoint(0, 0)).x(); };
    for (QPushButton *button : settings->sourceButtons())
        EXPECT_EQ(left(button), left(settings->destinationButton()));
    EXPECT_EQ(settings->sourceFields()[0]->width(), settings->destinationField()->width());

    app.setSelectedTab(NavigationTab::history);
    drainEvents();
    auto *history = qobject_cast<BackupHistoryView *>(view.page(NavigationTab::history));
    const int narrow = history->list()->width();
    view.resize(1600, 900);
    drainEvents();
    EXPECT_GT(history->list()->width(), narrow + 100);
}

} // namespace
} // namespace velkaro::test
