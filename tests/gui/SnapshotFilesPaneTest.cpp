#include "AppStateFixture.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Backups/FileDiffView.h"
#include "Views/Common/Dialogs.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>

namespace velkaro::test {
namespace {

using namespace std::chrono_literals;

// The history page's file pane over a real AppState; the restore question and alert are answered here.
class SnapshotFilesPaneTest : public AppStateFixture
{
protected:
    BackupHistoryView &open()
    {
        view = std::make_unique<BackupHistoryView>(*state);
        view->setAlertFunction([this](QWidget *, const QString &title, const QString &message) {
            alerts.push_back(title + QStringLiteral("|") + message);
        });
        view->setChosenRestoreConfirmFunction(
            [this](QWidget *, const BackupSnapshot &, const std::vector<std::string> &paths) {
                asked.push_back(paths);
                return answer;
            });
        view->resize(700, 700);
        view->show();
        return *view;
    }

    void TearDown() override
    {
        view.reset();
        AppStateFixture::TearDown();
    }

    SnapshotFilesPane &pane() const { return *view->filesPane(); }
    int row(const char *path) const
    {
        const auto found = pane().fileList()->findItems(QString::fromUtf8(path), Qt::MatchExactly);
        return found.isEmpty() ? -1 : pane().fileList()->row(found.front());
    }
    int mark(const char *path) const
    {
        return pane().fileList()->item(row(path))->data(SnapshotFilesPane::MarkRole).toInt();
    }
    // The diff view's lines by kind, once it shows something other than its waiting note.
    std::map<int, int> chooseAndCountLines(const char *path)
    {
        pane().fileList()->setCurrentRow(row(path));
        FileDiffView *diff = pane().diffView();
        EXPECT_TRUE(waitUntil([&] { return !diff->toPlainText().startsWith(QStringLiteral("読み込み中")); }));
        std::map<int, int> kinds;
        for (QTextBlock b = diff->document()->firstBlock(); b.isValid(); b = b.next())
            ++kinds[b.userState()];
        return kinds;
    }

    std::unique_ptr<BackupHistoryView> view;
    std::vector<QString> alerts;
    std::vector<std::vector<std::string>> asked;
    bool answer = true;
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

    ASSERT_TRUE(waitUntil([&] { return mark("GEMINI.md") >= 0; }));
    EXPECT_EQ(mark("GEMINI.md"), int(CompareState::unchanged));
    EXPECT_EQ(mark("notes.md"), int(CompareState::changed));
    EXPECT_EQ(mark("settings.json"), int(CompareState::changed));
    EXPECT_EQ(mark("gone.md"), int(CompareState::removed));
    EXPECT_EQ(pane().fileList()->item(row("gone.md"))->data(Qt::AccessibleTextRole).toString(),
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

    pane().fileList()->item(row("GEMINI.md"))->setSelected(true);
    pane().fileList()->item(row("sub/notes.md"))->setSelected(true);
    ASSERT_TRUE(button->isEnabled());
    answer = false;
    QTest::mouseClick(button, Qt::LeftButton);
    settle();
    EXPECT_EQ(asked, (std::vector<std::vector<std::string>> {{"GEMINI.md", "sub/notes.md"}}));
    EXPECT_EQ(readText(src / "GEMINI.md"), "edited");
    EXPECT_EQ(state->snapshots().size(), 1u);

    answer = true;
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

// The question names a few chosen files and counts the rest.
TEST_F(SnapshotFilesPaneTest, QuestionNamesTheChosenFiles)
{
    const BackupSnapshot snapshot {"2025-03-04/snapshot_090000", localTime(2025, 3, 4, 9, 0, 0),
        BackupTriggerType::manual, 7, 70, {}, std::nullopt};
    auto box = makeRestoreQuestion(nullptr, snapshot, {"a.md", "b.md", "c.md", "d.md", "e.md", "f.md", "g.md"});
    const QString details = box->informativeText();
    EXPECT_TRUE(details.contains(QStringLiteral("復元するファイル (7 件)")));
    EXPECT_TRUE(details.contains(QStringLiteral("・e.md")));
    EXPECT_FALSE(details.contains(QStringLiteral("f.md")));
    EXPECT_TRUE(details.contains(QStringLiteral("ほか 2 件")));
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("キャンセル"));
}

} // namespace
} // namespace velkaro::test
