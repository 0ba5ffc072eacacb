// Faults found by attacking the store from outside: runs faster than one a second, a clock or store
// from the future, a kill between moving a snapshot aside and rewriting the history, files that cannot
// be read, older flat snapshot folders and settings paths as users type them.
#include "Models/BackupSnapshot.h"
#include "Platform/FileSystem.h"
#include "Services/BackupService.h"
#include "Services/RestoreService.h"
#include "Services/SnapshotStore.h"
#include "Services/TemplateService.h"
#include "TestSupport.h"

#include <algorithm>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

namespace {

using Strings = std::vector<std::string>;

class StoreFaultTest : public StoreTest
{
protected:
    Result<BackupRun> backup()
    {
        message.clear();
        return service.executeBackup(config, BackupTriggerType::manual, [&](const BackupExecutionState &s) {
            if (const auto *failed = s.as<BackupExecutionState::Failed>())
                message = failed->message;
        });
    }
    std::vector<BackupSnapshot> history() { return service.loadHistory(dest); }
    fs::path folderOf(const std::string &id) { return dest / "snapshots" / id; }

    // Every listed snapshot has its folder, and the list is newest first by date.
    void expectListedFoldersAndDateOrder()
    {
        const auto listed = history();
        for (const auto &s : listed)
            EXPECT_TRUE(fs::exists(folderOf(s.id) / "snapshot.json")) << s.id << " is listed without its folder";
        EXPECT_TRUE(std::ranges::is_sorted(listed, std::greater {}, &BackupSnapshot::createdAt));
    }

    ScopedTimeZone tz {"UTC0"};
    TimePoint now = localTime(2025, 3, 4, 9, 15, 0);
    BackupService service {[this] { return now; }, 100ms};
    std::string message;
};

} // namespace

// Eight runs within one second with a limit of 3: every id is later than the one before (a second that
// retention freed is not taken again), and the three newest versions are the ones kept.
TEST_F(StoreFaultTest, IdsNeverGoBackwardsAndRetentionKeepsTheNewest)
{
    config.maxSnapshotsLimit = 3;
    Strings made;
    for (int version = 1; version <= 8; ++version) {
        writeText(src / "a.md", "v" + std::to_string(version));
        const auto run = backup();
        ASSERT_TRUE(run) << message;
        if (!made.empty()) {
            EXPECT_GT(run->snapshot.id, made.back());
        }
        made.push_back(run->snapshot.id);
    }
    EXPECT_EQ(ids(history()), (Strings {made[7], made[6], made[5]}));
    EXPECT_EQ(readText(folderOf(made[6]) / "data/a.md"), "v7");
    expectListedFoldersAndDateOrder();

    // A newest snapshot up to a minute ahead still orders the next id after it; one further ahead (a
    // clock that was wrong) does not pin ids to its future, and the list stays in date order.
    now += 10s;
    const auto soon = backup();
    ASSERT_TRUE(soon);
    EXPECT_EQ(soon->snapshot.createdAt, localTime(2025, 3, 4, 9, 15, 10));
    now = localTime(2025, 3, 4, 12, 0, 0);
    ASSERT_TRUE(backup());
    now = localTime(2025, 3, 4, 10, 0, 0);
    const auto afterWrongClock = backup();
    ASSERT_TRUE(afterWrongClock);
    EXPECT_EQ(afterWrongClock->snapshot.id, "2025-03-04/snapshot_100000");
    EXPECT_EQ(history().front().id, "2025-03-04/snapshot_120000");
    EXPECT_EQ(history()[1].id, afterWrongClock->snapshot.id) << "just made, and kept by its own retention";
    expectListedFoldersAndDateOrder();
    now += 30s;
    EXPECT_EQ(SnapshotStore::firstIdTime(now, history()), now) << "two hours ahead is over a minute";
}

// A kill between moving a pruned or deleted snapshot aside and rewriting history.json leaves it listed
// while its folder stands under a staging name. The next run, however soon, drops the entry first and
// only then the folder; when history.json cannot be rewritten the folder stays.
TEST_F(StoreFaultTest, AMovedAsideSnapshotLosesItsEntryBeforeItsFolder)
{
    config.maxSnapshotsLimit = 2;
    writeText(src / "a.md", "a");
    const auto first = backup();
    const auto second = backup();
    ASSERT_TRUE(first && second);
    const fs::path aside = dest / "snapshots" / ".velkaro-staging-killed";
    fs::rename(folderOf(first->snapshot.id), aside);
    EXPECT_EQ(history().size(), 2u) << "still listed, as the kill left it";

    fs::remove_all(dest / "history.json");
    fs::create_directories(dest / "history.json"); // cannot be read: its entries cannot be dropped
    EXPECT_FALSE(backup());
    EXPECT_NE(message.find("history.json を読み込めませんでした"), std::string::npos) << message;
    EXPECT_TRUE(fs::exists(aside / "snapshot.json")) << "removed while an entry may list it";
    EXPECT_FALSE(fs::exists(dest / "history.json.damaged")) << "an unreadable file is not damaged";

    fs::remove(dest / "history.json");
    writeText(dest / "history.json", encodeSnapshotList({second->snapshot, first->snapshot}));
    const auto third = backup();
    ASSERT_TRUE(third) << message;
    EXPECT_FALSE(fs::exists(aside));
    EXPECT_EQ(ids(history()), (Strings {third->snapshot.id, second->snapshot.id}));
    expectListedFoldersAndDateOrder();
}

