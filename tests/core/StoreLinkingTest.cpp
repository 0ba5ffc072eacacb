// Snapshots that share unchanged files through hard links: what is linked, what is copied, and that
// nothing shared is ever written in place.
#include "StoreSafetyFixture.h"

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

// Snapshots share unchanged files with the snapshot before them through hard links.
TEST_F(StoreSafetyTest, UnchangedFilesAreLinkedAndChangedOnesCopiedWithTheSameRecord)
{
    writeSources();
    const auto first = runAt(now);
    writeText(src / "size.md", "content of size.md, longer");
    setTime(src / "size.md", 1700000000, 111);
    setTime(src / "time.md", 1700000000, 112); // one nanosecond later
    fs::permissions(src / "mode.md", fs::perms(0600));
    const auto second = runAt(now + 1min);

    for (const auto &[name, linked] : {std::pair {"same.md", true}, {"sub/deep.md", true}, {"size.md", false},
             {"time.md", false}, {"mode.md", false}})
        EXPECT_EQ(fs::equivalent(data(first) / name, data(second) / name), linked) << name;
    EXPECT_EQ(readText(data(first) / "size.md"), "content of size.md");
    EXPECT_EQ(readText(data(second) / "size.md"), "content of size.md, longer");
    EXPECT_EQ(fs::symlink_status(data(first) / "mode.md").permissions(), fs::perms(0644));
    EXPECT_EQ(fs::symlink_status(data(second) / "mode.md").permissions(), fs::perms(0600));

    // The record and every size figure are those of a copied snapshot.
    EXPECT_EQ(second.snapshot.filesCount, 5);
    EXPECT_EQ(second.snapshot.totalSizeBytes, first.snapshot.totalSizeBytes + 8); // size.md grew by 8 bytes
    EXPECT_EQ(second.snapshot.relativeFilePaths, first.snapshot.relativeFilePaths);
    EXPECT_EQ(
        BackupSnapshot::decode(readText(dest / "snapshots" / second.snapshot.id / "snapshot.json")), second.snapshot);
}

// An edit that keeps size and time (touch -r, cp -p) is never linked to the stale copy nor called
// unchanged: the stat record must match whole, and a snapshot without a whole record sends the run to
// the bytes.
TEST_F(StoreSafetyTest, AnEditThatKeepsSizeAndTimeIsNeverMissed)
{
    writeSources();
    const auto first = runAt(now);
    writeText(src / "same.md", "CONTENT of same.md");
    setTime(src / "same.md", 1700000000, 111);
    const auto second = runAt(now + 1min);
    EXPECT_EQ(readText(data(second) / "same.md"), "CONTENT of same.md");
    EXPECT_TRUE(fs::equivalent(data(first) / "sub/deep.md", data(second) / "sub/deep.md"));
    const auto marks = compareWithCurrent(SnapshotStore(dest), first.snapshot, config).entries;
    EXPECT_EQ(marks[0].path, "mode.md");
    EXPECT_EQ(marks[1].state, CompareState::changed) << marks[1].path;
    EXPECT_EQ(marks[4].state, CompareState::unchanged) << marks[4].path;

    fs::resize_file(folderOf(second.snapshot.id) / FileStatRecord::kFileName, 10); // torn
    writeText(src / "sub/deep.md", "CONTENT of sub/deep.md");
    setTime(src / "sub/deep.md", 1700000000, 111);
    const auto third = runAt(now + 2min);
    EXPECT_EQ(readText(data(third) / "sub/deep.md"), "CONTENT of sub/deep.md");
    EXPECT_TRUE(fs::equivalent(data(second) / "time.md", data(third) / "time.md")) << "equal bytes are linked";

    // A change in the recording run's own moment (or after it) proves nothing, whatever the stat says.
    struct stat st = {};
    ASSERT_EQ(::stat((src / "time.md").c_str(), &st), 0);
    const FileStamp stamp = FileStamp::of(st);
    const StampTime changed {stamp.changedSeconds, stamp.changedNanoseconds};
    EXPECT_FALSE(FileStatRecord(changed, {stamp}).provesUnchanged(0, stamp));
    EXPECT_TRUE(FileStatRecord({changed.seconds + 1, 0}, {stamp}).provesUnchanged(0, stamp));
}

