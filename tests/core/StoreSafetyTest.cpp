// A full destination, linked folders on the way of a write, unreadable folders, and paths that are no
// snapshot folder.
#include "StoreSafetyFixture.h"

using namespace velkaro;
using namespace velkaro::test;

namespace {

const std::string kNoSpace = "保存先の空き容量が足りないため、スナップショットを保存できませんでした: ";
const std::string kRestoreAborted = "セーフティバックアップを作成できなかったため、復元を中止しました: ";

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

// A file the settings no longer take (its extension was dropped since the snapshot) is still kept in
// the safety snapshot before a restore replaces it; so is a name without any extension.
TEST_F(StoreSafetyTest, TheSafetySnapshotHoldsWhatTheRestoreReplacesWhateverTheSettingsTake)
{
    config.targetExtensions.clear(); // every file
    for (const char *name : {"settings.json", "notes.md", "Makefile"})
        writeText(src / name, "old");
    const auto taken = backup();
    ASSERT_TRUE(taken);
    for (const char *name : {"settings.json", "notes.md", "Makefile"})
        writeText(src / name, "precious");
    writeText(src / "other.txt", "neither taken nor restored");
    config.targetExtensions = {"md"};
    const auto restored = restore(taken->snapshot);
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->restoredCount, 3);
    const auto safety = BackupService().loadHistory(dest).front();
    ASSERT_EQ(safety.triggerType, BackupTriggerType::preRestoreSafety);
    EXPECT_EQ(safety.relativeFilePaths, (Strings {"Makefile", "notes.md", "settings.json"}));
    for (const auto &path : safety.relativeFilePaths)
        EXPECT_EQ(readText(folderOf(safety.id) / "data" / path), "precious") << path;
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