// A history.json read whole that does not parse is kept aside under a name that never replaces an
// earlier damaged copy.
TEST_F(StoreFaultTest, DamagedCopiesNeverReplaceEachOther)
{
    writeText(src / "a.md", "a");
    fs::create_directories(dest);
    for (const std::string torn : {"[ {", "[ { \"id\""}) {
        writeText(dest / "history.json", torn);
        ASSERT_TRUE(backup()) << message;
    }
    EXPECT_EQ(readText(dest / "history.json.damaged"), "[ {");
    EXPECT_EQ(readText(dest / "history.json.damaged-2"), "[ { \"id\"");
    EXPECT_EQ(history().size(), 2u);
}

// A flat snapshot folder (an older store's) that the history lists is deleted and pruned like a dated
// one, and a restore takes its data when the dated folder has none.
TEST_F(StoreFaultTest, FlatSnapshotsAreDeletedPrunedAndRestoredFrom)
{
    const auto flat = [&](const std::string &name, const std::string &id, int minutesAgo) {
        const BackupSnapshot s {
            id, now - std::chrono::minutes(minutesAgo), BackupTriggerType::manual, 1, 3, {"a.md"}, std::nullopt};
        writeText(dest / "snapshots" / name / "data/a.md", name.substr(0, 3));
        writeText(dest / "snapshots" / name / "snapshot.json", s.encode());
        return s;
    };
    const auto legacy = flat("legacy", "legacy", 30);
    const auto old = flat("old", "old", 20);
    const auto dated = flat("snapshot_090000", "2025-03-04/snapshot_090000", 15);
    fs::create_directories(folderOf(dated.id)); // a dated folder without data/
    writeText(dest / "history.json", encodeSnapshotList({dated, old, legacy}));

    ASSERT_TRUE(service.deleteSnapshot(legacy, dest));
    EXPECT_FALSE(fs::exists(dest / "snapshots/legacy"));
    EXPECT_EQ(ids(history()), (Strings {dated.id, old.id}));

    writeText(src / "a.md", "now");
    const auto restored = RestoreService(service).executeRestore(dated, config, RestoreScopeOption::allFiles, {});
    ASSERT_TRUE(restored) << restored.error().description;
    EXPECT_EQ(readText(src / "a.md"), "sna");

    fs::remove_all(dest / "snapshots/2025-03-04/snapshot_090000");
    config.maxSnapshotsLimit = 2;
    now += 1min;
    ASSERT_TRUE(backup()) << message;
    EXPECT_FALSE(fs::exists(dest / "snapshots/old")) << "the oldest, flat or not, is pruned";
    EXPECT_EQ(history().size(), 2u);
}

// A path recorded twice is one file: restored and counted once.
TEST_F(StoreFaultTest, APathRecordedTwiceIsRestoredOnce)
{
    writeText(src / "a.md", "a");
    auto made = backup();
    ASSERT_TRUE(made);
    BackupSnapshot twice = made->snapshot;
    twice.relativeFilePaths = PathList(Strings {"a.md", "a.md"});
    writeText(src / "a.md", "edited");
    const auto restored = RestoreService(service).executeRestore(twice, config, RestoreScopeOption::allFiles, {});
    ASSERT_TRUE(restored);
    EXPECT_EQ(*restored, (RestoreRun {1, 0}));
    EXPECT_EQ(readText(src / "a.md"), "a");
}

