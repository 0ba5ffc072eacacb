#include "Platform/FileSystem.h"
#include "Services/BackupService.h"
#include "Services/RestoreService.h"
#include "Services/SnapshotCompare.h"
#include "Services/SourceSelection.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <set>
#include <sys/stat.h>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

namespace {

class BackupTest : public StoreTest
{
protected:
    Result<BackupRun> run(BackupTriggerType trigger = BackupTriggerType::manual)
    {
        states.clear();
        return service.executeBackup(config, trigger, [&](const BackupExecutionState &s) { states.push_back(s); });
    }

    template<class Files> std::vector<std::string> belowSource(const Files &files)
    {
        std::vector<std::string> out;
        for (const auto &file : files)
            out.push_back(fs::path(file.path).lexically_relative(src).string());
        return out;
    }

    ScopedTimeZone tz {"JST-9"};
    TimePoint now = localTime(2025, 3, 4, 9, 15, 0);
    BackupService service {[this] { return now; }, 100ms};
    std::vector<BackupExecutionState> states;
};

using Strings = std::vector<std::string>;

} // namespace

TEST_F(BackupTest, RelativePathStartsAtAComponentBoundary)
{
    for (const char *name : {"gem/sub/a.md", "gem-old/b.md", "gem-older/c.md", "x/d.md"})
        writeText(src / name, "x");
    const auto taken = [&](const Strings &sources) {
        Strings paths;
        for (const auto &file : surveySources(sources, config.targetExtensions).taken)
            paths.push_back(file.relativePath);
        std::ranges::sort(paths);
        return paths;
    };
    EXPECT_EQ(taken({(src / "gem/").string(), (src / "gem-old").string(), src.string()}),
        (Strings {"b.md", "gem-older/c.md", "sub/a.md", "x/d.md"}));
    EXPECT_EQ(taken({(src / "x/d.md").string()}), Strings {"d.md"}) << "a file as its own source";
}

TEST_F(BackupTest, RunReportsProgressAndRecordsTheSnapshot)
{
    for (const char *name : {"a.md", "b.json", "c/d.md", "e.txt"})
        writeText(src / name, "12345");
    const auto result = run();
    ASSERT_TRUE(result) << result.error().description;
    const std::string id = "2025-03-04/snapshot_091500";
    EXPECT_THAT(states,
        ElementsAre(BackupExecutionState::preparing(), BackupExecutionState::copying(0, "a.md"),
            BackupExecutionState::copying(0.25, "b.json"), BackupExecutionState::copying(0.5, "d.md"),
            BackupExecutionState::copying(0.75, "e.txt"), BackupExecutionState::finalizing(),
            BackupExecutionState::success(now, id)));
    const BackupSnapshot expected {
        id, now, BackupTriggerType::manual, 4, 20, {"a.md", "b.json", "c/d.md", "e.txt"}, std::nullopt};
    EXPECT_EQ(result->snapshot, expected);
    EXPECT_EQ(result->skippedFileCount, 0);
    EXPECT_EQ(BackupSnapshot::decode(readText(dest / "snapshots" / id / "snapshot.json")), expected);
    EXPECT_EQ(service.loadHistory(dest), std::vector {expected});
    EXPECT_EQ(readText(dest / "snapshots" / id / "data/c/d.md"), "12345");
}

// A run never writes into a snapshot that exists: in a taken second it moves to the next free one.
TEST_F(BackupTest, SameSecondRunsTakeTheNextFreeSecond)
{
    writeText(src / "a.md", "1");
    writeText(src / "b.md", "1");
    const auto first = run();
    ASSERT_TRUE(first);
    fs::remove(src / "b.md");
    writeText(src / "a.md", "22");
    const auto second = run(BackupTriggerType::scheduled);
    ASSERT_TRUE(second);

    EXPECT_EQ(second->snapshot.id, "2025-03-04/snapshot_091501");
    EXPECT_EQ(second->snapshot.createdAt, now + 1s);
    EXPECT_EQ(states.back(), BackupExecutionState::success(now + 1s, second->snapshot.id));
    const fs::path snapshots = dest / "snapshots";
    EXPECT_EQ(readText(snapshots / first->snapshot.id / "data/a.md"), "1") << "the first snapshot is untouched";
    EXPECT_EQ(BackupSnapshot::decode(readText(snapshots / first->snapshot.id / "snapshot.json")), first->snapshot);
    EXPECT_EQ(readText(snapshots / second->snapshot.id / "data/a.md"), "22");
    EXPECT_FALSE(fs::exists(snapshots / second->snapshot.id / "data/b.md"));
    EXPECT_EQ(service.loadHistory(dest), (std::vector {second->snapshot, first->snapshot}));

    // A listed id whose folder is gone is taken too: its entry is never replaced.
    fs::remove_all(snapshots / second->snapshot.id);
    const auto third = run();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->snapshot.id, "2025-03-04/snapshot_091502");
    EXPECT_EQ(ids(service.loadHistory(dest)), (Strings {third->snapshot.id, second->snapshot.id, first->snapshot.id}));
}

