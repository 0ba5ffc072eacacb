// The history page's file pane: marks against now, the diff view, the restore of chosen files and the
// versions of one file.
#include "BackupHistoryFixture.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>

namespace velkaro::test {
namespace {

using namespace std::chrono_literals;

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
    const SnapshotList made = backupEachText({"# v1\n", "# v1\n", "# v1\n", "# v2\n", "# v2\n", "# v2\n", "# v2\n",
        "# v2\nmore\n", "# v2\nmore\n", "# v2\nmore\n"});
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
    const auto lines = [&](K kind) { return linesByKind(*versions.diffView())[kind]; };
    versions.versionList()->setCurrentRow(1);
    ASSERT_TRUE(waitForDiff(*versions.diffView()));
    EXPECT_EQ(lines(K::removed), 1) << "# v2 against now";
    EXPECT_EQ(lines(K::added), 1);
    versions.againstPreviousButton()->click();
    ASSERT_TRUE(waitForDiff(*versions.diffView()));
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