TEST_F(StoreSafetyTest, ABaseCopyThatIsALinkOrReachedThroughOneIsNotLinkedTo)
{
    writeSources();
    const auto first = runAt(now);
    // Swap the store's copies for links to look-alikes outside the store, with the same times and modes.
    const fs::path outside = root / "outside";
    fs::create_directories(outside / "sub");
    for (const char *name : {"same.md", "sub/deep.md"}) {
        fs::copy_file(src / name, outside / name);
        setTime(outside / name, 1700000000, 111);
    }
    fs::remove(data(first) / "same.md");
    fs::create_symlink(outside / "same.md", data(first) / "same.md");
    fs::remove_all(data(first) / "sub");
    fs::create_directory_symlink(outside / "sub", data(first) / "sub");

    const auto second = runAt(now + 1min);
    for (const char *name : {"same.md", "sub/deep.md"}) {
        EXPECT_FALSE(fs::is_symlink(data(second) / name)) << name;
        EXPECT_FALSE(fs::equivalent(outside / name, data(second) / name)) << name;
        EXPECT_EQ(fs::hard_link_count(data(second) / name), 1u) << name;
    }
    EXPECT_TRUE(fs::equivalent(data(first) / "time.md", data(second) / "time.md")) << "the rest is still linked";
}

TEST_F(StoreSafetyTest, NothingSharedIsChangedInPlaceByAMergeARestoreADeletionOrRetention)
{
    writeSources();
    const auto first = runAt(now);
    const auto second = runAt(now + 1min);
    ASSERT_TRUE(fs::equivalent(data(first) / "same.md", data(second) / "same.md"));

    // A run in the same second as `second` gets the next second: both earlier snapshots keep their copies.
    writeText(src / "same.md", "changed");
    fs::permissions(src / "time.md", fs::perms(0600));
    const auto next = runAt(now);
    EXPECT_EQ(next.snapshot.id, "2025-03-04/snapshot_091601");
    EXPECT_EQ(readText(data(first) / "same.md"), "content of same.md");
    EXPECT_EQ(readText(data(second) / "same.md"), "content of same.md");
    EXPECT_EQ(readText(data(next) / "same.md"), "changed");
    EXPECT_EQ(fs::symlink_status(data(first) / "time.md").permissions(), fs::perms(0644));

    // A restore writes new files into the source, never links into the store.
    ASSERT_TRUE(restore(first.snapshot));
    now += 1min;
    EXPECT_FALSE(fs::equivalent(src / "size.md", data(first) / "size.md"));
    EXPECT_EQ(readText(src / "same.md"), "content of same.md");
    writeText(src / "size.md", "edited after the restore");
    EXPECT_EQ(readText(data(first) / "size.md"), "content of size.md");

    // Deleting and pruning take one link each; what the other snapshots hold stays.
    const auto third = runAt(now + 2min);
    ASSERT_TRUE(fs::equivalent(data(first) / "sub/deep.md", data(third) / "sub/deep.md"));
    ASSERT_TRUE(service().deleteSnapshot(first.snapshot, dest));
    EXPECT_FALSE(fs::exists(data(first)));
    EXPECT_EQ(readText(data(third) / "sub/deep.md"), "content of sub/deep.md");
    config.maxSnapshotsLimit = 1;
    const auto fourth = runAt(now + 3min);
    EXPECT_FALSE(fourth.removedSnapshotIds.empty());
    EXPECT_FALSE(fs::exists(data(third)));
    EXPECT_EQ(readText(data(fourth) / "sub/deep.md"), "content of sub/deep.md");
    EXPECT_EQ(fs::hard_link_count(data(fourth) / "sub/deep.md"), 1u);
    EXPECT_EQ(ids(service().loadHistory(dest)), std::vector<std::string> {fourth.snapshot.id});
}