TEST_F(BackupTest, CopiesKeepModeAndTimesInPrivateFolders)
{
    writeText(src / "sub/run.json", "{}");
    writeText(src / "GEMINI.md", "#");
    fs::permissions(src / "sub/run.json", fs::perms(0750));
    fs::permissions(src / "GEMINI.md", fs::perms(0604));
    const timespec times[2] = {{1000000000, 5}, {1200000000, 123456789}};
    ::utimensat(AT_FDCWD, (src / "sub/run.json").c_str(), times, 0);
    fs::create_directories(root / "outer");
    config.destinationDirectory = (root / "outer/new/dest").string();
    dest = config.destinationDirectory;
    const mode_t mask = ::umask(027);
    const auto result = run();
    ::umask(mask);
    ASSERT_TRUE(result);
    const fs::path folder = dest / "snapshots/2025-03-04/snapshot_091500";
    EXPECT_EQ(fs::status(folder / "data/sub/run.json").permissions(), fs::perms(0750));
    EXPECT_EQ(fs::status(folder / "data/GEMINI.md").permissions(), fs::perms(0604));
    struct stat st
    {
    };
    ::stat((folder / "data/sub/run.json").c_str(), &st);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    for (const fs::path &made :
        {dest, dest / "snapshots", folder.parent_path(), folder, folder / "data", folder / "data/sub"})
        EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all) << made;
    // Above the store, a missing folder is the user's: made with the umask, not private.
    EXPECT_EQ(fs::status(root / "outer/new").permissions(), fs::perms(0750)) << "outside the store";
}

// Two sources with the same file: the first source's copy (the one a restore or apply writes over) is
// the one taken, on every run, whether the unchanged files are linked or copied; the later one is left
// out and said so. A source holds only what lies below it as a folder; a file source is taken whatever
// its type; a file that cannot be placed is counted, on every run too.
TEST_F(BackupTest, TheFirstSourceWinsEveryRunAndUncopyableFilesAreCounted)
{
    const fs::path second = root / "second";
    const fs::path older = home / ".gemini-old";
    writeText(src / "GEMINI.md", "from the first source");
    writeText(second / "GEMINI.md", "second");
    writeText(src / "x.md", "file");
    writeText(second / "x.md/inner.md", "needs x.md as a folder"); // cannot be placed
    writeText(older / "a.md", "a");
    writeText(root / "single/notes.pbtxt", "n");
    config.sourceDirectories = {src.string(), second.string(), older.string(), (root / "single/notes.pbtxt").string()};
    for (int round = 0; round < 4; ++round) {
        now += 1min;
        const auto result = run();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->snapshot.relativeFilePaths, (Strings {"GEMINI.md", "x.md", "a.md", "notes.pbtxt"}));
        EXPECT_EQ(result->snapshot.totalSizeBytes, 21 + 4 + 1 + 1);
        EXPECT_EQ(result->skippedFileCount, 1);
        EXPECT_TRUE(result->isComplete());
        const fs::path data = dest / "snapshots" / result->snapshot.id / "data";
        EXPECT_EQ(readText(data / "GEMINI.md"), "from the first source") << round;
        EXPECT_EQ(readText(data / "notes.pbtxt"), "n");
    }
    const auto survey = surveySources(config.sourceDirectories, config.targetExtensions);
    ASSERT_EQ(survey.leftOut.size(), 1u);
    EXPECT_EQ(survey.leftOut[0].path, (second / "GEMINI.md").string());
    EXPECT_EQ(survey.leftOutSummary(), "対象外: 1 件 (同じパスのため対象外 1 件)");
}

