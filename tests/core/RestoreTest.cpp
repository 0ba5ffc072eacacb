#include "Platform/FileSystem.h"
#include "Services/RestoreService.h"
#include "TestSupport.h"

#include <sys/stat.h>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

namespace {

const char *const kNames[] = {"GEMINI.md", "sub/notes.md", "settings.json", "UPPER.MD"};

class RestoreTest : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        for (const char *name : kNames)
            writeText(src / name, std::string("old ") + name);
        snapshot = backup();
    }

    // A snapshot of the source folder as it is now, one second after the previous one.
    BackupSnapshot backup()
    {
        auto run = BackupService([this] { return now; }).executeBackup(config, BackupTriggerType::manual, {});
        now += 1s;
        return run->snapshot;
    }

    Result<RestoreRun> restore(const BackupSnapshot &s, RestoreScopeOption scope = RestoreScopeOption::allFiles)
    {
        texts.clear();
        auto result = RestoreService(BackupService([this] { return now; }, 100ms))
                          .executeRestore(s, config, scope, [&](const std::string &text) { texts.push_back(text); });
        now += 1s; // the next safety snapshot gets a folder of its own
        return result;
    }

    void changeEverything()
    {
        for (const char *name : kNames)
            writeText(src / name, "new");
    }

    ScopedTimeZone tz {"UTC0"};
    TimePoint now = localTime(2025, 3, 4, 9, 15, 0);
    BackupSnapshot snapshot;
    std::vector<std::string> texts;
};

using Strings = std::vector<std::string>;
const std::string kSafetyText = "復元前のセーフティバックアップを作成中...";

} // namespace

// Each restore takes a safety snapshot first, whose retention never prunes the snapshot being restored.
TEST_F(RestoreTest, ScopesSelectByExactMarkdownSuffixAndTheRestoredSnapshotIsNeverPruned)
{
    config.maxSnapshotsLimit = 2;
    changeEverything();
    EXPECT_EQ(restore(snapshot, RestoreScopeOption::markdownOnly), (RestoreRun {2, 0}));
    EXPECT_EQ(texts, (Strings {kSafetyText, "復元中: GEMINI.md", "復元中: sub/notes.md", "復元完了 (2 件)"}));
    EXPECT_EQ(readText(src / "sub/notes.md"), "old sub/notes.md");
    EXPECT_EQ(readText(src / "settings.json"), "new");

    changeEverything(); // the store now holds the limit, `snapshot` the oldest
    EXPECT_EQ(restore(snapshot, RestoreScopeOption::configOnly), (RestoreRun {2, 0}));
    EXPECT_EQ(readText(src / "UPPER.MD"), "old UPPER.MD");
    EXPECT_EQ(readText(src / "settings.json"), "old settings.json");
    EXPECT_EQ(readText(src / "GEMINI.md"), "new");

    // The first safety snapshot holds the very files of the second: it goes, the restored one stays.
    const auto history = BackupService().loadHistory(dest);
    EXPECT_EQ(ids(history), (Strings {"2025-03-04/snapshot_091502", snapshot.id}));
    EXPECT_EQ(history[0].triggerType, BackupTriggerType::preRestoreSafety);
}

TEST_F(RestoreTest, WritesBelowFirstSourceAddingAndReplacingOnly)
{
    const fs::path second = root / "second";
    writeText(second / "from-second.json", "2");
    fs::permissions(second / "from-second.json", fs::perms(0640));
    config.sourceDirectories.push_back(second.string());
    const auto both = backup();

    writeText(src / "extra.txt", "mine");
    fs::remove(src / "settings.json");
    fs::remove(src / "UPPER.MD");
    fs::create_directories(src / "UPPER.MD"); // a folder where the snapshot has a file is never removed
    writeText(src / "UPPER.MD/keep", "k");
    const auto restored = restore(both);
    ASSERT_TRUE(restored);
    EXPECT_EQ(*restored, (RestoreRun {4, 1})) << "the folder at UPPER.MD stays, and is told";
    ASSERT_EQ(restored->failures.size(), 1U);
    EXPECT_EQ(restored->failures.front().path, "UPPER.MD");
    EXPECT_EQ(readText(src / "from-second.json"), "2");
    EXPECT_EQ(fs::status(src / "from-second.json").permissions(), fs::perms(0640));
    EXPECT_EQ(readText(src / "settings.json"), "old settings.json");
    EXPECT_EQ(readText(src / "extra.txt"), "mine");
    EXPECT_EQ(readText(src / "UPPER.MD/keep"), "k");
    for (const auto &entry : fs::directory_iterator(src))
        EXPECT_EQ(entry.path().filename().string().find(".restore-"), std::string::npos) << "no temporary left";
}