TEST_F(StoreSafetyTest, ANewSnapshotOnAnotherFileSystemIsCopied)
{
    writeSources();
    const auto first = runAt(now);
    // The first snapshot's copies move to a tmpfs, times kept: links from them cannot cross into the store.
    const fs::path saved = root / "saved";
    ASSERT_EQ(std::system(("cp -a '" + data(first).string() + "' '" + saved.string() + "'").c_str()), 0);
    if (!mountTmpfs(data(first), "size=4m,mode=0700"))
        GTEST_SKIP() << "mounting a tmpfs in the store needs root; skipped";
    ASSERT_EQ(std::system(("cp -a '" + saved.string() + "/.' '" + data(first).string() + "'").c_str()), 0);
    const auto second = runAt(now + 1min);
    EXPECT_EQ(second.snapshot.filesCount, 5);
    EXPECT_EQ(second.snapshot.totalSizeBytes, first.snapshot.totalSizeBytes);
    for (const auto &path : second.snapshot.relativeFilePaths)
        EXPECT_EQ(readText(data(second) / path), readText(src / path)) << path;
}

TEST_F(StoreSafetyTest, ARunOverADamagedHistoryKeepsItAsideRebuildsItAndStillPrunes)
{
    writeSources();
    const auto first = runAt(now);
    const auto second = runAt(now + 1min);
    const std::string torn = readText(dest / "history.json").substr(0, 100);
    writeText(dest / "history.json", torn);
    config.maxSnapshotsLimit = 2;

    const auto third = runAt(now + 2min);
    EXPECT_EQ(readText(dest / "history.json.damaged"), torn);
    EXPECT_EQ(third.removedSnapshotIds, std::vector<std::string> {first.snapshot.id});
    const auto decoded = decodeSnapshotList(readText(dest / "history.json"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(ids(*decoded), (std::vector<std::string> {third.snapshot.id, second.snapshot.id}));
    EXPECT_TRUE(fs::equivalent(data(second) / "same.md", data(third) / "same.md"))
        << "the rebuilt list still finds the base";

    // The next run reads the now whole file and leaves the kept damaged copy alone.
    const auto fourth = runAt(now + 3min);
    EXPECT_EQ(readText(dest / "history.json.damaged"), torn);
    EXPECT_EQ(ids(service().loadHistory(dest)), (std::vector<std::string> {fourth.snapshot.id, third.snapshot.id}));
}

// Enough files for the linking to be shared between threads: each file still gets the decision made
// for it alone, and the record keeps the order and the sizes of a copied snapshot.
TEST_F(StoreSafetyTest, ManyFilesLinkedOnTwoThreadsKeepTheirOwnDecisionAndTheRecordOrder)
{
    constexpr int kFiles = 2400;
    const auto rel = [](int i) { return "d" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".md"; };
    for (int i = 0; i < kFiles; ++i) {
        writeText(src / rel(i), "file " + std::to_string(i));
        setTime(src / rel(i), 1700000000, 5);
    }
    const auto first = runAt(now);
    ASSERT_EQ(first.snapshot.filesCount, kFiles);
    std::set<int> changed;
    for (int i = 3; i < kFiles; i += 97) { // spread over both halves
        writeText(src / rel(i), "changed " + std::to_string(i));
        setTime(src / rel(i), 1700000000, 5);
        changed.insert(i);
    }
    const auto second = runAt(now + 1min);
    EXPECT_EQ(second.snapshot.relativeFilePaths, first.snapshot.relativeFilePaths);
    std::int64_t size = 0;
    for (int i = 0; i < kFiles; ++i) {
        size += static_cast<std::int64_t>(fs::file_size(src / rel(i)));
        EXPECT_EQ(fs::equivalent(data(first) / rel(i), data(second) / rel(i)), !changed.contains(i)) << rel(i);
        EXPECT_EQ(readText(data(second) / rel(i)), readText(src / rel(i))) << rel(i);
    }
    EXPECT_EQ(second.snapshot.totalSizeBytes, size);
    EXPECT_EQ(readText(data(first) / "d0/f3.md"), "file 3"); // the earlier snapshot keeps its copy
}
