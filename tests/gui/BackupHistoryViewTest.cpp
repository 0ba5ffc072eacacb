// The history page: its list and detail, the selection, deleting and restoring a snapshot, and its room in the
// window.
#include "BackupHistoryFixture.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <nlohmann/json.hpp>

namespace velkaro::test {
namespace {

using namespace std::chrono_literals;

TEST_F(BackupHistoryViewTest, EmptyHistoryThenOpeningSelectsNewest)
{
    start();
    BackupHistoryView &page = open();
    EXPECT_EQ(page.headerLabel()->text(), QStringLiteral("バックアップ履歴 (0)"));
    EXPECT_TRUE(page.emptyState()->isVisible());
    EXPECT_TRUE(page.hintLabel()->isVisible());
    EXPECT_FALSE(page.selectedSnapshot());

    view.reset();
    manualBackups(3);
    BackupHistoryView &again = open();
    EXPECT_EQ(again.headerLabel()->text(), QStringLiteral("バックアップ履歴 (3)"));
    EXPECT_EQ(again.selectedSnapshot(), state->snapshots().front());
    EXPECT_EQ(again.list()->currentRow(), 0);
    EXPECT_EQ(again.idLabel()->text(), QStringLiteral("2025-03-04/snapshot_090003"));
    EXPECT_EQ(again.dateLabel()->text(), QStringLiteral("バックアップ日時: 2025/03/04 09:00:03 (手動)"));
    EXPECT_EQ(rowData(2, Qt::DisplayRole).toString(), QStringLiteral("2025/03/04 09:00:01"));
    EXPECT_EQ(rowData(2, SnapshotListModel::FilesRole).toString(), QStringLiteral("2 ファイル"));
    EXPECT_EQ(rowData(2, SnapshotListModel::SizeRole).toString(), QStringLiteral("9 バイト"));
    EXPECT_EQ(rowData(2, Qt::AccessibleTextRole).toString(),
        QStringLiteral("2025/03/04 09:00:01 手動 2 ファイル • 9 バイト"));
    EXPECT_TRUE(again.idLabel()->isVisible());
}

// Deleting asks first; whichever snapshot goes, the newest remaining one is shown next. A refresh
// never moves the selection, nor does a refused deletion.
TEST_F(BackupHistoryViewTest, SelectionAfterDeleteAndRefresh)
{
    start();
    manualBackups(4);
    const SnapshotList made = state->snapshots();
    BackupHistoryView &page = open();

    page.list()->setCurrentRow(2);
    EXPECT_EQ(selectedId(), made[2].id);
    confirmAnswer = false;
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    EXPECT_EQ(asked, std::vector<std::string> {made[2].id});
    EXPECT_EQ(state->snapshots(), made); // cancel keeps everything
    EXPECT_EQ(selectedId(), made[2].id);

    confirmAnswer = true;
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton); // an older one
    settle();
    EXPECT_EQ(state->snapshots().size(), 3u);
    EXPECT_EQ(selectedId(), made[0].id);
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton); // the newest
    settle();
    EXPECT_EQ(selectedId(), made[1].id);
    EXPECT_EQ(page.list()->currentRow(), 0);

