// Runs, restores and deletions killed with SIGKILL, and the cleanup that the next run does after them.
#include "StoreSafetyFixture.h"

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

TEST_F(StoreSafetyTest, WhatAKilledRunLeavesIsMendedOrRemovedByTheNextRun)
{
    config.maxSnapshotsLimit = 0;
    for (int i = 0; i < 5; ++i)
        writeText(src / ("f" + std::to_string(i) + ".md"), std::string(1000, 'a' + i));
    const std::size_t older = writeLongHistory(5000);

    // Killed while copying: a staging folder, which nothing lists.
    ASSERT_TRUE(killedDuring(
        [&] {
            int copied = 0;
            (void)service().executeBackup(config, BackupTriggerType::manual, [&](const BackupExecutionState &s) {
                if (s.is<BackupExecutionState::Copying>() && ++copied == 3)
                    ::kill(::getpid(), SIGKILL);
            });
        },
        [] { return false; }));
    const auto staged = found(dest / "snapshots", isStaging, false);
    ASSERT_EQ(staged.size(), 1u);
    ASSERT_TRUE(fs::exists(staged.front() / "data/f1.md"));
    EXPECT_FALSE(fs::exists(dest / "snapshots/2025-03-04"));
    EXPECT_EQ(service().loadHistory(dest).size(), older);

    // Killed between the two writes: the complete snapshot comes back into the history, newest first.
    std::string recovered;
    killBetweenRecordAndHistory(recovered);
    ASSERT_FALSE(recovered.empty()) << "no kill came between snapshot.json and history.json";
    EXPECT_EQ(service().loadHistory(dest).front().id, recovered);

    // Killed while a restore copies a large file into the source: the old file stays whole.
    now += 1s;
    writeText(src / "large.md", std::string(16 << 20, 'L'));
    const auto withLarge = backup();
    ASSERT_TRUE(withLarge);
    ASSERT_TRUE(killRestoreWhileCopying(withLarge->snapshot, "large.md", "edited"))
        << "no kill came while the restore copied";
    ASSERT_FALSE(found(src, isTemporary).empty());
    EXPECT_EQ(readText(src / "large.md"), "edited");

    // The next run under the lock removes the unfinished folder and every stale temporary file, and
    // records the recovered snapshot for good.
    startInTheNextSecond();
    now += 10s;
    const auto next = backup();
    ASSERT_TRUE(next);
    EXPECT_EQ(found(dest / "snapshots", isStaging), std::vector<fs::path> {});
    EXPECT_EQ(found(src, isTemporary), std::vector<fs::path> {});
    EXPECT_EQ(found(dest, isTemporary), std::vector<fs::path> {});
    const auto recorded = ids(*decodeSnapshotList(readText(dest / "history.json")));
    EXPECT_EQ(recorded.front(), next->snapshot.id);
    EXPECT_NE(std::ranges::find(recorded, recovered), recorded.end());
    EXPECT_NE(std::ranges::find(recorded, withLarge->snapshot.id), recorded.end());
}

// A second run in a snapshot's own second, killed while it copies or while it writes its record, leaves
// that snapshot exactly as it was; the next run clears what the killed one left.
TEST_F(StoreSafetyTest, ARunInATakenSecondNeverTouchesTheSnapshotThereEvenWhenKilled)
{
    constexpr std::uintmax_t kLarge = 48u << 20;
    writeText(src / "large.md", std::string(kLarge, 'a'));
    writeText(src / "GEMINI.md", "first");
    const auto first = backup();
    ASSERT_TRUE(first);
    const fs::path taken = folderOf(first->snapshot.id);
    const Tree before = tree(taken);
    writeText(src / "large.md", std::string(kLarge, 'b'));
    writeText(src / "GEMINI.md", "second");
    now = first->snapshot.createdAt;

    const auto copyingLarge = [&] {
        return anyBelowStore([&](const fs::directory_entry &e) {
            std::error_code ec;
            return e.path().filename() == "large.md" && e.is_regular_file(ec) && fs::file_size(e.path(), ec) < kLarge
                && !ec;
        });
    };
    const auto writingRecord = [&] {
        return anyBelowStore(
            [](auto &e) { return e.path().filename().string().starts_with(".snapshot.json.velkaro-tmp-"); });
    };
    for (const auto &due : {std::function<bool()>(copyingLarge), std::function<bool()>(writingRecord)}) {
        (void)killedDuring([&] { (void)backup(); }, due); // lands in nearly every round; either way
        EXPECT_EQ(tree(taken), before);
        EXPECT_EQ(BackupSnapshot::decode(readText(taken / "snapshot.json")), first->snapshot);
        EXPECT_EQ(readText(taken / "data/GEMINI.md"), "first");
        expectNoTornSnapshot();
    }

    startInTheNextSecond();
    now += 10s;
    ASSERT_TRUE(backup());
    EXPECT_FALSE(anyBelowStore([](auto &e) { return isStaging(e) || isTemporary(e); }));
    EXPECT_EQ(tree(taken), before);
    expectNoTornSnapshot();
}