// What stands where snapshots/ goes, and the settings paths as the user may have typed them.
TEST_F(StoreFaultTest, StoreAndSettingsPathsAreCheckedBeforeAnythingIsWritten)
{
    writeText(src / "a.md", "a");
    writeText(dest / "snapshots", "a file");
    EXPECT_FALSE(backup());
    EXPECT_NE(message.find("はフォルダではありません: " + (dest / "snapshots").string()), std::string::npos) << message;

    // "~" is expanded on reading; relative or empty paths are refused, naming the field, and nothing is
    // made in the working folder.
    const fs::path work = root / "work";
    fs::create_directories(work);
    const fs::path previous = fs::current_path();
    fs::current_path(work);
    const auto refused = [&](const std::string &destination, std::vector<std::string> sources) {
        config.destinationDirectory = destination;
        config.sourceDirectories = std::move(sources);
        EXPECT_TRUE(config.writeFile());
        config = BackupConfig::readFile().value_or(BackupConfig {});
        const auto run = backup();
        return run ? std::string("ran") : run.error().description;
    };
    EXPECT_EQ(refused("~/store2", {"~"}), "ran");
    EXPECT_EQ(config.destinationDirectory, (home / "store2").string());
    EXPECT_EQ(config.sourceDirectories, Strings {home.string()});
    EXPECT_NE(refused("store2", {src.string()}).find("「バックアップ保存先フォルダ」"), std::string::npos);
    EXPECT_NE(refused("", {src.string()}).find("「バックアップ保存先フォルダ」が空"), std::string::npos);
    EXPECT_NE(refused(dest.string(), {src.string(), "~x/y"}).find("「対象フォルダ 2」"), std::string::npos);
    EXPECT_NE(refused(dest.string(), {""}).find("「対象フォルダ 1」"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(work));
    fs::current_path(previous);

    // Both settings files are the user's alone, whatever the umask.
    const mode_t mask = ::umask(022);
    ASSERT_TRUE(TemplateService {}.saveTemplates({}));
    ::umask(mask);
    const auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    EXPECT_EQ(fs::status(BackupConfig::defaultConfigFilePath()).permissions(), ownerOnly);
    EXPECT_EQ(fs::status(TemplateService::defaultLibraryFilePath()).permissions(), ownerOnly);
}

// A library that cannot be read is shown as the presets, but never replaced by them.
TEST_F(StoreFaultTest, AnUnreadableTemplateLibraryIsNeverReplaced)
{
    const fs::path library = TemplateService::defaultLibraryFilePath();
    const TemplateService templates {library};
    fs::create_directories(library); // exists, and every read of it fails
    EXPECT_FALSE(templates.readTemplates());
    auto shown = templates.loadTemplates();
    EXPECT_EQ(shown.size(), 4u);
    shown.push_back(templates.makeNewTemplate());
    const auto saved = templates.saveTemplates(shown);
    ASSERT_FALSE(saved);
    EXPECT_NE(saved.error().description.find("templates.json"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(library));
    EXPECT_FALSE(fs::exists(library.string() + ".damaged"));

    // Once it reads again, saving works again.
    fs::remove(library);
    writeText(library, encodeTemplateList({}));
    EXPECT_TRUE(templates.loadTemplates().empty());
    EXPECT_TRUE(templates.saveTemplates(shown));
}

// A failed write says which file it could not write, and a folder that retention moved aside and could
// not put back is kept under a name that no later cleanup removes.
TEST_F(StoreFaultTest, FailedWritesNameTheirFileAndKeepWhatTheyMovedAside)
{
    const SnapshotStore store(dest);
    auto staging = store.stage();
    ASSERT_TRUE(staging);
    fs::create_directories(*staging / "snapshot.json" / "taken");
    BackupSnapshot unpublished;
    unpublished.createdAt = now;
    const auto published = store.publish(*staging, unpublished, {});
    ASSERT_FALSE(published);
    EXPECT_TRUE(published.error().description.starts_with("snapshot.json を書き込めませんでした: "))
        << published.error().description;
    SnapshotStore::discard(*staging);

    writeText(src / "a.md", "a");
    ASSERT_TRUE(backup() && backup());
    auto listed = store.readListing();
    auto picked = store.pickOld(listed, 1, {});
    ASSERT_EQ(picked.size(), 1u);
    store.setAside(picked);
    fs::create_directories(picked[0].folder); // its place was taken meanwhile
    const auto back = store.putBack(picked);
    ASSERT_FALSE(back);
    EXPECT_NE(back.error().description.find("元に戻せませんでした"), std::string::npos) << back.error().description;
    (void)store.removeLeftovers(std::numeric_limits<std::int64_t>::max());
    int kept = 0;
    for (const auto &entry : fs::directory_iterator(dest / "snapshots")) {
        const bool isKept = entry.path().filename().string().starts_with(SnapshotStore::kKeptMark);
        kept += isKept && fs::exists(entry.path() / "data/a.md") ? 1 : 0;
    }
    EXPECT_EQ(kept, 1) << "the moved folder survives the next cleanup, data and all";
}