TEST_F(BackupTest, PathsNeverLeaveTheDataFolderAndTheStoreIsNotCopiedIntoItself)
{
    // "root/a" is a text prefix of "root/a../x", which would make "../x/f.md".
    writeText(root / "a../x/f.md", "f");
    fs::create_directories(root / "a");
    config.sourceDirectories = {(root / "a").string(), (root / "a../x").string(), root.string()};
    const auto result = run();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->snapshot.relativeFilePaths.front(), "f.md");
    EXPECT_FALSE(fs::exists(dest / "snapshots/2025-03-04/snapshot_091500/f.md"));

    now += 1s;
    const auto again = run();
    ASSERT_TRUE(again);
    for (const auto &path : again->snapshot.relativeFilePaths)
        EXPECT_FALSE(path.starts_with("dest")) << path;

    // A store in the source folder itself: the user's files there are taken, the store's own are not.
    config.sourceDirectories = {src.string()};
    config.destinationDirectory = src.string();
    dest = src;
    writeText(src / "GEMINI.md", "mine");
    writeText(src / "snapshots.md", "mine too");
    for (int round = 0; round < 2; ++round) {
        now += 1s;
        const auto inPlace = run();
        ASSERT_TRUE(inPlace);
        EXPECT_EQ(inPlace->snapshot.relativeFilePaths, (Strings {"GEMINI.md", "snapshots.md"})) << round;
    }

    // A source inside the store's snapshots/ would copy every snapshot into the next one, doubling the
    // store with each run: nothing is taken from there.
    config.sourceDirectories = {src.string(), (src / "snapshots").string(), (src / "snapshots/2025-03-04").string()};
    for (int round = 0; round < 2; ++round) {
        now += 1s;
        const auto inside = run();
        ASSERT_TRUE(inside);
        EXPECT_EQ(inside->snapshot.relativeFilePaths, (Strings {"GEMINI.md", "snapshots.md"})) << round;
    }
}

TEST_F(BackupTest, FailuresStopBeforeAnythingIsWritten)
{
    writeText(src / "a.md", "x");
    writeText(root / "file", "");
    config.destinationDirectory = (root / "file/dest").string();
    auto result = run();
    ASSERT_FALSE(result);
    EXPECT_EQ(states,
        (std::vector {BackupExecutionState::preparing(),
            BackupExecutionState::failed("保存先ディレクトリ作成失敗: " + result.error().description)}));
    EXPECT_TRUE(result.error().description.ends_with((root / "file/dest").string())) << "names the path";

    config.destinationDirectory = dest.string();
    auto held = StoreLock::acquire(dest);
    ASSERT_TRUE(held);
    result = run();
    ASSERT_FALSE(result);
    EXPECT_TRUE(StoreLock::isBusy(result.error()));
    EXPECT_EQ(states.back(), BackupExecutionState::failed("別の処理がバックアップ先を使用中です"));
    EXPECT_FALSE(fs::exists(dest / "snapshots"));
}

// A clock set back makes the new snapshot the oldest; it still survives its own run's retention.
TEST_F(BackupTest, RetentionSparesTheNewSnapshotEvenWhenItIsTheOldest)
{
    writeText(src / "a.md", "x");
    config.maxSnapshotsLimit = 1;
    ASSERT_TRUE(run());
    now -= 24h;
    const auto earlier = run();
    ASSERT_TRUE(earlier);
    EXPECT_TRUE(earlier->removedSnapshotIds.empty());
    EXPECT_TRUE(fs::exists(dest / "snapshots" / earlier->snapshot.id / "snapshot.json"));
}

// A history.json listing each snapshot twice (a merge of two copies, say) still counts each folder
// once: a limit of two keeps two snapshots, not the new one alone.
TEST_F(BackupTest, RetentionCountsASnapshotListedTwiceOnce)
{
    config.maxSnapshotsLimit = 2;
    for (const char *text : {"v1", "v2"}) {
        writeText(src / "a.md", text);
        ASSERT_TRUE(run());
        now += 1h;
    }
    const std::string text = readText(dest / "history.json");
    const std::string entries = text.substr(text.find('[') + 1, text.rfind(']') - text.find('[') - 1);
    writeText(dest / "history.json", "[" + entries + "," + entries + "]");
    writeText(src / "a.md", "v3");
    const auto third = run();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->removedSnapshotIds.size(), 1u);
    const auto listed = service.loadHistory(dest);
    ASSERT_GE(listed.size(), 2u);
    const Strings listedIds = ids(listed);
    EXPECT_EQ(std::set<std::string>(listedIds.begin(), listedIds.end()).size(), 2u);
    EXPECT_EQ(readText(dest / "snapshots" / listed[1].id / "data/a.md"), "v2");
}

