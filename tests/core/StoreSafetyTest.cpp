// The store and the user's source folder under the conditions that break naive file code: a full disk,
// runs killed with SIGKILL at chosen points, symbolic links on the way of a write, unreadable folders.
#include "Models/BackupSnapshot.h"
#include "Platform/FileSystem.h"
#include "Platform/Formatters.h"
#include "Services/BackupService.h"
#include "Services/RestoreService.h"
#include "Services/SnapshotStore.h"
#include "Services/TemplateService.h"
#include "TestSupport.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

namespace {

const std::string kNoSpace = "保存先の空き容量が足りないため、スナップショットを保存できませんでした: ";

class StoreSafetyTest : public StoreTest
{
protected:
    void TearDown() override
    {
        if (mounted)
            ::umount2(dest.c_str(), MNT_DETACH);
        StoreTest::TearDown();
    }

    // Mounts a tmpfs of `kib` KiB at dest; false where this process may not mount one.
    bool mountSmallDestination(int kib)
    {
        fs::create_directories(dest);
        const std::string options = "size=" + std::to_string(kib) + "k,mode=0700";
        mounted = ::mount("tmpfs", dest.c_str(), "tmpfs", 0, options.c_str()) == 0;
        return mounted;
    }

    // Fills dest's file system until exactly `blocks` blocks are left.
    void leaveFreeBlocks(unsigned long blocks)
    {
        fs::remove(dest / "filler");
        struct statvfs vfs
        {
        };
        ASSERT_EQ(::statvfs(dest.c_str(), &vfs), 0);
        ASSERT_GE(vfs.f_bavail, blocks);
        writeText(dest / "filler", std::string((vfs.f_bavail - blocks) * vfs.f_bsize, 'f'));
        ASSERT_EQ(::statvfs(dest.c_str(), &vfs), 0);
        ASSERT_EQ(vfs.f_bavail, blocks);
    }

    BackupService service()
    {
        return BackupService([this] { return now; }, 2s);
    }

    Result<BackupRun> backup()
    {
        states.clear();
        auto run = service().executeBackup(
            config, BackupTriggerType::manual, [&](const BackupExecutionState &s) { states.push_back(s); });
        now += 1s;
        return run;
    }

    Result<RestoreRun> restore(const BackupSnapshot &s)
    {
        auto result = RestoreService(service()).executeRestore(s, config, RestoreScopeOption::allFiles, {});
        now += 1s;
        return result;
    }

    // The staging folders in snapshots/ (what a run killed before publishing leaves).
    std::vector<fs::path> stagingFolders()
    {
        std::vector<fs::path> found;
        for (const auto &entry : fs::directory_iterator(dest / "snapshots"))
            if (SnapshotStore::isStagingName(entry.path().filename().string()))
                found.push_back(entry.path());
        return found;
    }

    int snapshotFolderCount()
    {
        int count = 0;
        for (const auto &day : fs::directory_iterator(dest / "snapshots"))
            count += static_cast<int>(std::distance(fs::directory_iterator(day), fs::directory_iterator()));
        return count;
    }

    ScopedTimeZone tz {"UTC0"};
    TimePoint now = localTime(2025, 3, 4, 9, 15, 0);
    std::vector<BackupExecutionState> states;
    bool mounted = false;
};

std::vector<std::string> temporariesBelow(const fs::path &folder)
{
    std::vector<std::string> found;
    for (const auto &entry : fs::recursive_directory_iterator(folder))
        if (FileSystem::isTemporaryName(entry.path().filename().string()))
            found.push_back(entry.path().string());
    return found;
}

} // namespace

