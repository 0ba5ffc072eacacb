#include "AppStateFixture.h"

using namespace std::chrono_literals;
using namespace velkaro;
using namespace velkaro::test;

namespace {

using AppStateDetailTest = AppStateFixture;

} // namespace

// Only the chosen files are written, after a safety snapshot; a path the snapshot does not hold writes
// nothing at all.
TEST_F(AppStateDetailTest, ChosenFilesRestoreWritesThoseOnlyAfterASafetySnapshot)
{
    writeText(src / "sub/notes.md", "notes");
    AppState &s = start();
    manualBackups(1);
    const BackupSnapshot made = s.snapshots().front();
    writeText(src / "GEMINI.md", "edited rules");
    writeText(src / "settings.json", "{\"edited\":1}");

    std::optional<RestoreOutcome> outcome;
    s.restoreFiles(made, {"GEMINI.md", "sub/nope.md"}, keepOutcome(outcome));
    settle();
    EXPECT_EQ(outcome, RestoreOutcome::failed);
    EXPECT_EQ(status(), "復元エラー: スナップショットに含まれていません: sub/nope.md");
    EXPECT_EQ(readText(src / "GEMINI.md"), "edited rules");
    EXPECT_EQ(s.snapshots().size(), 1u) << "no safety snapshot for a refused choice";

    outcome.reset();
    s.restoreFiles(made, {"GEMINI.md", "sub/notes.md"}, keepOutcome(outcome));
    EXPECT_TRUE(s.isBusy());
    settle();
    EXPECT_EQ(outcome, RestoreOutcome::complete);
    EXPECT_EQ(status(), "2 件のファイルを正常に復元しました！");
    EXPECT_EQ(readText(src / "GEMINI.md"), "# rules");
    EXPECT_EQ(readText(src / "settings.json"), "{\"edited\":1}");
    ASSERT_EQ(s.snapshots().size(), 2u);
    EXPECT_EQ(s.snapshots().front().triggerType, BackupTriggerType::preRestoreSafety);
}

// The comparison and the file diff come back on the main thread; a request overtaken by a newer one
// of the same kind never completes, so a result for a snapshot no longer chosen cannot arrive.
TEST_F(AppStateDetailTest, OnlyTheLatestComparisonAndDiffArrive)
{
    AppState &s = start();
    manualBackups(1);
    writeText(src / "GEMINI.md", "changed");
    writeText(src / "extra.md", "x");
    manualBackups(1);
    const BackupSnapshot older = s.snapshots().back();
    const BackupSnapshot newer = s.snapshots().front();

    std::vector<std::string> arrived;
    s.compareWithCurrentFiles(older, [&](const CurrentFilesComparison &) { arrived.push_back("older"); });
    s.compareWithCurrentFiles(newer, [&](const CurrentFilesComparison &c) {
        arrived.push_back("newer " + std::to_string(c.marks.size()) + " " + std::to_string(int(c.marks.at("GEMINI.md")))
            + " " + std::to_string(c.onlyNowCount));
    });
    s.diffWithCurrentFile(older, "GEMINI.md", [&](const CurrentFileDiff &) { arrived.push_back("diff 1"); });
    s.diffWithCurrentFile(older, "GEMINI.md",
        [&](const CurrentFileDiff &d) { arrived.push_back("diff 2 " + std::to_string(d.hunks.size())); });
    EXPECT_TRUE(arrived.empty());
    ASSERT_TRUE(waitUntil([&] { return arrived.size() >= 2; }));
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    std::sort(arrived.begin(), arrived.end());
    EXPECT_EQ(arrived,
        (std::vector<std::string> {"diff 2 1", "newer 3 " + std::to_string(int(CompareState::unchanged)) + " 0"}));
}