    page.list()->setCurrentRow(1);
    QTest::mouseClick(page.refreshButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(selectedId(), made[3].id);
    EXPECT_EQ(page.list()->currentRow(), 1);

    // A deletion the store refuses leaves the snapshot listed and shown; the banner's message says why.
    const SnapshotList kept = state->snapshots();
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(state->snapshots(), kept);
    EXPECT_EQ(page.list()->count(), 2);
    EXPECT_EQ(selectedId(), made[3].id);
    EXPECT_EQ(page.list()->currentRow(), 1);
    EXPECT_EQ(status(), "削除失敗: 別の処理がバックアップ先を使用中です");

    lock = std::unexpected(Error {});
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    settle();
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    settle();
    EXPECT_TRUE(state->snapshots().empty());
    EXPECT_FALSE(page.selectedSnapshot());
    EXPECT_TRUE(page.hintLabel()->isVisible());
    EXPECT_TRUE(page.emptyState()->isVisible());
}

TEST_F(BackupHistoryViewTest, BadgeColoursAndFileIcons)
{
    writeText(src / "notes/UPPER.MD", "x");
    config.targetExtensions.push_back("MD");
    start();
    manualBackups(1);
    state->executeScheduledBackup();
    settle();
    BackupHistoryView &page = open();
    EXPECT_EQ(trigger(0), QStringLiteral("定期自動"));
    EXPECT_EQ(tint(0), Tint::green);
    EXPECT_EQ(trigger(1), QStringLiteral("手動"));
    EXPECT_EQ(tint(1), Tint::blue);

    ASSERT_EQ(page.fileList()->count(), 3);
    EXPECT_EQ(page.filesHeader()->text(), QStringLiteral("含まれるファイル (3 件)"));
    EXPECT_EQ(fileData("GEMINI.md", BackupHistoryView::FileTintRole), int(Tint::blue));
    EXPECT_EQ(fileData("settings.json", BackupHistoryView::FileTintRole), int(Tint::secondary));
    ASSERT_GE(fileRow("notes/UPPER.MD"), 0);
    EXPECT_EQ(fileData("notes/UPPER.MD", BackupHistoryView::FileTintRole), int(Tint::secondary));
}

// The chosen scope reaches the restore; the button stays busy until the completion, then the alert
// tells the outcome. The safety snapshot shows an orange badge, and the selection stays.
TEST_F(BackupHistoryViewTest, RestoreWithScopeBusyButtonAndAlerts)
{
    start(1500ms);
    manualBackups(1);
    const BackupSnapshot made = state->snapshots().front();
    writeText(src / "GEMINI.md", "changed");
    writeText(src / "settings.json", "{\"changed\":1}");
    BackupHistoryView &page = open();
    ASSERT_EQ(page.scopeChoice()->count(), 3);
    EXPECT_EQ(page.scopeChoice()->itemText(1), QStringLiteral("Markdown (.md) プロンプトのみ"));
    page.scopeChoice()->setCurrentIndex(1);
    EXPECT_EQ(page.selectedRestoreScope(), RestoreScopeOption::markdownOnly);

    // Asked first, naming the snapshot and the scope; キャンセル restores nothing.
    restoreAnswer = false;
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    EXPECT_EQ(restoreAsked, std::vector<std::string> {made.id + "|Markdown (.md) プロンプトのみ"});
    EXPECT_FALSE(page.isRestoring());
    settle();
    EXPECT_EQ(state->snapshots().size(), 1u) << "no safety snapshot either";
    EXPECT_EQ(readText(src / "GEMINI.md"), "changed");
    EXPECT_TRUE(alerts.empty());

    restoreAnswer = true;
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    EXPECT_TRUE(page.isRestoring());
    EXPECT_FALSE(page.restoreButton()->isEnabled());
    EXPECT_EQ(page.restoreButton()->text(), QStringLiteral("復元中..."));
    EXPECT_TRUE(page.isRestoreSpinnerShown());
    EXPECT_TRUE(page.deleteButton()->isEnabled());
    settle();
    EXPECT_EQ(alerts, std::vector<QString> {QStringLiteral("復元結果|正常に復元が完了したよ！")});
    EXPECT_EQ(page.restoreButton()->text(), QStringLiteral("復元を実行"));
    EXPECT_TRUE(page.restoreButton()->isEnabled());
    EXPECT_FALSE(page.isRestoreSpinnerShown());
    EXPECT_EQ(readText(src / "GEMINI.md"), "# rules");
    EXPECT_EQ(readText(src / "settings.json"), "{\"changed\":1}"); // outside the scope
    EXPECT_EQ(page.selectedSnapshot(), made);
    EXPECT_EQ(trigger(0), QStringLiteral("復元前自動退避"));
    EXPECT_EQ(tint(0), Tint::orange);

    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    EXPECT_EQ(page.restoreButton()->text(), QStringLiteral("復元中..."));
    settle();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[1],
        QStringLiteral("復元結果|復元中にエラーが発生しました。\n\n復元エラー: 別の処理がバックアップ先を使用中です"));
    EXPECT_TRUE(page.restoreButton()->isEnabled());
    EXPECT_EQ(status(), "復元エラー: 別の処理がバックアップ先を使用中です");
}

