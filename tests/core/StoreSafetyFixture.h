#pragma once

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
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace velkaro::test {

using Strings = std::vector<std::string>;
using Tree = std::map<std::string, std::uintmax_t>; // path below a folder -> size (folders: -1)
using EntryTest = std::function<bool(const fs::directory_entry &)>;

inline bool isStaging(const fs::directory_entry &e)
{
    return SnapshotStore::isStagingName(e.path().filename().string());
}
inline bool isTemporary(const fs::directory_entry &e)
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
        return BackupService(Clock([this] { return now; }, fileClock), std::chrono::seconds(2));
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
        now += std::chrono::seconds(1);
        return run;
    }

    Result<RestoreRun> restore(const BackupSnapshot &s)
    {
        auto result = RestoreService(service()).executeRestore(s, config, RestoreScopeOption::allFiles, {});
        now += std::chrono::seconds(1);
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

    // A history.json of `count` older snapshots: a long history widens the moment between snapshot.json
    // and history.json. The number of entries written.
    std::size_t writeLongHistory(int count)
    {
        std::vector<BackupSnapshot> older;
        for (int i = 0; i < count; ++i)
            older.push_back(BackupSnapshot {"2020-01-01/snapshot_" + std::to_string(100000 + i),
                TimePoint {std::chrono::seconds(1577836800 + i)}, BackupTriggerType::scheduled, 1, 10, {"GEMINI.md"},
                std::nullopt});
        fs::create_directories(dest);
        writeText(dest / "history.json", encodeSnapshotList(older));
        return older.size();
    }

    // Kills runs, one a second, until one dies between its snapshot.json and history.json: `recovered` is
    // then that snapshot's id. The kill lands there in nearly every round; a round where history.json was
    // written first is retried.
    void killBetweenRecordAndHistory(std::string &recovered)
    {
        for (int round = 0; round < 10 && recovered.empty(); ++round) {
            now += std::chrono::seconds(1);
            const std::string id = "2025-03-04/snapshot_" + formatDate(now, "HHmmss");
            ASSERT_TRUE(killedDuring([&] { (void)service().executeBackup(config, BackupTriggerType::manual, {}); },
                [&] { return fs::exists(dest / "snapshots" / id / "snapshot.json"); }));
            const auto listed = ids(*decodeSnapshotList(readText(dest / "history.json")));
            if (std::ranges::find(listed, id) == listed.end())
                recovered = id;
        }
    }

    // Kills restores of `snapshot` while they copy `name` into the source, which is set to `edited` before
    // each round. On a busy machine the copy can end before the watcher thread runs: such a round is
    // retried. True once a restore was killed while it copied.
    bool killRestoreWhileCopying(const BackupSnapshot &snapshot, const std::string &name, const std::string &edited)
    {
        const std::string copying = "." + name + std::string(FileSystem::kRestoreTemporaryMark);
        const auto restoring = [&] {
            return !found(
                src, [&](auto &e) { return e.path().filename().string().starts_with(copying); }, false)
                        .empty();
        };
        for (int round = 0; round < 10; ++round) {
            writeText(src / name, edited);
            if (killedDuring([&] { (void)restore(snapshot); }, restoring))
                return true;
        }
        return false;
    }

    ScopedTimeZone tz {"UTC0"};
    TimePoint now = localTime(2025, 3, 4, 9, 15, 0);
    std::optional<StampTime> fileNow; // the system's file clock while unset
    std::vector<BackupExecutionState> states;
    fs::path mountPoint;
};

} // namespace velkaro::test
