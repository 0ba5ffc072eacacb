// The store and the user's source folder under the conditions that break naive file code: a full disk,
// runs killed with SIGKILL at chosen points, symbolic links on the way of a write, unreadable folders.
// The store's promise under them: a published snapshot is never written again and never left half
// removed, cleanup takes only what this program left behind, and files that snapshots share through
// hard links are never written in place.
#include "Models/BackupSnapshot.h"
#include "Platform/FileSystem.h"
#include "Platform/Formatters.h"
#include "Services/BackupService.h"
#include "Services/FileStatRecord.h"
#include "Services/RestoreService.h"
#include "Services/SnapshotCompare.h"
#include "Services/SnapshotStore.h"
#include "Services/TemplateService.h"
#include "TestSupport.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

namespace {

using Strings = std::vector<std::string>;
using Tree = std::map<std::string, std::uintmax_t>; // path below a folder -> size (folders: -1)
using EntryTest = std::function<bool(const fs::directory_entry &)>;

const std::string kNoSpace = "保存先の空き容量が足りないため、スナップショットを保存できませんでした: ";
const std::string kRestoreAborted = "セーフティバックアップを作成できなかったため、復元を中止しました: ";

bool isStaging(const fs::directory_entry &e)
{
    return SnapshotStore::isStagingName(e.path().filename().string());
}
bool isTemporary(const fs::directory_entry &e)
{
    return FileSystem::isTemporaryName(e.path().filename().string());
}

class StoreSafetyTest : public StoreTest
{
protected:
    void TearDown() override
    {
        if (!mountPoint.empty())
            ::umount2(mountPoint.c_str(), MNT_DETACH);
        StoreTest::TearDown();
    }

    // Mounts a tmpfs at `at` until the test ends; false where this process may not mount one.
    bool mountTmpfs(const fs::path &at, const std::string &options)
    {
        fs::create_directories(at);
        if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0)
            return false;
        mountPoint = at;
        return true;
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
        const auto fileClock = [this] { return fileNow ? *fileNow : Clock().fileNow(); };
        return BackupService(Clock([this] { return now; }, fileClock), 2s);
    }

    // The next runs start in the next second of the file clock, so whatever is on disk now is older than
    // their start: all a killed run left is then theirs to remove.
    void startInTheNextSecond() { fileNow = StampTime {Clock().fileNow().seconds + 1, 0}; }

    // Each run and restore moves the clock on by a second; a test that wants a taken second sets `now`.
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

    fs::path folderOf(const std::string &id) { return dest / "snapshots" / id; }

    // A run at `at` that must succeed (the clock stays there).
    BackupRun runAt(TimePoint at)
    {
        now = at;
        auto run = service().executeBackup(config, BackupTriggerType::manual, {});
        EXPECT_TRUE(run) << (run ? "" : run.error().description);
        return run ? *run : BackupRun {};
    }
    fs::path data(const BackupRun &run) { return folderOf(run.snapshot.id) / "data"; }
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

    static Tree tree(const fs::path &folder)
    {
        Tree found;
        for (const auto &entry : fs::recursive_directory_iterator(folder))
            found[entry.path().lexically_relative(folder).string()]
                = entry.is_directory() ? static_cast<std::uintmax_t>(-1) : entry.file_size();
        return found;
    }

    // What lies below `folder` (only directly in it, unless `deep`) and passes `test`; entries that
    // vanish during the walk are passed over.
    static std::vector<fs::path> found(const fs::path &folder, const EntryTest &test, bool deep = true)
    {
        std::vector<fs::path> out;
        std::error_code ec;
        for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            if (test(*it))
                out.push_back(it->path());
            if (!deep)
                it.disable_recursion_pending();
        }
        return out;
    }
    bool anyBelowStore(const EntryTest &test) { return !found(dest / "snapshots", test).empty(); }

    // Every listed snapshot whose folder stands holds all of its recorded files, at the recorded total.
    void expectNoTornSnapshot()
    {
        const SnapshotStore store(dest);
        for (const auto &snapshot : store.readHistory().snapshots) {
            const auto folder = store.snapshotFolder(snapshot.id);
            if (!folder || !fs::exists(*folder))
                continue;
            std::int64_t bytes = 0;
            for (const auto &path : snapshot.relativeFilePaths) {
                const auto file = store.storedFile(snapshot.id, path);
                ASSERT_TRUE(file) << snapshot.id << " lacks " << path;
                bytes += static_cast<std::int64_t>(fs::file_size(*file));
            }
            EXPECT_EQ(bytes, snapshot.totalSizeBytes) << snapshot.id;
        }
    }

    static void ageTree(const fs::path &folder)
    {
        const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        for (const auto &entry : fs::recursive_directory_iterator(folder))
            ::utimensat(AT_FDCWD, entry.path().c_str(), old, AT_SYMLINK_NOFOLLOW);
        ::utimensat(AT_FDCWD, folder.c_str(), old, AT_SYMLINK_NOFOLLOW);
    }

    ScopedTimeZone tz {"UTC0"};
    TimePoint now = localTime(2025, 3, 4, 9, 15, 0);
    std::optional<StampTime> fileNow; // the system's file clock while unset
    std::vector<BackupExecutionState> states;
    fs::path mountPoint;
};

} // namespace