// A restore that could not write every chosen file tells both counts in its result alert, and names the
// files that failed with why.
TEST_F(BackupHistoryViewTest, APartialRestoreIsToldInTheAlert)
{
    start(1500ms);
    writeText(src / "sub/notes.md", "n");
    manualBackups(1);
    fs::remove_all(src / "sub");
    fs::create_directory_symlink(root, src / "sub"); // the restore must not write through it
    BackupHistoryView &page = open();
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(alerts,
        std::vector<QString> {
            QStringLiteral("復元結果|2 件のファイルを正常に復元しました！、1 件は復元できませんでした\n\n"
                           "・sub/notes.md: シンボリックリンクを通るため書き込みません")});
    EXPECT_EQ(status(), "2 件のファイルを正常に復元しました！、1 件は復元できませんでした");
    EXPECT_FALSE(fs::exists(root / "notes.md"));
}

// The selection is the snapshot's id: a restore and a reload that bring back the record changed keep it
// selected and shown as it now is; a reload without it clears the detail with the selection.
TEST_F(BackupHistoryViewTest, SelectionFollowsTheIdAcrossRestoreAndReload)
{
    start();
    manualBackups(3);
    const std::string id = state->snapshots()[1].id;
    BackupHistoryView &page = open();
    page.list()->setCurrentRow(1);
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    settle();
    ASSERT_EQ(state->snapshots().size(), 4u); // the safety snapshot came first
    EXPECT_EQ(selectedId(), id);
    EXPECT_EQ(page.list()->currentRow(), 2);
    EXPECT_EQ(page.list()->selectionModel()->selectedRows().size(), 1);

    // The history file now says something else about the selected snapshot.
    const fs::path history = dest / "history.json";
    auto records = nlohmann::json::parse(readText(history));
    for (auto &record : records)
        if (record["id"] == id)
            record["filesCount"] = 77;
    writeText(history, records.dump());
    QTest::mouseClick(page.refreshButton(), Qt::LeftButton);
    settle();
    ASSERT_EQ(state->snapshots()[2].filesCount, 77);
    EXPECT_EQ(page.selectedSnapshot(), state->snapshots()[2]);
    EXPECT_EQ(page.list()->currentRow(), 2);
    EXPECT_EQ(page.idLabel()->text(), qs(id));

    // Gone from the store: the detail stays, says so, and offers no restore; nothing in the list is selected.
    (void)BackupService().deleteSnapshot(state->snapshots()[2], dest);
    QTest::mouseClick(page.refreshButton(), Qt::LeftButton);
    settle();
    ASSERT_EQ(state->snapshots().size(), 3u);
    EXPECT_EQ(selectedId(), id);
    EXPECT_TRUE(page.isSelectedGone());
    EXPECT_TRUE(page.goneLabel()->isVisible());
    EXPECT_EQ(page.goneLabel()->text(), QStringLiteral("このスナップショットは削除されたよ。"));
    EXPECT_FALSE(page.restoreButton()->isEnabled());
    EXPECT_FALSE(page.deleteButton()->isEnabled());
    EXPECT_EQ(page.list()->currentRow(), -1);
    EXPECT_TRUE(page.list()->selectionModel()->selectedRows().isEmpty());
    page.list()->setCurrentRow(0);
    EXPECT_FALSE(page.isSelectedGone());
    EXPECT_TRUE(page.restoreButton()->isEnabled());
}

// The real question: its buttons, "キャンセル" as the default, and nothing deleted on cancel.
TEST_F(BackupHistoryViewTest, DeleteQuestionDefaultsToCancel)
{
    start();
    manualBackups(1);
    BackupHistoryView &page = open(true);
    QString text, details, defaultButton;
    QStringList buttons;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        text = box->text();
        details = box->informativeText();
        for (QAbstractButton *button : box->buttons())
            buttons << button->text();
        defaultButton = box->defaultButton()->text();
        QTest::keyClick(box, Qt::Key_Return);
    });
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    EXPECT_EQ(text, QStringLiteral("スナップショットを削除しますか？"));
    EXPECT_EQ(details, QStringLiteral("2025-03-04/snapshot_090001\n2025/03/04 09:00:01"));
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList {QStringLiteral("キャンセル"), QStringLiteral("削除")}));
    EXPECT_EQ(defaultButton, QStringLiteral("キャンセル"));
    EXPECT_EQ(state->snapshots().size(), 1u);
}