TEST_F(StoreSafetyTest, AFullDestinationFailsTheRunAtEveryWriteAndLeavesTheStoreAsItWas)
{
    if (!mountSmallDestination(1024))
        GTEST_SKIP() << "mounting a small tmpfs as the destination needs root; skipped";
    writeText(src / "GEMINI.md", "first");
    const auto first = backup();
    ASSERT_TRUE(first);
    const std::string history = readText(dest / "history.json");

    // No room for the copy, for snapshot.json, for history.json: each fails the run.
    writeText(src / "GEMINI.md", "second");
    for (unsigned long blocks : {0UL, 1UL, 2UL}) {
        leaveFreeBlocks(blocks);
        const auto run = backup();
        ASSERT_FALSE(run) << blocks << " free blocks";
        EXPECT_TRUE(run.error().description.starts_with(kNoSpace)) << run.error().description;
        EXPECT_EQ(states.back(), BackupExecutionState::failed(run.error().description));
        EXPECT_EQ(readText(dest / "history.json"), history);
        EXPECT_EQ(snapshotFolderCount(), 1) << "the failed run removed its own folder";
    }

    // A failing run in the same second as the first never touches the first snapshot.
    now = first->snapshot.createdAt;
    leaveFreeBlocks(0);
    EXPECT_FALSE(backup());
    EXPECT_TRUE(fs::exists(dest / "snapshots" / first->snapshot.id / "snapshot.json"));

    // A restore whose safety snapshot cannot be stored touches nothing.
    writeText(src / "GEMINI.md", "edited");
    leaveFreeBlocks(0);
    const auto restored = restore(first->snapshot);
    ASSERT_FALSE(restored);
    EXPECT_EQ(restored.error().code, 500);
    EXPECT_EQ(readText(src / "GEMINI.md"), "edited");

    fs::remove(dest / "filler");
    EXPECT_TRUE(backup()) << "with room again, runs succeed";
    EXPECT_EQ(snapshotFolderCount(), 2);
}

TEST_F(StoreSafetyTest, ARestoreWaitsForASafetySnapshotOfEveryFile)
{
    writeText(src / "GEMINI.md", "old");
    const auto taken = backup();
    ASSERT_TRUE(taken);
    writeText(src / "GEMINI.md", "edited");
    // A second source whose x.md/ cannot sit beside the first source's x.md: one file is not copied.
    writeText(src / "x.md", "file");
    writeText(root / "second/x.md/inner.md", "folder");
    config.sourceDirectories.push_back((root / "second").string());

    const auto restored = restore(taken->snapshot);
    ASSERT_FALSE(restored);
    EXPECT_EQ(restored.error().code, 500);
    EXPECT_TRUE(restored.error().description.ends_with("1 件のファイルをコピーできませんでした"))
        << restored.error().description;
    EXPECT_EQ(readText(src / "GEMINI.md"), "edited");
}