// A history keeps versions: three edits and six unchanged runs under a limit of five leave every edit
// restorable, and a safety snapshot follows the same rule.
TEST_F(BackupTest, RetentionKeepsEveryDistinctVersion)
{
    config.maxSnapshotsLimit = 5;
    std::vector<std::string> versionIds;
    for (const char *text : {"v1", "v2", "v3"}) {
        writeText(src / "GEMINI.md", text);
        const auto made = run();
        ASSERT_TRUE(made);
        versionIds.push_back(made->snapshot.id);
        now += 1h;
    }
    for (int i = 0; i < 6; ++i, now += 1h)
        ASSERT_TRUE(run());
    ASSERT_TRUE(run(BackupTriggerType::preRestoreSafety));
    const auto listed = service.loadHistory(dest);
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(ids(listed)[4], versionIds[0]);
    EXPECT_EQ(ids(listed)[3], versionIds[1]);
    std::set<std::string> kept;
    for (const auto &snapshot : listed)
        kept.insert(readText(dest / "snapshots" / snapshot.id / "data/GEMINI.md"));
    EXPECT_EQ(kept, (std::set<std::string> {"v1", "v2", "v3"}));
    EXPECT_EQ(listed.front().triggerType, BackupTriggerType::preRestoreSafety);
}

TEST_F(BackupTest, DeleteRemovesFolderEmptyDayAndEntry)
{
    writeText(src / "a.md", "x");
    const auto first = run();
    now += 1s;
    const auto second = run();
    ASSERT_TRUE(first && second);

    ASSERT_TRUE(service.deleteSnapshot(first->snapshot, dest));
    EXPECT_FALSE(fs::exists(dest / "snapshots" / first->snapshot.id));
    EXPECT_TRUE(fs::exists(dest / "snapshots/2025-03-04")) << "the day still holds the second snapshot";
    ASSERT_TRUE(service.deleteSnapshot(second->snapshot, dest));
    EXPECT_FALSE(fs::exists(dest / "snapshots/2025-03-04"));
    EXPECT_TRUE(service.loadHistory(dest).empty());
    EXPECT_EQ(readText(dest / "history.json"), encodeSnapshotList({}));

    // An id leading out of the store is refused: nothing on disk goes, and neither does its entry.
    writeText(root / "victim/snapshot.json", "keep");
    BackupSnapshot evil = first->snapshot;
    evil.id = "../../victim";
    service.updateHistory(evil, dest);
    EXPECT_FALSE(service.deleteSnapshot(evil, dest));
    EXPECT_TRUE(fs::exists(root / "victim/snapshot.json"));
    EXPECT_EQ(ids(service.loadHistory(dest)), Strings {evil.id});
}

