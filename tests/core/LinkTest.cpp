// Snapshots that share unchanged files with the snapshot before them through hard links, and the rule
// that keeps such shared files safe: nothing of the store is ever written in place.
#include "Models/BackupSnapshot.h"
#include "Platform/FileSystem.h"
#include "Services/BackupService.h"
#include "Services/RestoreService.h"
#include "TestSupport.h"

#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

namespace {

class LinkTest : public StoreTest
{
protected:
    void TearDown() override
    {
        if (!mountPoint.empty())
            ::umount2(mountPoint.c_str(), MNT_DETACH);
        StoreTest::TearDown();
    }

    BackupRun backup(TimePoint at)
    {
        now = at;
        auto run = service.executeBackup(config, BackupTriggerType::manual, {});
        EXPECT_TRUE(run) << (run ? "" : run.error().description);
        return run ? *run : BackupRun {};
    }

    fs::path data(const BackupRun &run) { return dest / "snapshots" / run.snapshot.id / "data"; }

    static struct stat info(const fs::path &path)
    {
        struct stat st
        {
        };
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    }
    static bool sameFile(const fs::path &a, const fs::path &b)
    {
        return info(a).st_ino == info(b).st_ino && info(a).st_dev == info(b).st_dev;
    }
    static void setTime(const fs::path &path, long sec, long nsec)
    {
        const timespec times[2] = {{sec, 0}, {sec, nsec}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }
    // Five files with pinned times, so a second run can tell them unchanged.
    void writeSources()
    {
        for (const char *name : {"same.md", "size.md", "time.md", "mode.md", "sub/deep.md"}) {
            writeText(src / name, std::string("content of ") + name);
            setTime(src / name, 1700000000, 111);
        }
    }

    ScopedTimeZone tz {"UTC0"};
    TimePoint now = localTime(2025, 3, 4, 9, 15, 0);
    BackupService service {[this] { return now; }, 1s};
    fs::path mountPoint;
};

} // namespace

TEST_F(LinkTest, UnchangedFilesAreLinkedAndChangedOnesCopiedWithTheSameRecord)
{
    writeSources();
    const auto first = backup(now);
    writeText(src / "size.md", "content of size.md, longer");
    setTime(src / "size.md", 1700000000, 111);
    setTime(src / "time.md", 1700000000, 112); // one nanosecond later
    fs::permissions(src / "mode.md", fs::perms(0600));
    const auto second = backup(now + 1min);

    for (const auto &[name, linked] : {std::pair {"same.md", true}, {"sub/deep.md", true}, {"size.md", false},
             {"time.md", false}, {"mode.md", false}})
        EXPECT_EQ(sameFile(data(first) / name, data(second) / name), linked) << name;
    EXPECT_EQ(readText(data(first) / "size.md"), "content of size.md");
    EXPECT_EQ(readText(data(second) / "size.md"), "content of size.md, longer");
    EXPECT_EQ(info(data(first) / "mode.md").st_mode & 07777, 0644u);
    EXPECT_EQ(info(data(second) / "mode.md").st_mode & 07777, 0600u);

    // The record and every size figure are those of a copied snapshot.
    EXPECT_EQ(second.snapshot.filesCount, 5);
    EXPECT_EQ(second.snapshot.totalSizeBytes, first.snapshot.totalSizeBytes + 8); // size.md grew by 8 bytes
    EXPECT_EQ(second.snapshot.relativeFilePaths, first.snapshot.relativeFilePaths);
    EXPECT_EQ(
        BackupSnapshot::decode(readText(dest / "snapshots" / second.snapshot.id / "snapshot.json")), second.snapshot);
}

TEST_F(LinkTest, ABaseCopyThatIsALinkOrReachedThroughOneIsNotLinkedTo)
{
    writeSources();
    const auto first = backup(now);
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

    const auto second = backup(now + 1min);
    for (const char *name : {"same.md", "sub/deep.md"}) {
        EXPECT_FALSE(fs::is_symlink(data(second) / name)) << name;
        EXPECT_FALSE(sameFile(outside / name, data(second) / name)) << name;
        EXPECT_EQ(info(data(second) / name).st_nlink, 1u) << name;
    }
    EXPECT_TRUE(sameFile(data(first) / "time.md", data(second) / "time.md")) << "the rest is still linked";
}

TEST_F(LinkTest, NothingSharedIsChangedInPlaceByAMergeARestoreADeletionOrRetention)
{
    writeSources();
    const auto first = backup(now);
    const auto second = backup(now + 1min);
    ASSERT_TRUE(sameFile(data(first) / "same.md", data(second) / "same.md"));

    // A run in the same second as `second` gets the next second: both earlier snapshots keep their copies.
    writeText(src / "same.md", "changed");
    fs::permissions(src / "time.md", fs::perms(0600));
    const auto next = backup(now);
    EXPECT_EQ(next.snapshot.id, "2025-03-04/snapshot_091601");
    EXPECT_EQ(readText(data(first) / "same.md"), "content of same.md");
    EXPECT_EQ(readText(data(second) / "same.md"), "content of same.md");
    EXPECT_EQ(readText(data(next) / "same.md"), "changed");
    EXPECT_EQ(info(data(first) / "time.md").st_mode & 07777, 0644u);

    // A restore writes new files into the source, never links into the store.
    auto restored = RestoreService(service).executeRestore(first.snapshot, config, RestoreScopeOption::allFiles, {});
    ASSERT_TRUE(restored) << restored.error().description;
    now += 1min;
    EXPECT_FALSE(sameFile(src / "size.md", data(first) / "size.md"));
    EXPECT_EQ(readText(src / "same.md"), "content of same.md");
    writeText(src / "size.md", "edited after the restore");
    EXPECT_EQ(readText(data(first) / "size.md"), "content of size.md");

    // Deleting and pruning take one link each; what the other snapshots hold stays.
    const auto third = backup(now + 2min);
    ASSERT_TRUE(sameFile(data(first) / "sub/deep.md", data(third) / "sub/deep.md"));
    ASSERT_TRUE(service.deleteSnapshot(first.snapshot, dest));
    EXPECT_FALSE(fs::exists(data(first)));
    EXPECT_EQ(readText(data(third) / "sub/deep.md"), "content of sub/deep.md");
    config.maxSnapshotsLimit = 1;
    const auto fourth = backup(now + 3min);
    EXPECT_FALSE(fourth.removedSnapshotIds.empty());
    EXPECT_FALSE(fs::exists(data(third)));
    EXPECT_EQ(readText(data(fourth) / "sub/deep.md"), "content of sub/deep.md");
    EXPECT_EQ(info(data(fourth) / "sub/deep.md").st_nlink, 1u);
    EXPECT_EQ(ids(service.loadHistory(dest)), std::vector<std::string> {fourth.snapshot.id});
}

TEST_F(LinkTest, ANewSnapshotOnAnotherFileSystemIsCopied)
{
    writeSources();
    const auto first = backup(now);
    // The first snapshot's copies move to a tmpfs, times kept: links from them cannot cross into the store.
    const fs::path saved = root / "saved";
    ASSERT_EQ(std::system(("cp -a '" + data(first).string() + "' '" + saved.string() + "'").c_str()), 0);
    mountPoint = data(first);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=4m,mode=0700") != 0) {
        mountPoint.clear();
        GTEST_SKIP() << "mounting a tmpfs in the store needs root; skipped";
    }
    ASSERT_EQ(std::system(("cp -a '" + saved.string() + "/.' '" + data(first).string() + "'").c_str()), 0);
    const auto second = backup(now + 1min);
    EXPECT_EQ(second.snapshot.filesCount, 5);
    EXPECT_EQ(second.snapshot.totalSizeBytes, first.snapshot.totalSizeBytes);
    for (const auto &path : second.snapshot.relativeFilePaths) {
        EXPECT_EQ(readText(data(second) / path), readText(src / path)) << path;
        EXPECT_NE(info(data(second) / path).st_dev, info(data(first) / path).st_dev) << path;
    }
}