TEST_F(StoreSafetyTest, AFullDestinationFailsTheRunAtEveryWriteAndLeavesTheStoreAsItWas)
{
    if (!mountTmpfs(dest, "size=1024k,mode=0700"))
        GTEST_SKIP() << "mounting a small tmpfs as the destination needs root; skipped";
    writeText(src / "GEMINI.md", "first");
    const auto first = backup();
    ASSERT_TRUE(first);
    const std::string history = readText(dest / "history.json");
    const Tree stored = tree(dest / "snapshots");

    // No room for the copy, for snapshot.json, for history.json: each fails the run, which removes its own
    // folder.
    writeText(src / "GEMINI.md", "second");
    for (unsigned long blocks : {0UL, 1UL, 2UL}) {
        leaveFreeBlocks(blocks);
        const auto run = backup();
        ASSERT_FALSE(run) << blocks << " free blocks";
        EXPECT_TRUE(run.error().description.starts_with(kNoSpace)) << run.error().description;
        EXPECT_EQ(states.back(), BackupExecutionState::failed(run.error().description));
        EXPECT_EQ(readText(dest / "history.json"), history);
        EXPECT_EQ(tree(dest / "snapshots"), stored);
    }

    // A failing run in the same second as the first never touches the first snapshot.
    now = first->snapshot.createdAt;
    leaveFreeBlocks(0);
    EXPECT_FALSE(backup());
    EXPECT_EQ(tree(dest / "snapshots"), stored);

    // A restore whose safety snapshot cannot be stored touches nothing.
    writeText(src / "GEMINI.md", "edited");
    leaveFreeBlocks(0);
    const auto restored = restore(first->snapshot);
    ASSERT_FALSE(restored);
    EXPECT_EQ(restored.error().code, 500);
    EXPECT_EQ(readText(src / "GEMINI.md"), "edited");

    fs::remove(dest / "filler");
    const auto again = backup();
    ASSERT_TRUE(again) << "with room again, runs succeed";
    EXPECT_TRUE(fs::exists(folderOf(again->snapshot.id) / "snapshot.json"));
}