// The survey takes exactly what the run takes: regular files with a wanted extension in any case, and
// the two instruction files always; never hidden entries, links, a missing source or the store.
TEST_F(BackupTest, SurveyTakesWhatTheRunTakesAndNamesWhatItLeavesOut)
{
    for (const char *name : {"GEMINI.md", "AGENTS.md", "Config.JSON", "commands/a.toml", "commands/B.TOML", "run.sh",
             "Makefile", ".hidden.toml", ".env.json", ".cache/x.md", "deep/er/notes.md", "deep/er/old.bak"})
        writeText(src / name, "x");
    fs::create_symlink(src / "deep/er/notes.md", src / "link.md");
    writeText(root / "elsewhere/far.md", "x");
    fs::create_directory_symlink(root / "elsewhere", src / "linked");
    config.destinationDirectory = (src / "store").string(); // a store inside the source is never counted
    writeText(src / "store/left.toml", "x");
    config.sourceDirectories.push_back((root / "missing").string());
    config.targetExtensions = {"MD", "json"};

    SelectionOptions options;
    options.excludedFolder = config.destinationDirectory;
    const SourceSurvey survey = surveySources(config.sourceDirectories, config.targetExtensions, options);
    const auto run = this->run();
    ASSERT_TRUE(run);
    ASSERT_EQ(survey.report.failedSources.size(), 1u);
    EXPECT_EQ(survey.report.failedSources[0].description(),
        "バックアップ対象フォルダが見つかりません: " + (root / "missing").string());
    EXPECT_FALSE(run->isComplete()) << "a missing source is a failure";
    const Strings taken = belowSource(survey.taken);
    EXPECT_EQ(taken, Strings(run->snapshot.relativeFilePaths.begin(), run->snapshot.relativeFilePaths.end()));
    EXPECT_EQ(taken, (Strings {"AGENTS.md", "Config.JSON", "GEMINI.md", "deep/er/notes.md"}));

    EXPECT_EQ(belowSource(survey.leftOut),
        (Strings {"Makefile", "commands/B.TOML", "commands/a.toml", "deep/er/old.bak", "run.sh"}));
    EXPECT_EQ(survey.leftOutSummary(), "対象外: 5 件 (.toml 2、.bak 1、.sh 1、拡張子なし 1)");

    // A leading dot matches nothing; the two instruction files are wanted case-sensitively.
    writeText(src / "gemini.md", "x");
    EXPECT_EQ(belowSource(surveySources({src.string()}, {".md"}, options).taken), (Strings {"AGENTS.md", "GEMINI.md"}));
    // An empty list takes every visible file; a file source is taken whatever its type, once at its path.
    const Strings sources {(src / "deep").string(), (src / "Makefile").string(), (src / "deep/er/notes.md").string()};
    const SourceSurvey all = surveySources(sources, {}, options);
    EXPECT_EQ(belowSource(all.taken), (Strings {"deep/er/notes.md", "deep/er/old.bak", "Makefile"}));
    EXPECT_EQ(all.leftOutSummary(), "対象外: 1 件 (同じパスのため対象外 1 件)");
    // Past five kinds the rest is summed up; the reasons other than the name come first.
    SourceSurvey many;
    for (const char *name : {"a.x1", "b.x2", "c.x3", "d.x4", "e.x5", "f.x6", "g.x7", "h.x1"})
        many.leftOut.push_back({name, LeftOutReason::notWanted});
    EXPECT_EQ(many.leftOutSummary(), "対象外: 8 件 (.x1 2、.x2 1、.x3 1、.x4 1、.x5 1、ほか 2 件)");
    many.leftOut.push_back({"\xff.md", LeftOutReason::notUtf8});
    EXPECT_TRUE(many.leftOutSummary().starts_with("対象外: 9 件 (UTF-8 でない名前 1 件、.x1 2、"));

    std::stop_source stop;
    stop.request_stop();
    options.stop = stop.get_token();
    const SourceSurvey stopped = surveySources(config.sourceDirectories, config.targetExtensions, options);
    EXPECT_TRUE(stopped.report.stopped);
    EXPECT_TRUE(stopped.taken.empty());
}

// Any name Linux allows that is UTF-8 is recorded exactly and comes back exactly, through the JSON
// files, a restore and a compare. A name that is not UTF-8 is left out and reported, never recorded
// under another name.
TEST_F(BackupTest, OddNamesComeBackExactlyAndNamesThatAreNotUtf8AreLeftOut)
{
    Strings odd {"tab\there.md", "new\nline.md", "bell\x01\x7f.md", "-dash.md", " spaced .md", "日本語のメモ.md",
        "sub\tdir/--inner.md", "quote\"back\\slash.md"};
    // Names as long as a name may be (255 bytes): a restore's temporary beside them must still fit.
    odd.push_back(std::string(252, 'L') + ".md");
    std::string wide;
    for (int i = 0; i < 84; ++i)
        wide += "長";
    odd.push_back(wide + ".md");
    for (const auto &name : odd)
        writeText(src / name, "text of " + name);
    writeText(src / "bad\xff.md", "x");
    writeText(src / "bad\xc3(/inner.md", "x");
    const auto result = run();
    ASSERT_TRUE(result);
    Strings sorted = odd;
    std::ranges::sort(sorted);
    EXPECT_EQ(Strings(result->snapshot.relativeFilePaths.begin(), result->snapshot.relativeFilePaths.end()), sorted);
    EXPECT_EQ(service.loadHistory(dest).front(), result->snapshot) << "history.json keeps every name";
    EXPECT_EQ(
        BackupSnapshot::decode(readText(dest / "snapshots" / result->snapshot.id / "snapshot.json")), result->snapshot);

    const SnapshotStore store {dest};
    EXPECT_EQ(compareWithCurrent(store, result->snapshot, config).count(CompareState::unchanged),
        static_cast<std::int64_t>(odd.size()));
    for (const auto &name : odd)
        writeText(src / name, "changed");
    const auto restored
        = RestoreService(service).executeRestore(result->snapshot, config, RestoreScopeOption::allFiles, {});
    ASSERT_TRUE(restored);
    EXPECT_EQ(*restored, (RestoreRun {static_cast<std::int64_t>(odd.size()), 0}));
    for (const auto &name : odd)
        EXPECT_EQ(readText(src / name), "text of " + name) << name;

    const auto survey = surveySources(config.sourceDirectories, config.targetExtensions);
    EXPECT_EQ(survey.leftOutSummary(), "対象外: 2 件 (UTF-8 でない名前 2 件)");
    EXPECT_EQ(belowSource(survey.leftOut), (Strings {"bad\xc3(/inner.md", "bad\xff.md"}));
}