TEST_F(RestoreTest, FindsFlatFoldersAndReportsMissingData)
{
    fs::rename(dest / "snapshots" / snapshot.id, dest / "snapshots/snapshot_091500");
    changeEverything();
    ASSERT_TRUE(restore(snapshot));
    EXPECT_EQ(readText(src / "GEMINI.md"), "old GEMINI.md");

    fs::remove_all(dest / "snapshots/snapshot_091500");
    EXPECT_EQ(restore(snapshot),
        std::unexpected(Error {"RestoreService", 404, "スナップショットデータが見つかりません: " + snapshot.id}));
    EXPECT_EQ(texts, Strings {kSafetyText});

    const auto present = backup();
    config.sourceDirectories.clear();
    EXPECT_EQ(
        restore(present), std::unexpected(Error {"RestoreService", 400, "復元先ディレクトリが指定されていません"}));
}

// The safety snapshot, started in the restored snapshot's own second, takes the next one; a backup right
// after the restore, in the safety snapshot's second, takes the one after that. Neither overwrites
// the snapshot before it, so the edit the restore overwrote stays stored.
TEST_F(RestoreTest, RunsInATakenSecondTakeTheNextOne)
{
    changeEverything();
    const TimePoint at = snapshot.createdAt;
    const BackupService pinned([at] { return at; }, 100ms);
    ASSERT_TRUE(RestoreService(pinned).executeRestore(snapshot, config, RestoreScopeOption::allFiles, {}));
    EXPECT_EQ(readText(src / "GEMINI.md"), "old GEMINI.md");
    ASSERT_TRUE(pinned.executeBackup(config, BackupTriggerType::manual, {}));
    const auto history = BackupService().loadHistory(dest);
    EXPECT_EQ(ids(history), (Strings {"2025-03-04/snapshot_091502", "2025-03-04/snapshot_091501", snapshot.id}));
    EXPECT_EQ(history[1].triggerType, BackupTriggerType::preRestoreSafety);
    EXPECT_EQ(readText(dest / "snapshots" / snapshot.id / "data/GEMINI.md"), "old GEMINI.md");
    EXPECT_EQ(readText(dest / "snapshots" / history[1].id / "data/GEMINI.md"), "new") << "the edit is still stored";
    EXPECT_EQ(readText(dest / "snapshots" / history[0].id / "data/GEMINI.md"), "old GEMINI.md");
}

// A snapshot of no files restores as 0, with or without its (empty) data folder; folders a restore makes
// in the source are the user's, made with the umask.
TEST_F(RestoreTest, AnEmptySnapshotRestoresNothingAndMadeFoldersAreTheUsers)
{
    const fs::path empty = root / "empty";
    fs::create_directories(empty);
    config.sourceDirectories = {empty.string()};
    const auto nothing = backup();
    EXPECT_EQ(restore(nothing), (RestoreRun {0, 0}));
    EXPECT_EQ(texts.back(), "復元完了 (0 件)");
    fs::remove_all(dest / "snapshots" / nothing.id / "data");
    EXPECT_EQ(restore(nothing), (RestoreRun {0, 0}));

    config.sourceDirectories = {src.string()};
    fs::remove_all(src / "sub");
    const mode_t mask = ::umask(022);
    const auto restored = restore(snapshot);
    ::umask(mask);
    EXPECT_EQ(restored, (RestoreRun {4, 0}));
    EXPECT_EQ(fs::status(src / "sub").permissions(), fs::perms(0755));
}

TEST_F(RestoreTest, RecordedPathsAndIdsStayInsideTheirFolders)
{
    BackupSnapshot tampered = snapshot;
    const fs::path folder = dest / "snapshots" / snapshot.id;
    writeText(folder / "escape.md", "out");
    writeText(folder / "data/GEMINI.md\x01", "control");
    tampered.relativeFilePaths = {"../escape.md", (folder / "data/GEMINI.md").string(),
        std::string("GEMINI.md\0.x", 11), "GEMINI.md\x01", "GEMINI.md"};
    changeEverything();
    const auto partial = restore(tampered);
    ASSERT_TRUE(partial);
    EXPECT_EQ(*partial, (RestoreRun {2, 3}));
    // The failed files are named with why, the first few and then how many more.
    EXPECT_EQ(partial->failureList(2),
        "・../escape.md: 安全でないパスのため書き込みません\n・" + (folder / "data/GEMINI.md").string()
            + ": 安全でないパスのため書き込みません\nほか 1 件");
    EXPECT_EQ(partial->failures.back().path, std::string("GEMINI.md\0.x", 11));
    EXPECT_EQ(RestoreRun {}.failureList(), "");
    EXPECT_FALSE(fs::exists(home / "escape.md"));
    EXPECT_EQ(readText(src / "GEMINI.md\x01"), "control") << "a control character is a name Linux allows";

    BackupSnapshot outside = snapshot;
    outside.id = "../../dest/snapshots/" + snapshot.id;
    const auto refused = restore(outside);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, 404);
    EXPECT_TRUE(texts.empty()) << "refused before the safety snapshot";
    EXPECT_EQ(BackupService().loadHistory(dest).size(), 2u);
}