// Another process changes the store: the page reads it again by itself, keeps the shown snapshot by id,
// and says so when that snapshot was deleted instead of offering its restore.
TEST_F(BackupHistoryViewTest, AnOutsideChangeToTheStoreIsShown)
{
    start();
    manualBackups(2);
    BackupHistoryView &page = open();
    page.list()->setCurrentRow(1);
    const std::string id = selectedId();
    BackupConfig outside = state->config();
    ASSERT_TRUE(BackupService([] {
        return localTime(2025, 3, 4, 10, 0, 0);
    }).executeBackup(outside, BackupTriggerType::manual, {}));
    ASSERT_TRUE(waitUntil([&] { return state->snapshots().size() == 3; }));
    EXPECT_EQ(page.headerLabel()->text(), QStringLiteral("バックアップ履歴 (3)"));
    EXPECT_EQ(selectedId(), id);
    EXPECT_EQ(page.list()->currentRow(), 2);

    ASSERT_TRUE(BackupService().deleteSnapshot(*page.selectedSnapshot(), dest));
    ASSERT_TRUE(waitUntil([&] { return page.isSelectedGone(); }));
    EXPECT_TRUE(page.goneLabel()->isVisible());
    EXPECT_FALSE(page.restoreButton()->isEnabled());
    EXPECT_FALSE(page.filesPane()->restoreChosenButton()->isEnabled());
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    EXPECT_TRUE(restoreAsked.empty());
}

// A snapshot chosen after another starts its file list at the top.
TEST_F(BackupHistoryViewTest, AnotherSnapshotsFilesStartAtTheTop)
{
    for (int i = 0; i < 120; ++i)
        writeText(src / ("notes/n" + std::to_string(1000 + i) + ".md"), "x");
    start();
    manualBackups(2);
    BackupHistoryView &page = open();
    QScrollBar *bar = page.fileList()->verticalScrollBar();
    page.fileList()->scrollToBottom();
    ASSERT_GT(bar->value(), 0);
    page.list()->setCurrentRow(1);
    EXPECT_EQ(bar->value(), 0);
}

// In the window at its default size, the file browser has the room: a dozen file rows and the diff on
// screen without scrolling the page; the same holds with the versions view open.
TEST_F(BackupHistoryViewTest, TheFilesAndTheDiffFitAtTheDefaultSize)
{
    for (int i = 0; i < 30; ++i)
        writeText(src / ("notes/n" + std::to_string(i) + ".md"), "x");
    start();
    manualBackups(1);
    MainWindowView window(*state);
    window.resize(900, 600);
    window.show();
    state->setSelectedTab(NavigationTab::history);
    drainEvents();
    auto *page = qobject_cast<BackupHistoryView *>(window.page(NavigationTab::history));
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(page->selectedSnapshot());
    QListWidget *files = page->fileList();
    const int rowHeight = files->visualItemRect(files->item(0)).height();
    EXPECT_GE(files->viewport()->height() / rowHeight, 12) << rowHeight;
    for (QScrollArea *scroll : page->findChildren<QScrollArea *>())
        EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0) << scroll->widget()->minimumSizeHint().height();
    const QWidget *diff = page->filesPane()->diffView();
    EXPECT_GE(diff->height(), 5 * diff->fontMetrics().height());
    EXPECT_TRUE(diff->visibleRegion().boundingRect().height() >= diff->height() - 1);
    page->showFileVersions("GEMINI.md");
    drainEvents();
    EXPECT_GE(page->versionsPane()->diffView()->height(), 5 * diff->fontMetrics().height());
}

} // namespace
} // namespace velkaro::test