// Only staging folders and temporary files of this program go; a listed folder that lost its
// snapshot.json, a flat snapshot in a folder of another name and a user's own folder all stay.
TEST_F(StoreSafetyTest, CleanupRemovesOnlyWhatThisProgramLeftBehind)
{
    writeText(src / "GEMINI.md", "g");
    const auto first = backup();
    ASSERT_TRUE(first);
    const fs::path snapshots = dest / "snapshots";
    fs::remove(folderOf(first->snapshot.id) / "snapshot.json");
    BackupSnapshot flat = first->snapshot;
    flat.id = "2025-01-01/snapshot_000000";
    writeText(snapshots / "flat-copy/snapshot.json", flat.encode());
    writeText(snapshots / "flat-copy/data/GEMINI.md", "g");
    writeText(snapshots / "archive/keep/notes.txt", "mine");
    writeText(snapshots / ".velkaro-staging-1-2-3/data/GEMINI.md", "killed run");
    writeText(dest / ".history.json.velkaro-tmp-AbCdEf", "killed write");
    ageTree(dest);

    ASSERT_TRUE(backup());
    EXPECT_EQ(readText(folderOf(first->snapshot.id) / "data/GEMINI.md"), "g");
    EXPECT_EQ(readText(snapshots / "flat-copy/data/GEMINI.md"), "g");
    EXPECT_EQ(readText(snapshots / "archive/keep/notes.txt"), "mine");
    EXPECT_FALSE(fs::exists(snapshots / ".velkaro-staging-1-2-3"));
    EXPECT_FALSE(fs::exists(dest / ".history.json.velkaro-tmp-AbCdEf"));
    const auto listed = ids(service().loadHistory(dest));
    EXPECT_EQ(listed, (Strings {"2025-03-04/snapshot_091501", first->snapshot.id, flat.id}));
    // The listed folder without its record still restores.
    writeText(src / "GEMINI.md", "edited");
    EXPECT_EQ(restore(first->snapshot), (RestoreRun {1, 0}));
    EXPECT_EQ(readText(src / "GEMINI.md"), "g");
}

// Delete moves the folder aside, rewrites the history, then removes it: a kill anywhere in between never
// leaves a listed snapshot with part of its files, and a failed history write changes nothing.
TEST_F(StoreSafetyTest, DeleteNeverTearsASnapshot)
{
    for (int i = 0; i < 3000; ++i)
        writeText(src / ("d" + std::to_string(i % 30)) / ("f" + std::to_string(i) + ".md"), "x");
    const auto first = backup();
    const auto second = backup();
    ASSERT_TRUE(first && second);

    const auto staged = [&] { return !found(dest / "snapshots", isStaging, false).empty(); };
    ASSERT_TRUE(killedDuring([&] { (void)service().deleteSnapshot(first->snapshot, dest); }, staged));
    expectNoTornSnapshot();
    EXPECT_EQ(tree(folderOf(second->snapshot.id) / "data").size(), 3030u);
    // Whatever the kill left, the next run finishes the job: the staged folder and the entry go.
    startInTheNextSecond();
    now += 10s;
    ASSERT_TRUE(backup());
    EXPECT_FALSE(staged());
    EXPECT_FALSE(fs::exists(folderOf(first->snapshot.id)));
    EXPECT_EQ(ids(service().loadHistory(dest)), (Strings {"2025-03-04/snapshot_091512", second->snapshot.id}));

    // history.json cannot be replaced (a folder stands there, and another where it would be kept aside).
    const auto third = service().loadHistory(dest).front();
    fs::remove(dest / "history.json");
    fs::create_directories(dest / "history.json");
    writeText(dest / "history.json.damaged/inside", "");
    const auto refused = service().deleteSnapshot(third, dest);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().description.find("history.json"), std::string::npos) << refused.error().description;
    EXPECT_TRUE(fs::exists(folderOf(third.id) / "snapshot.json"));
    EXPECT_EQ(ids(service().loadHistory(dest)), (Strings {third.id, second->snapshot.id}));
    expectNoTornSnapshot();
}
