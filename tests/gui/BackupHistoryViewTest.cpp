#include "Views/Backups/BackupHistoryView.h"
#include "Services/StoreLock.h"
#include "ViewFixture.h"
#include "Views/Backups/FileDiffView.h"
#include "Views/Backups/FileVersionsPane.h"
#include "Views/Backups/SnapshotListModel.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Main/MainWindowView.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>

#include <nlohmann/json.hpp>

namespace velkaro::test {
namespace {

using namespace std::chrono_literals;

// The page over a real AppState; the delete and restore questions are answered by the test.
class BackupHistoryViewTest : public ViewFixture<BackupHistoryView>
{
protected:
    BackupHistoryView &open(bool realConfirm = false)
    {
        make();
        if (!realConfirm) {
            view->setConfirmFunction([this](QWidget *, const BackupSnapshot &s) {
                asked.push_back(s.id);
                return confirmAnswer;
            });
        }
        view->setRestoreConfirmFunction([this](QWidget *, const BackupSnapshot &s, RestoreScopeOption scope) {
            restoreAsked.push_back(s.id + "|" + std::string(rawValue(scope)));
            return restoreAnswer;
        });
        view->setChosenRestoreConfirmFunction(
            [this](QWidget *, const BackupSnapshot &, const std::vector<std::string> &paths) {
                chosenAsked.push_back(paths);
                return restoreAnswer;
            });
        return show(680, 560);
    }

    std::string selectedId() const { return view->selectedSnapshot() ? view->selectedSnapshot()->id : "<none>"; }
    QVariant rowData(int row, int role) const { return view->listModel()->index(row).data(role); }
    QString trigger(int row) const { return rowData(row, SnapshotListModel::TriggerRole).toString(); }
    Tint tint(int row) const { return Tint(rowData(row, SnapshotListModel::TintRole).toInt()); }
    QString summary(int row) const { return rowData(row, SnapshotListModel::SummaryRole).toString(); }
    // The file list's row for `path`, -1 when it is not listed.
    int fileRow(const char *path) const
    {
        const auto found = view->fileList()->findItems(QString::fromUtf8(path), Qt::MatchExactly);
        return found.isEmpty() ? -1 : view->fileList()->row(found.front());
    }
    int fileData(const char *path, int role) const { return view->fileList()->item(fileRow(path))->data(role).toInt(); }