TEST_F(LinkTest, ARunOverADamagedHistoryKeepsItAsideRebuildsItAndStillPrunes)
{
    writeSources();
    const auto first = backup(now);
    const auto second = backup(now + 1min);
    const std::string torn = readText(dest / "history.json").substr(0, 100);
    writeText(dest / "history.json", torn);
    config.maxSnapshotsLimit = 2;

    const auto third = backup(now + 2min);
    EXPECT_EQ(readText(dest / "history.json.damaged"), torn);
    EXPECT_EQ(third.removedSnapshotIds, std::vector<std::string> {first.snapshot.id});
    const auto decoded = decodeSnapshotList(readText(dest / "history.json"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(ids(*decoded), (std::vector<std::string> {third.snapshot.id, second.snapshot.id}));
    EXPECT_TRUE(sameFile(data(second) / "same.md", data(third) / "same.md")) << "the rebuilt list still finds the base";

    // The next run reads the now whole file and leaves the kept damaged copy alone.
    const auto fourth = backup(now + 3min);
    EXPECT_EQ(readText(dest / "history.json.damaged"), torn);
    EXPECT_EQ(ids(service.loadHistory(dest)), (std::vector<std::string> {fourth.snapshot.id, third.snapshot.id}));
}

// Enough files for the linking to be shared between threads: each file still gets the decision made
// for it alone, and the record keeps the order and the sizes of a copied snapshot.
TEST_F(LinkTest, ManyFilesLinkedOnTwoThreadsKeepTheirOwnDecisionAndTheRecordOrder)
{
    constexpr int kFiles = 2400;
    const auto rel = [](int i) { return "d" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".md"; };
    for (int i = 0; i < kFiles; ++i) {
        writeText(src / rel(i), "file " + std::to_string(i));
        setTime(src / rel(i), 1700000000, 5);
    }
    const auto first = backup(now);
    ASSERT_EQ(first.snapshot.filesCount, kFiles);
    std::set<int> changed;
    for (int i = 3; i < kFiles; i += 97) { // spread over both halves
        writeText(src / rel(i), "changed " + std::to_string(i));
        setTime(src / rel(i), 1700000000, 5);
        changed.insert(i);
    }
    const auto second = backup(now + 1min);
    EXPECT_EQ(second.snapshot.relativeFilePaths, first.snapshot.relativeFilePaths);
    std::int64_t size = 0;
    for (int i = 0; i < kFiles; ++i) {
        size += static_cast<std::int64_t>(fs::file_size(src / rel(i)));
        EXPECT_EQ(sameFile(data(first) / rel(i), data(second) / rel(i)), !changed.contains(i)) << rel(i);
        EXPECT_EQ(readText(data(second) / rel(i)), readText(src / rel(i))) << rel(i);
    }
    EXPECT_EQ(second.snapshot.totalSizeBytes, size);
    EXPECT_EQ(readText(data(first) / "d0/f3.md"), "file 3"); // the earlier snapshot keeps its copy
}