// A restore goes ahead only once a safety snapshot holds every file: a file that cannot be copied, or a
// linked snapshots/ folder, stops it before the source is touched.
TEST_F(StoreSafetyTest, NoRestoreWithoutASafetySnapshotOfEveryFile)
{
    writeText(src / "GEMINI.md", "old");
    const auto taken = backup();
    ASSERT_TRUE(taken);
    writeText(src / "GEMINI.md", "edited");
    // A second source whose x.md/ cannot sit beside the first source's x.md: one file is not copied.
    writeText(src / "x.md", "file");
    writeText(root / "second/x.md/inner.md", "folder");
    config.sourceDirectories.push_back((root / "second").string());
    auto restored = restore(taken->snapshot);
    EXPECT_EQ(restored,
        std::unexpected(Error {"RestoreService", 500, kRestoreAborted + "1 件のファイルをコピーできませんでした"}));
    EXPECT_EQ(readText(src / "GEMINI.md"), "edited");

    config.sourceDirectories.pop_back();
    fs::rename(dest / "snapshots", root / "moved");
    fs::create_directory_symlink(root / "moved", dest / "snapshots");
    restored = restore(taken->snapshot);
    ASSERT_FALSE(restored);
    EXPECT_EQ(restored.error().code, 500);
    EXPECT_TRUE(restored.error().description.starts_with(kRestoreAborted)) << restored.error().description;
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
    ASSERT_EQ(restored->failures.size(), 1U);
    EXPECT_EQ(restored->failures.front().path, "sub/notes.md");
    EXPECT_EQ(readText(src / "GEMINI.md"), "g");
    EXPECT_TRUE(fs::is_empty(elsewhere));

    // A template's target below a linked folder is refused.
    fs::create_directory_symlink(elsewhere, src / "rules");
    PromptTemplate tmpl = presetTemplates({}).front();
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

// An unreadable folder is no file that could not be copied: it has a count and a name of its own, and
// the run is incomplete (it says so and prunes nothing).
TEST_F(StoreSafetyTest, AnUnreadableFolderIsReportedApartFromTheSkippedFiles)
{
    writeText(src / "GEMINI.md", "g");
    writeText(src / "locked/inner.md", "hidden from the run");
    writeText(src / "secret.md", "unreadable");
    fs::permissions(src / "locked", fs::perms::none);
    fs::permissions(src / "secret.md", fs::perms::none);
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
        const bool told = run->skippedFolderCount == 1 && run->skippedFileCount == 1 && !run->isComplete()
            && run->successMessage()
                == "バックアップ完了 (1 件 • 1 バイト、1 件はコピーできませんでした、1 "
                   "件のフォルダを読み込めませんでした: "
                    + (src / "locked").string() + ")"
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
    const auto staged = found(dest / "snapshots", isStaging, false);
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
    const std::string copying = ".large.md" + std::string(FileSystem::kRestoreTemporaryMark);
    const auto restoring = [&] {
        return !found(
            src, [&](auto &e) { return e.path().filename().string().starts_with(copying); }, false)
                    .empty();
    };
    // On a busy machine the copy can end before the watcher thread runs: such a round is retried.
    bool killedWhileCopying = false;
    for (int round = 0; round < 10 && !killedWhileCopying; ++round) {
        writeText(src / "large.md", "edited");
        killedWhileCopying = killedDuring([&] { (void)restore(withLarge->snapshot); }, restoring);
    }
    ASSERT_TRUE(killedWhileCopying) << "no kill came while the restore copied";
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

// Delete takes a snapshot folder only: never a whole day, never a folder reached through a link, and a
// flat folder only when its own record names the id.
TEST_F(StoreSafetyTest, DeleteRefusesWhatIsNoSnapshotFolder)
{
    writeText(src / "GEMINI.md", "g");
    const auto first = backup();
    ASSERT_TRUE(first);
    const SnapshotStore store(dest);
    EXPECT_FALSE(store.remove("2025-03-04"));
    EXPECT_FALSE(store.remove("2025-03-04/snapshot_091500/data"));
    EXPECT_FALSE(store.remove("../dest/snapshots/2025-03-04/snapshot_091500"));
    writeText(dest / "snapshots/snapshot_flat/snapshot.json", first->snapshot.encode()); // records another id
    EXPECT_FALSE(store.remove("other/snapshot_flat"));
    EXPECT_TRUE(fs::exists(dest / "snapshots/snapshot_flat"));
    EXPECT_TRUE(fs::exists(folderOf(first->snapshot.id) / "data/GEMINI.md"));

    // A day folder that is a link.
    const fs::path elsewhere = root / "elsewhere";
    fs::rename(dest / "snapshots/2025-03-04", elsewhere);
    fs::create_directory_symlink(elsewhere, dest / "snapshots/2025-03-04");
    EXPECT_FALSE(store.remove(first->snapshot.id));
    EXPECT_TRUE(fs::exists(elsewhere / "snapshot_091500/data/GEMINI.md"));
    EXPECT_EQ(ids(service().loadHistory(dest)), Strings {first->snapshot.id});
}

// A file where the day folder goes fails the run at once, naming it, and leaves no staging folder.
TEST_F(StoreSafetyTest, AFileWhereTheDayFolderGoesFailsTheRun)
{
    writeText(src / "GEMINI.md", "g");
    writeText(dest / "snapshots/2025-03-04", "not a folder");
    const auto run = backup();
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error().description,
        "保存先ディレクトリ作成失敗: フォルダではありません: " + (dest / "snapshots/2025-03-04").string());
    EXPECT_EQ(tree(dest / "snapshots"), (Tree {{"2025-03-04", 12}}));
}

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
