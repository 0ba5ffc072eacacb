// The store's promise: a published snapshot is never written again and never left half removed, and
// cleanup takes only what this program left behind. Runs are killed with SIGKILL at chosen points.
#include "Services/SnapshotStore.h"
#include "Models/BackupSnapshot.h"
#include "Platform/FileSystem.h"
#include "Services/BackupService.h"
#include "Services/RestoreService.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <map>
#include <sys/stat.h>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

namespace {

using Strings = std::vector<std::string>;
using Tree = std::map<std::string, std::uintmax_t>; // path below a folder -> size (folders: -1)

class SnapshotStoreTest : public StoreTest
{
protected:
    BackupService service()
    {
        return BackupService([this] { return now; }, 2s);
    }
    Result<BackupRun> backup() { return service().executeBackup(config, BackupTriggerType::manual, {}); }
    fs::path folderOf(const std::string &id) { return dest / "snapshots" / id; }

    static Tree tree(const fs::path &folder)
    {
        Tree found;
        for (const auto &entry : fs::recursive_directory_iterator(folder))
            found[entry.path().lexically_relative(folder).string()]
                = entry.is_directory() ? static_cast<std::uintmax_t>(-1) : entry.file_size();
        return found;
    }

    // True when `test` holds for something below snapshots/.
    bool anyBelowStore(const std::function<bool(const fs::directory_entry &)> &test)
    {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(dest / "snapshots", ec), end; !ec && it != end; it.increment(ec))
            if (test(*it))
                return true;
        return false;
    }

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
};

} // namespace

// A second run in a snapshot's own second, killed while it copies or while it writes its record, leaves
// that snapshot exactly as it was; the next run clears what the killed one left.
TEST_F(SnapshotStoreTest, ARunInATakenSecondNeverTouchesTheSnapshotThereEvenWhenKilled)
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

    const auto copyingLarge = [&] {
        return anyBelowStore([&](const fs::directory_entry &e) {
            std::error_code ec;
            return e.path().filename() == "large.md" && e.is_regular_file(ec) && fs::file_size(e.path(), ec) < kLarge
                && !ec;
        });
    };
    const auto writingRecord = [&] {
        return anyBelowStore([](const fs::directory_entry &e) {
            return e.path().filename().string().starts_with(".snapshot.json.velkaro-tmp-");
        });
    };
    for (const auto &due : {std::function<bool()>(copyingLarge), std::function<bool()>(writingRecord)}) {
        (void)killedDuring([&] { (void)backup(); }, due); // lands in nearly every round; either way
        EXPECT_EQ(tree(taken), before);
        EXPECT_EQ(BackupSnapshot::decode(readText(taken / "snapshot.json")), first->snapshot);
        EXPECT_EQ(readText(taken / "data/GEMINI.md"), "first");
        expectNoTornSnapshot();
    }

    waitForTheNextSecond();
    now += 10s;
    ASSERT_TRUE(backup());
    EXPECT_FALSE(anyBelowStore([](const fs::directory_entry &e) {
        const std::string name = e.path().filename().string();
        return SnapshotStore::isStagingName(name) || FileSystem::isTemporaryName(name);
    }));
    EXPECT_EQ(tree(taken), before);
    expectNoTornSnapshot();
}

// Only staging folders and temporary files of this program go; a listed folder that lost its
// snapshot.json, a flat snapshot in a folder of another name and a user's own folder all stay.
TEST_F(SnapshotStoreTest, CleanupRemovesOnlyWhatThisProgramLeftBehind)
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

    now += 1s;
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
    const auto restored
        = RestoreService(service()).executeRestore(first->snapshot, config, RestoreScopeOption::allFiles, {});
    ASSERT_TRUE(restored);
    EXPECT_EQ(*restored, (RestoreRun {1, 0}));
    EXPECT_EQ(readText(src / "GEMINI.md"), "g");
}

// Delete moves the folder aside, rewrites the history, then removes it: a kill anywhere in between never
// leaves a listed snapshot with part of its files, and a failed history write changes nothing.
TEST_F(SnapshotStoreTest, DeleteNeverTearsASnapshot)
{
    for (int i = 0; i < 3000; ++i)
        writeText(src / ("d" + std::to_string(i % 30)) / ("f" + std::to_string(i) + ".md"), "x");
    const auto first = backup();
    now += 1s;
    const auto second = backup();
    ASSERT_TRUE(first && second);

    const auto staged = [&] {
        for (const auto &entry : fs::directory_iterator(dest / "snapshots"))
            if (SnapshotStore::isStagingName(entry.path().filename().string()))
                return true;
        return false;
    };
    ASSERT_TRUE(killedDuring([&] { (void)service().deleteSnapshot(first->snapshot, dest); }, staged));
    expectNoTornSnapshot();
    EXPECT_EQ(tree(folderOf(second->snapshot.id) / "data").size(), 3030u);
    // Whatever the kill left, the next run finishes the job: the staged folder and the entry go.
    waitForTheNextSecond();
    now += 10s;
    ASSERT_TRUE(backup());
    EXPECT_FALSE(staged());
    EXPECT_FALSE(fs::exists(folderOf(first->snapshot.id)));
    EXPECT_EQ(ids(service().loadHistory(dest)), (Strings {"2025-03-04/snapshot_091511", second->snapshot.id}));

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
TEST_F(SnapshotStoreTest, DeleteRefusesWhatIsNoSnapshotFolder)
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
TEST_F(SnapshotStoreTest, AFileWhereTheDayFolderGoesFailsTheRun)
{
    writeText(src / "GEMINI.md", "g");
    writeText(dest / "snapshots/2025-03-04", "not a folder");
    const auto run = backup();
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error().description,
        "保存先ディレクトリ作成失敗: フォルダではありません: " + (dest / "snapshots/2025-03-04").string());
    EXPECT_EQ(tree(dest / "snapshots"), (Tree {{"2025-03-04", 12}}));
}