// A source that is missing or cannot be read is a failure: alone it fails the run before anything is
// written; beside readable sources the run keeps what it read, says what it missed and prunes nothing.
// A source that is there but empty still makes an (empty) snapshot, and a safety snapshot has nothing
// to keep of a missing source.
TEST_F(BackupTest, MissingSourcesFailTheRunAndNeverPushGoodSnapshotsOut)
{
    const std::string missing = (root / "gone").string();
    config.sourceDirectories = {missing};
    auto result = run();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description, "バックアップ対象フォルダが見つかりません: " + missing);
    EXPECT_EQ(states.back(), BackupExecutionState::failed(result.error().description));
    EXPECT_FALSE(fs::exists(dest / "snapshots"));
    EXPECT_FALSE(fs::exists(dest / "history.json"));
    config.sourceDirectories = {};
    result = run();
    ASSERT_FALSE(result) << "no source at all is no empty success";
    EXPECT_EQ(result.error().description, "バックアップ対象フォルダが設定されていません");
    EXPECT_FALSE(fs::exists(dest / "snapshots"));
    writeText(root / "file", "not a folder");
    config.sourceDirectories = {(root / "file/x").string()};
    result = run();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description, "バックアップ対象フォルダを読み込めません: " + (root / "file/x").string());
    EXPECT_TRUE(service.executeBackup(config, BackupTriggerType::preRestoreSafety, {}).error().code == 403);
    config.sourceDirectories = {missing};
    EXPECT_TRUE(service.executeBackup(config, BackupTriggerType::preRestoreSafety, {}));

    fs::create_directories(src);
    config.sourceDirectories = {src.string()};
    config.maxSnapshotsLimit = 2;
    now += 1min;
    const auto empty = run();
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isComplete());
    EXPECT_EQ(empty->snapshot.filesCount, 0);
    writeText(src / "a.md", "a");
    now += 1min;
    const auto good = run();
    ASSERT_TRUE(good);

    config.sourceDirectories = {src.string(), missing};
    for (int round = 0; round < 3; ++round) {
        now += 1min;
        const auto partial = run();
        ASSERT_TRUE(partial);
        EXPECT_FALSE(partial->isComplete());
        EXPECT_TRUE(partial->removedSnapshotIds.empty());
        EXPECT_EQ(partial->successMessage(),
            "バックアップ完了 (1 件 • 1 バイト、バックアップ対象フォルダが見つかりません: " + missing + ")");
    }
    EXPECT_TRUE(fs::exists(dest / "snapshots" / good->snapshot.id));
    EXPECT_TRUE(fs::exists(dest / "snapshots" / empty->snapshot.id));
    EXPECT_EQ(service.loadHistory(dest).size(), 2u + 3u);
}

// A folder whose listing breaks off with an error keeps what was read before it and is reported.
TEST_F(BackupTest, AListingThatBreaksOffIsReported)
{
    for (const char *name : {"a.md", "sub/b.md", "sub/c.md", "sub/d.md"})
        writeText(src / name, "x");
    SelectionOptions options;
    options.listingFault
        = [&](const std::string &folder, std::size_t read) { return folder.ends_with("/sub") && read == 1; };
    const auto survey = surveySources(config.sourceDirectories, config.targetExtensions, options);
    EXPECT_EQ(survey.taken.size(), 2u) << "a.md and the one entry read of sub";
    EXPECT_EQ(survey.report.unreadableFolderCount, 1);
    EXPECT_EQ(survey.report.firstUnreadableFolder, (src / "sub").string());

    // A folder that cannot be opened is reported too, even when the error claims it is gone while it stands.
    options.listingFault = nullptr;
    options.openFault = [&](const std::string &folder) { return folder.ends_with("/sub") ? ENOENT : 0; };
    const auto unopened = surveySources(config.sourceDirectories, config.targetExtensions, options);
    EXPECT_EQ(unopened.taken.size(), 1u);
    EXPECT_EQ(unopened.report.unreadableFolderCount, 1);
}