    std::vector<std::string> asked;
    bool confirmAnswer = true;
    std::vector<std::string> restoreAsked;
    std::vector<std::vector<std::string>> chosenAsked;
    bool restoreAnswer = true;
};

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

// Each row tells what changed since the row below it, once the comparison has come back; the oldest
// row has nothing to compare with.
TEST_F(BackupHistoryViewTest, RowSummariesAgainstTheOlderSnapshot)
{
    start();
    manualBackups(1);
    writeText(src / "notes.md", "new");
    writeText(src / "GEMINI.md", "# rules, longer");
    fs::remove(src / "settings.json");
    manualBackups(2); // the second takes the very same files
    open();
    // Nothing is shown before it is known: no "変更なし" that then turns into counts.
    EXPECT_EQ(summary(0), QString());
    EXPECT_EQ(summary(1), QString());
    ASSERT_TRUE(waitUntil([&] { return !summary(0).isEmpty() && !summary(1).isEmpty(); }));
    EXPECT_EQ(summary(0), QStringLiteral("変更なし"));
    EXPECT_EQ(summary(1), QStringLiteral("+1 ~1 \u22121"));
    EXPECT_EQ(summary(2), QString());
    EXPECT_EQ(rowData(1, Qt::AccessibleTextRole).toString(),
        QStringLiteral("2025/03/04 09:00:02 手動 2 ファイル • 18 バイト • +1 ~1 \u22121"));

    // A new snapshot on top: the old rows keep their summaries, the new one gets its own.
    writeText(src / "more.md", "more");
    writeText(src / "other.md", "other");
    manualBackups(1);
    EXPECT_EQ(summary(1), QStringLiteral("変更なし"));
    ASSERT_TRUE(waitUntil([&] { return !summary(0).isEmpty(); }));
    EXPECT_EQ(summary(0), QStringLiteral("+2 ~0 \u22120"));
}

// Only the rows on screen are compared; scrolling brings the others in.
TEST_F(BackupHistoryViewTest, SummariesOnlyForTheRowsShown)
{
    start();
    manualBackups(30);
    BackupHistoryView &page = open();
    ASSERT_TRUE(waitUntil([&] { return !summary(0).isEmpty(); }));
    const auto [first, last] = page.list()->shownRows();
    ASSERT_EQ(first, 0);
    ASSERT_LT(last, 20);
    ASSERT_TRUE(waitUntil([&] { return !summary(last).isEmpty(); }));
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    EXPECT_EQ(summary(last + 1), QString());
    EXPECT_EQ(summary(28), QString());
    EXPECT_FALSE(state->changeSummary({state->snapshots()[29].id, state->snapshots()[28].id}));

    page.list()->scrollToBottom();
    ASSERT_TRUE(waitUntil([&] { return !summary(28).isEmpty(); }));
    EXPECT_EQ(summary(28), QStringLiteral("変更なし"));
    EXPECT_EQ(summary(29), QString());
}

// A comparison that comes back after the history changed is dropped, and a pair of the new history
// is still answered.
TEST_F(BackupHistoryViewTest, ASummaryForAnOlderHistoryIsDropped)
{
    start();
    manualBackups(3);
    const SnapshotList made = state->snapshots();
    QSignalSpy ready(state.get(), &AppState::changeSummaryReady);
    const AppState::SnapshotPair gone {made[1].id, made[0].id};
    state->requestChangeSummaries({gone});
    // Another store empties the list at once, before the comparison can come back.
    BackupConfig edited = state->config();
    edited.destinationDirectory = (root / "elsewhere").string();
    state->setConfig(edited);
    ASSERT_TRUE(state->saveConfig());
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    EXPECT_EQ(ready.count(), 0);
    EXPECT_FALSE(state->changeSummary(gone));
    edited.destinationDirectory = dest.string();
    state->setConfig(edited);
    ASSERT_TRUE(state->saveConfig());
    settle();

    const AppState::SnapshotPair kept {made[2].id, made[1].id};
    state->requestChangeSummaries({kept});
    ASSERT_TRUE(ready.wait(5000));
    ASSERT_TRUE(state->changeSummary(kept));
    EXPECT_EQ(*state->changeSummary(kept), (AppState::ChangeSummary {0, 0, 0}));
}

// The page's file pane: marks against now, the diff view, and the restore of chosen files.
class SnapshotFilesPaneTest : public BackupHistoryViewTest
{
protected:
    SnapshotFilesPane &pane() const { return *view->filesPane(); }
    int mark(const char *path) const { return fileData(path, SnapshotFilesPane::MarkRole); }
    // The diff view's lines by kind, once it shows something other than its waiting note.
    std::map<int, int> chooseAndCountLines(const char *path)
    {
        pane().fileList()->setCurrentRow(fileRow(path));
        FileDiffView *diff = pane().diffView();
        EXPECT_TRUE(waitUntil([&] { return !diff->toPlainText().startsWith(QStringLiteral("読み込み中")); }));
        std::map<int, int> kinds;
        for (QTextBlock b = diff->document()->firstBlock(); b.isValid(); b = b.next())
            ++kinds[b.userState()];
        return kinds;
    }
};

// Marks against now, the count of files only there now, and what the diff view shows for text, binary,
// large and gone files.
TEST_F(SnapshotFilesPaneTest, MarksCountAndDiffs)
{
    writeText(src / "notes.md", "one\ntwo\nthree\n");
    writeText(src / "blob.pb", std::string("a\0b", 3));
    writeText(src / "big.txt", "small");
    writeText(src / "gone.md", "bye\n");
    start();
    manualBackups(1);
    writeText(src / "notes.md", "one\n2\nthree\nfour\n");
    writeText(src / "settings.json", "{\"x\":1}");
    writeText(src / "blob.pb", std::string("a\0bc", 4));
    writeText(src / "big.txt", std::string(kLargestDiffedFile + 1, 'x'));
    fs::remove(src / "gone.md");
    writeText(src / "new1.md", "n");
    writeText(src / "more/new2.md", "n");
    open();

    // Settled: marks shown and no comparison still under way (a watcher's reload may start another).
    ASSERT_TRUE(waitUntil([&] {
        return mark("GEMINI.md") >= 0 && !pane().onlyNowLabel()->text().contains(QStringLiteral("比べてるよ"));
    }));
    EXPECT_EQ(mark("GEMINI.md"), int(CompareState::unchanged));
    EXPECT_EQ(mark("notes.md"), int(CompareState::changed));
    EXPECT_EQ(mark("settings.json"), int(CompareState::changed));
    EXPECT_EQ(mark("gone.md"), int(CompareState::removed));
    EXPECT_EQ(pane().fileList()->item(fileRow("gone.md"))->data(Qt::AccessibleTextRole).toString(),
        QStringLiteral("gone.md、いまはない"));
    EXPECT_EQ(pane().onlyNowLabel()->text(),
        QStringLiteral("このスナップショットにない今のファイルが 2 件あるよ。復元してもそのまま残るから安心してね。"));

    using K = FileDiffView::LineKind;
    auto lines = chooseAndCountLines("notes.md");
    EXPECT_EQ(lines[K::removed], 1);
    EXPECT_EQ(lines[K::added], 2);
    EXPECT_EQ(lines[K::context], 2);
    EXPECT_TRUE(pane().diffView()->isReadOnly());

    for (const char *sizedOnly : {"blob.pb", "big.txt"}) {
        lines = chooseAndCountLines(sizedOnly);
        EXPECT_EQ(lines[K::removed] + lines[K::added] + lines[K::context], 0) << sizedOnly;
        EXPECT_EQ(lines[K::note], 3) << sizedOnly;
    }
    EXPECT_TRUE(pane().diffView()->toPlainText().contains(QStringLiteral("いま: 1 MB"))); // 1,000,001 bytes

    lines = chooseAndCountLines("gone.md");
    EXPECT_EQ(lines[K::removed], 1);
    EXPECT_EQ(lines[K::added], 0);
    lines = chooseAndCountLines("GEMINI.md");
    EXPECT_EQ(lines[K::note], 1);
    EXPECT_EQ(lines[K::removed] + lines[K::added], 0);
}

// The chosen files only, after the question; the same safety snapshot and alert as a whole restore, and
// the marks follow the restored files.
TEST_F(SnapshotFilesPaneTest, RestoreChosenFiles)
{
    writeText(src / "sub/notes.md", "notes");
    start(1500ms);
    manualBackups(1);
    const BackupSnapshot made = state->snapshots().front();
    writeText(src / "GEMINI.md", "edited");
    writeText(src / "settings.json", "{\"edited\":1}");
    writeText(src / "sub/notes.md", "edited");
    open();
    QPushButton *button = pane().restoreChosenButton();
    EXPECT_FALSE(button->isEnabled()) << "nothing chosen";

    pane().fileList()->item(fileRow("GEMINI.md"))->setSelected(true);
    pane().fileList()->item(fileRow("sub/notes.md"))->setSelected(true);
    ASSERT_TRUE(button->isEnabled());
    EXPECT_EQ(button->text(), QStringLiteral("選択した 2 件を復元"));
    EXPECT_EQ(pane().chosenCountLabel()->text(), QStringLiteral("2 件選択中"));
    restoreAnswer = false;
    QTest::mouseClick(button, Qt::LeftButton);
    settle();
    EXPECT_EQ(chosenAsked, (std::vector<std::vector<std::string>> {{"GEMINI.md", "sub/notes.md"}}));
    EXPECT_EQ(readText(src / "GEMINI.md"), "edited");
    EXPECT_EQ(state->snapshots().size(), 1u);

    restoreAnswer = true;
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(button->isEnabled());
    EXPECT_FALSE(view->restoreButton()->isEnabled()) << "one restore at a time";
    settle();
    EXPECT_EQ(alerts, std::vector<QString> {QStringLiteral("復元結果|正常に復元が完了したよ！")});
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(readText(src / "GEMINI.md"), "# rules");
    EXPECT_EQ(readText(src / "sub/notes.md"), "notes");
    EXPECT_EQ(readText(src / "settings.json"), "{\"edited\":1}");
    ASSERT_EQ(state->snapshots().size(), 2u);
    EXPECT_EQ(state->snapshots().front().triggerType, BackupTriggerType::preRestoreSafety);
    EXPECT_EQ(view->selectedSnapshot(), made);
    ASSERT_TRUE(waitUntil([&] { return mark("GEMINI.md") == int(CompareState::unchanged); }));
    EXPECT_EQ(mark("settings.json"), int(CompareState::changed));
}

// GEMINI.md changed three times among ten snapshots: its versions view (button, Ctrl+H or the context
// menu) lists the three, newest first, with their lines against the one before; the diff is against now
// or the previous version; "この版を復元" restores that file alone after the same question and alert.
TEST_F(SnapshotFilesPaneTest, VersionsOfOneFile)
{
    start(1500ms);
    const std::vector<std::string> texts {"# v1\n", "# v1\n", "# v1\n", "# v2\n", "# v2\n", "# v2\n", "# v2\n",
        "# v2\nmore\n", "# v2\nmore\n", "# v2\nmore\n"};
    for (const std::string &text : texts) {
        if (readText(src / "GEMINI.md") != text)
            writeText(src / "GEMINI.md", text);
        manualBackups(1);
    }
    const SnapshotList made = state->snapshots();
    ASSERT_EQ(made.size(), 10u);
    writeText(src / "GEMINI.md", "# now\n");
    BackupHistoryView &page = open();
    page.list()->setCurrentRow(4);
    FileVersionsPane &versions = *page.versionsPane();
    EXPECT_FALSE(pane().historyButton()->isEnabled()) << "no file is current yet";
    pane().fileList()->setCurrentRow(fileRow("GEMINI.md"));
    ASSERT_TRUE(pane().historyButton()->isEnabled());
    QTest::mouseClick(pane().historyButton(), Qt::LeftButton);
    EXPECT_TRUE(page.isShowingVersions());
    EXPECT_EQ(versions.titleLabel()->text(), QStringLiteral("GEMINI.md の履歴"));
    ASSERT_TRUE(waitUntil([&] { return versions.versionList()->count() == 3; }));
    const auto row = [&](int at) { return versions.versionList()->item(at)->text(); };
    EXPECT_EQ(row(0), qs(made[2].formattedDate()) + QStringLiteral("  手動  10 バイト  +1 \u22120"));
    EXPECT_EQ(row(1), qs(made[6].formattedDate()) + QStringLiteral("  手動  5 バイト  +1 \u22121"));
    EXPECT_EQ(row(2), qs(made[9].formattedDate()) + QStringLiteral("  手動  5 バイト"));
    EXPECT_EQ(versions.versionList()->currentRow(), 0);

    using K = FileDiffView::LineKind;
    const auto lines = [&](K kind) {
        int n = 0;
        for (QTextBlock b = versions.diffView()->document()->firstBlock(); b.isValid(); b = b.next())
            n += b.userState() == kind;
        return n;
    };
    const auto diffShown = [&] { return !versions.diffView()->toPlainText().startsWith(QStringLiteral("読み込み中")); };
    versions.versionList()->setCurrentRow(1);
    ASSERT_TRUE(waitUntil(diffShown));
    EXPECT_EQ(lines(K::removed), 1) << "# v2 against now";
    EXPECT_EQ(lines(K::added), 1);
    versions.againstPreviousButton()->click();
    ASSERT_TRUE(waitUntil(diffShown));
    EXPECT_EQ(lines(K::removed), 1) << "# v1 before it";
    EXPECT_TRUE(versions.diffView()->toPlainText().contains(QStringLiteral("# v1")));
    versions.versionList()->setCurrentRow(2);
    EXPECT_EQ(versions.diffView()->toPlainText(), QStringLiteral("これがいちばん古い版だよ。前の版はないよ。"));

    // The version alone comes back, after the question, with the safety snapshot and the alert.
    versions.versionList()->setCurrentRow(1);
    QTest::mouseClick(versions.restoreButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(chosenAsked, (std::vector<std::vector<std::string>> {{"GEMINI.md"}}));
    EXPECT_EQ(readText(src / "GEMINI.md"), "# v2\n");
    EXPECT_EQ(alerts, std::vector<QString> {QStringLiteral("復元結果|正常に復元が完了したよ！")});
    EXPECT_EQ(state->snapshots().front().triggerType, BackupTriggerType::preRestoreSafety);
    // The safety snapshot holds "# now": a fourth version, and the choice stays on the same one.
    ASSERT_TRUE(waitUntil([&] { return versions.versionList()->count() == 4; }));
    EXPECT_EQ(versions.chosenVersion()->id, made[6].id);

    // Back with Esc; the keyboard and the context menu reach the same view.
    QTest::keyClick(versions.versionList(), Qt::Key_Escape);
    EXPECT_FALSE(page.isShowingVersions());
    EXPECT_EQ(QApplication::focusWidget(), pane().fileList());
    QTest::keyClick(pane().fileList(), Qt::Key_H, Qt::ControlModifier);
    EXPECT_TRUE(page.isShowingVersions());
    QTest::mouseClick(versions.backButton(), Qt::LeftButton);
    EXPECT_EQ(pane().fileList()->contextMenuPolicy(), Qt::ActionsContextMenu);
    ASSERT_EQ(pane().fileList()->actions().size(), 2);
    pane().fileList()->actions().front()->trigger();
    EXPECT_TRUE(page.isShowingVersions());
}

// The marks and the diff follow the current files after a change of the program's own (a template
// applied), without choosing another row, and after one of another program when the window is back.
TEST_F(SnapshotFilesPaneTest, MarksFollowAnApplyWithoutAnotherChoice)
{
    start(1500ms);
    manualBackups(1);
    open();
    ASSERT_TRUE(waitUntil([&] { return mark("GEMINI.md") == int(CompareState::unchanged); }));
    pane().fileList()->setCurrentRow(fileRow("GEMINI.md"));
    ASSERT_TRUE(waitUntil([&] { return pane().diffView()->toPlainText().contains(QStringLiteral("同じだよ")); }));
    ASSERT_TRUE(applyNow(state->templates().front()));
    ASSERT_TRUE(waitUntil([&] { return mark("GEMINI.md") == int(CompareState::changed); }));
    ASSERT_TRUE(waitUntil([&] { return pane().diffView()->document()->blockCount() > 2; }));
    EXPECT_FALSE(pane().diffView()->toPlainText().contains(QStringLiteral("同じだよ")));

    // Changed by another program while the window was elsewhere: compared again on its return.
    writeText(src / "GEMINI.md", "# rules");
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    QEvent activated(QEvent::ActivationChange);
    QApplication::sendEvent(view.get(), &activated);
    ASSERT_TRUE(waitUntil([&] { return mark("GEMINI.md") == int(CompareState::unchanged); }));
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

// Sizes only (binary or large files): exact bytes where the rounded figures read the same, and a word on
// equal sizes whose bytes differ.
TEST(FileDiffViewTest, SizesThatRoundAlikeAreShownExactly)
{
    FileDiffView view;
    CurrentFileDiff diff;
    diff.kind = CurrentFileDiff::Kind::binary;
    diff.snapshotSize = 10'000;
    diff.currentSize = 10'400;
    view.showDiff(diff);
    EXPECT_TRUE(view.toPlainText().contains(QStringLiteral("スナップショット: 10,000 バイト")))
        << view.toPlainText().toStdString();
    EXPECT_TRUE(view.toPlainText().contains(QStringLiteral("いま: 10,400 バイト")));
    diff.currentSize = 12'000;
    view.showDiff(diff);
    EXPECT_TRUE(view.toPlainText().contains(QStringLiteral("スナップショット: 10 KB")));
    diff.currentSize = 10'000;
    diff.sameContent = false;
    view.showDiff(diff);
    EXPECT_TRUE(view.toPlainText().endsWith(QStringLiteral("同じサイズで中身が違うよ。")));
}

} // namespace
} // namespace velkaro::test