TEST_F(StoreSafetyTest, WritesNeverPassThroughALinkedFolder)
{
    const fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    writeText(src / "GEMINI.md", "g");
    writeText(src / "sub/notes.md", "n");
    const auto taken = backup();
    ASSERT_TRUE(taken);

    // A restore skips the file below a sub-folder that became a link, and restores the rest.
    fs::remove_all(src / "sub");
    fs::create_directory_symlink(elsewhere, src / "sub");
    writeText(src / "GEMINI.md", "edited");
    const auto restored = restore(taken->snapshot);
    ASSERT_TRUE(restored);
    EXPECT_EQ(*restored, (RestoreRun {1, 1}));
    EXPECT_EQ(readText(src / "GEMINI.md"), "g");
    EXPECT_TRUE(fs::is_empty(elsewhere));

    // A template's target below a linked folder is refused.
    fs::create_directory_symlink(elsewhere, src / "rules");
    PromptTemplate tmpl = presetTemplates().front();
    tmpl.targetFileName = "rules/x.md";
    const auto applied = TemplateService(root / "library.json").applyTemplate(tmpl, src);
    ASSERT_FALSE(applied);
    EXPECT_TRUE(fs::is_empty(elsewhere));

    // Snapshots go nowhere through a linked day folder or a linked snapshots/ folder.
    now = localTime(2025, 3, 5, 9, 0, 0);
    fs::create_directory_symlink(elsewhere, dest / "snapshots/2025-03-05");
    auto run = backup();
    ASSERT_FALSE(run);
    ASSERT_TRUE(states.back().is<BackupExecutionState::Failed>());
    EXPECT_TRUE(states.back().as<BackupExecutionState::Failed>()->message.starts_with("保存先ディレクトリ作成失敗: "));
    fs::rename(dest / "snapshots", root / "real-snapshots");
    fs::create_directory_symlink(elsewhere, dest / "snapshots");
    EXPECT_FALSE(backup());
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(StoreSafetyTest, AnUnreadableFolderIsCountedWithTheSkippedFiles)
{
    writeText(src / "GEMINI.md", "g");
    writeText(src / "locked/inner.md", "hidden from the run");
    fs::permissions(src / "locked", fs::perms::none);
    // Root reads every folder: the run then goes as an ordinary user, over a tree that user owns.
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        fs::permissions(root.parent_path(), fs::perms::others_exec, fs::perm_options::add);
        for (const auto &entry : fs::recursive_directory_iterator(root))
            ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0);
        ASSERT_EQ(::lchown(root.c_str(), 65534, 65534), 0);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (asRoot && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        const auto run = service().executeBackup(config, BackupTriggerType::manual, {});
        if (!run)
            ::_exit(4);
        const bool told = run->skippedFolderCount == 1 && run->skippedFileCount == 0
            && run->successMessage().find("、1 件はコピーできませんでした") != std::string::npos
            && run->snapshot.relativeFilePaths == std::vector<std::string> {"GEMINI.md"};
        ::_exit(told ? 0 : 5);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no user to switch to, 4: run failed, 5: folder not counted";
}

TEST_F(StoreSafetyTest, WhatAKilledRunLeavesIsMendedOrRemovedByTheNextRun)
{
    config.maxSnapshotsLimit = 0;
    for (int i = 0; i < 5; ++i)
        writeText(src / ("f" + std::to_string(i) + ".md"), std::string(1000, 'a' + i));
    // A long history widens the moment between snapshot.json and history.json.
    std::vector<BackupSnapshot> older;
    for (int i = 0; i < 5000; ++i)
        older.push_back(BackupSnapshot {"2020-01-01/snapshot_" + std::to_string(100000 + i),
            TimePoint {std::chrono::seconds(1577836800 + i)}, BackupTriggerType::scheduled, 1, 10, {"GEMINI.md"},
            std::nullopt});
    fs::create_directories(dest);
    writeText(dest / "history.json", encodeSnapshotList(older));

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
    const auto staged = stagingFolders();
    ASSERT_EQ(staged.size(), 1u);
    ASSERT_TRUE(fs::exists(staged.front() / "data/f1.md"));
    EXPECT_FALSE(fs::exists(dest / "snapshots/2025-03-04"));
    EXPECT_EQ(service().loadHistory(dest).size(), older.size());

    // Killed between the two writes: the complete snapshot comes back into the history, newest first.
    // The kill lands there in nearly every round; a round where history.json was written first is retried.
    std::string recovered;
    for (int round = 0; round < 10 && recovered.empty(); ++round) {
        now += 1s;
        const std::string id = "2025-03-04/snapshot_" + formatDate(now, "HHmmss");
        ASSERT_TRUE(killedDuring([&] { (void)service().executeBackup(config, BackupTriggerType::manual, {}); },
            [&] { return fs::exists(dest / "snapshots" / id / "snapshot.json"); }));
        const auto listed = ids(*decodeSnapshotList(readText(dest / "history.json")));
        if (std::ranges::find(listed, id) == listed.end())
            recovered = id;
    }
    ASSERT_FALSE(recovered.empty()) << "no kill came between snapshot.json and history.json";
    EXPECT_EQ(service().loadHistory(dest).front().id, recovered);

    // Killed while a restore copies a large file into the source: the old file stays whole.
    now += 1s;
    writeText(src / "large.md", std::string(16 << 20, 'L'));
    const auto withLarge = backup();
    ASSERT_TRUE(withLarge);
    writeText(src / "large.md", "edited");
    const auto restoring = [&] {
        for (const auto &entry : fs::directory_iterator(src))
            if (entry.path().filename().string().starts_with(
                    ".large.md" + std::string(FileSystem::kRestoreTemporaryMark)))
                return true;
        return false;
    };
    ASSERT_TRUE(killedDuring([&] { (void)restore(withLarge->snapshot); }, restoring));
    ASSERT_FALSE(temporariesBelow(src).empty());
    EXPECT_EQ(readText(src / "large.md"), "edited");

    // The next run under the lock removes the unfinished folder and every stale temporary file, and
    // records the recovered snapshot for good.
    waitForTheNextSecond();
    now += 10s;
    const auto next = backup();
    ASSERT_TRUE(next);
    EXPECT_EQ(stagingFolders(), std::vector<fs::path> {});
    EXPECT_EQ(temporariesBelow(src), std::vector<std::string> {});
    EXPECT_EQ(temporariesBelow(dest), std::vector<std::string> {});
    const auto recorded = ids(*decodeSnapshotList(readText(dest / "history.json")));
    EXPECT_EQ(recorded.front(), next->snapshot.id);
    EXPECT_NE(std::ranges::find(recorded, recovered), recorded.end());
    EXPECT_NE(std::ranges::find(recorded, withLarge->snapshot.id), recorded.end());
}
