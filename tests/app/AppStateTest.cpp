#include "AppStateFixture.h"
#include "Services/StoreLock.h"

#include <QSignalSpy>

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace velkaro;
using namespace velkaro::test;

namespace {

using AppStateTest = AppStateFixture;

std::vector<std::string> historyIds(const fs::path &dest)
{
    return ids(decodeSnapshotList(readText(dest / "history.json")).value_or(std::vector<BackupSnapshot> {}));
}

// What the library file and the list must agree on (the file keeps whole seconds only).
std::vector<std::string> contents(const std::vector<PromptTemplate> &list)
{
    std::vector<std::string> out;
    for (const auto &t : list)
        out.push_back(t.id + "|" + t.title + "|" + t.promptContent + "|" + t.targetFileName);
    return out;
}

} // namespace

TEST_F(AppStateTest, StartsFromTheSavedSettingsLibraryAndHistoryOrFromDefaults)
{
    config.backupInterval = BackupInterval::everySixHours;
    writeText(dest / "history.json",
        encodeSnapshotList(
            {recordedSnapshot("2025-03-01/snapshot_081000", 10), recordedSnapshot("2025-03-01/snapshot_080500", 5)}));
    AppState &s = start();
    EXPECT_EQ(s.config(), config);
    EXPECT_EQ(
        ids(s.snapshots()), (std::vector<std::string> {"2025-03-01/snapshot_081000", "2025-03-01/snapshot_080500"}));
    EXPECT_EQ(s.lastSuccessDate(), localTime(2025, 3, 1, 8, 10, 0));

    // Damaged settings give the defaults.
    rawConfig = "{ broken";
    AppState &d = start();
    EXPECT_EQ(d.config(), BackupConfig());

    // Settings that stand but cannot be read give the defaults as well, and the user is told so.
    rawConfig.reset();
    keepConfigFile = true;
    fs::remove(configFile());
    fs::create_directories(configFile());
    AppState &u = start();
    EXPECT_EQ(u.config(), BackupConfig());
    EXPECT_TRUE(status().starts_with("設定ファイルを読み込めませんでした: ")) << status();
}

TEST_F(AppStateTest, ManualRunReportsInOrderAndRefusesASecondRequestInTheGap)
{
    AppState &s = start(3000ms);
    std::vector<BackupExecutionState> seen;
    QObject::connect(&s, &AppState::backupStateChanged, [&] { seen.push_back(s.backupState()); });
    s.performManualBackup();
    s.performManualBackup(); // before any report has arrived
    s.executeScheduledBackup();
    const BackupConfig used = s.config();
    BackupConfig edited = used;
    edited.destinationDirectory = (root / "elsewhere").string();
    s.setConfig(edited); // the run keeps the settings it started with
    settle();

    ASSERT_EQ(s.snapshots().size(), 1u);
    const BackupSnapshot &made = s.snapshots().front();
    EXPECT_FALSE(fs::exists(root / "elsewhere"));
    EXPECT_EQ(status(), "バックアップ完了 (2 件 • " + formatByteCount(9) + ")");
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front(), BackupExecutionState::preparing());
    EXPECT_EQ(seen.back(), BackupExecutionState::success(made.createdAt, made.id));

    // Once the run is over the next one starts; the same id again replaces its entry.
    s.setConfig(used);
    s.performManualBackup();
    settle();
    ASSERT_EQ(s.snapshots().size(), 2u);
    // The same files again: the list holds their paths once.
    EXPECT_TRUE(s.snapshots()[0].relativeFilePaths.sharesStorageWith(s.snapshots()[1].relativeFilePaths));

    // Another store saved while a run waits for this one: the run does not show up in the new list.
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    s.performManualBackup();
    saveDestination(root / "elsewhere");
    ASSERT_TRUE(waitUntil([&] { return !s.isLoadingHistory(); }));
    lock = std::unexpected(Error {});
    settle();
    EXPECT_EQ(historyIds(dest).size(), 3u);
    EXPECT_TRUE(s.snapshots().empty());
}

// Our own backup and restore never overlap; another process holding the store fails restore and delete.
TEST_F(AppStateTest, NoBackupRestoreOrDeleteWhileTheStoreIsBusy)
{
    AppState &s = start();
    manualBackups(1);
    const BackupSnapshot made = s.snapshots().front();

    std::optional<RestoreOutcome> refused, restored, second;
    s.performManualBackup();
    s.restore(made, RestoreScopeOption::allFiles, keepOutcome(refused));
    EXPECT_EQ(status(), "復元エラー: バックアップ処理の実行中です");
    EXPECT_EQ(refused, std::nullopt); // the completion comes later, from the event loop, like any other
    settle();
    EXPECT_EQ(refused, RestoreOutcome::failed);

    s.restore(made, RestoreScopeOption::allFiles, keepOutcome(restored));
    s.performManualBackup(); // dropped while the restore runs
    s.restore(made, RestoreScopeOption::allFiles, keepOutcome(second));
    settle();
    EXPECT_EQ(second, RestoreOutcome::failed);
    EXPECT_EQ(restored, RestoreOutcome::complete);
    EXPECT_EQ(status(), "2 件のファイルを正常に復元しました！");
    // Two manual snapshots and the safety snapshot that the restore took, reloaded from the file.
    ASSERT_EQ(s.snapshots().size(), 3u);
    EXPECT_EQ(s.snapshots().front().triggerType, BackupTriggerType::preRestoreSafety);

    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    EXPECT_EQ(restoreNow(made), RestoreOutcome::failed);
    EXPECT_EQ(status(), "復元エラー: 別の処理がバックアップ先を使用中です");
    EXPECT_FALSE(deleteNow(made));
    EXPECT_EQ(status(), "削除失敗: 別の処理がバックアップ先を使用中です");
    EXPECT_EQ(s.snapshots().size(), 3u); // still on disk, so still listed
}

// Retention and deletions keep the list and history.json in step, whatever is left on disk.
TEST_F(AppStateTest, RetentionAndDeletesKeepListAndHistoryFileInStep)
{
    config.maxSnapshotsLimit = 2;
    writeText(root / "second/settings.json/inner.md", "needs settings.json as a folder"); // cannot be placed
    config.sourceDirectories.push_back((root / "second").string());
    AppState &s = start();
    manualBackups(3);
    const auto list = s.snapshots(); // newest first, all on 2025-03-04
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(ids(list), historyIds(dest));
    EXPECT_EQ(status(), "バックアップ完了 (2 件 • " + formatByteCount(9) + "、1 件はコピーできませんでした)");

    ASSERT_TRUE(deleteNow(list[0]));
    EXPECT_EQ(ids(s.snapshots()), std::vector<std::string> {list[1].id});
    fs::remove_all(dest / "snapshots" / list[1].id); // already gone: still leaves the list and the file
    ASSERT_TRUE(deleteNow(list[1]));
    EXPECT_TRUE(s.snapshots().empty());
    EXPECT_TRUE(historyIds(dest).empty());
    EXPECT_EQ(s.lastSuccessDate(), list[0].createdAt); // not changed by deletions
}

// Saving applies the schedule and the login item. Settings and library that cannot be written: the
// error is returned and shown, the running state keeps the change, and a later save that works
// replaces the failure message.
TEST_F(AppStateTest, SaveAppliesScheduleAndLoginItemEvenWhenTheFileCannotBeWritten)
{
    AppState &s = start(); // hourly, due 11:00
    QSignalSpy next(&s, &AppState::nextBackupDateChanged);
    clock.current = localTime(2025, 3, 4, 10, 40, 0);
    BackupConfig edited = s.config();
    edited.autoLaunchState = AutoLaunchState::enabled;
    s.setConfig(edited);
    s.saveConfig();
    EXPECT_EQ(s.nextBackupDate(), localTime(2025, 3, 4, 11, 40, 0));
    EXPECT_FALSE(next.isEmpty());
    EXPECT_TRUE(LaunchAtLoginManager(autostartFile()).isEnabled());

    const fs::path folder = configFile().parent_path();
    fs::remove_all(folder);
    writeText(folder, "a file where the settings folder should be");
    edited.backupInterval = BackupInterval::disabled;
    edited.autoLaunchState = AutoLaunchState::disabled;
    s.setConfig(edited);
    const auto saved = s.saveConfig();
    ASSERT_FALSE(saved);
    EXPECT_EQ(status(), "保存失敗: " + saved.error().description);
    EXPECT_EQ(s.nextBackupDate(), std::nullopt) << "the schedule follows all the same";
    EXPECT_FALSE(fs::exists(autostartFile())) << "and so does the login item";

    const AddedTemplate mine = s.createTemplate();
    EXPECT_FALSE(mine.stored);
    EXPECT_EQ(s.templates().back(), mine.added);
    EXPECT_FALSE(s.deleteTemplate(mine.added.id));

    fs::remove(folder);
    EXPECT_TRUE(s.saveConfig());
    EXPECT_EQ(status(), "設定を保存したよ！");
    EXPECT_EQ(BackupConfig::readFile(configFile()), edited);
}

TEST_F(AppStateTest, ScheduleGoesOnFromTheNewestSnapshotAcrossRestartsAndSaves)
{
    // The newest snapshot is not the first entry: the schedule follows the dates.
    BackupSnapshot older = recordedSnapshot("2025-03-04/snapshot_092000", 0), newer = older;
    older.createdAt = clock() - 50min;
    newer.id = "2025-03-04/snapshot_093500";
    newer.createdAt = clock() - 25min;
    writeText(dest / "history.json", encodeSnapshotList({older, newer}));
    config.backupInterval = BackupInterval::everyThirtyMinutes;
    AppState &s = start();
    EXPECT_EQ(s.nextBackupDate(), clock() + 5min);

    clock.advance(10min); // saving after the due time passed: a minute to settle
    s.saveConfig();
    EXPECT_EQ(s.nextBackupDate(), clock() + 1min);

    newer.createdAt = clock() + 3h; // dated ahead by a wrong clock: one interval from now at the latest
    writeText(dest / "history.json", encodeSnapshotList({newer}));
    config.backupInterval = BackupInterval::daily;
    EXPECT_EQ(start().nextBackupDate(), clock() + 24h);

    newer.createdAt = clock() - 48h;
    writeText(dest / "history.json", encodeSnapshotList({newer}));
    EXPECT_EQ(start().nextBackupDate(), clock() + 1min) << "overdue: a minute to settle";
}

// Applying over other text keeps it in a safety snapshot first, or writes nothing.
TEST_F(AppStateTest, ApplyAndImportWorkOnTheFirstSourceFolder)
{
    AppState &s = start();
    const PromptTemplate preset = s.templates().front();
    {
        auto held = StoreLock::acquire(dest);
        ASSERT_TRUE(held);
        EXPECT_FALSE(applyNow(preset));
        EXPECT_EQ(status(),
            "適用失敗: 上書き前のセーフティバックアップを作成できなかったため、適用を中止しました: "
            "別の処理がバックアップ先を使用中です");
        EXPECT_EQ(readText(src / "GEMINI.md"), "# rules");
        EXPECT_TRUE(s.snapshots().empty());
    }

    ASSERT_TRUE(applyNow(preset));
    EXPECT_EQ(status(), "「" + preset.title + "」を GEMINI.md に適用したよ！");
    EXPECT_EQ(readText(src / "GEMINI.md"), preset.promptContent);
    settle();
    ASSERT_EQ(s.snapshots().size(), 1u);
    const BackupSnapshot safety = s.snapshots().front();
    EXPECT_EQ(safety.triggerType, BackupTriggerType::preRestoreSafety);

    EXPECT_EQ(restoreNow(safety, RestoreScopeOption::markdownOnly), RestoreOutcome::complete);
    EXPECT_EQ(readText(src / "GEMINI.md"), "# rules");

    // Importing takes the first source folder's text, and applying writes below that folder.
    const auto imported = s.importCurrentPrompt();
    ASSERT_TRUE(imported);
    EXPECT_TRUE(imported->stored);
    EXPECT_EQ(imported->added.promptContent, "# rules");
    EXPECT_EQ(s.templates().back(), imported->added);
    PromptTemplate mine = imported->added;
    mine.title = "changed";
    mine.targetFileName = "rules/GEMINI.md";
    EXPECT_TRUE(applyNow(mine));
    EXPECT_EQ(readText(src / "rules/GEMINI.md"), "# rules");
    EXPECT_EQ(status(), "「changed」を rules/GEMINI.md に適用したよ！");

    BackupConfig edited = s.config();
    edited.sourceDirectories = {(src / "GEMINI.md").string()}; // a file where the folder should be
    s.setConfig(edited);
    EXPECT_EQ(s.importCurrentPrompt(), std::nullopt);
    edited.sourceDirectories.clear();
    s.setConfig(edited);
    const std::string before = status();
    EXPECT_FALSE(applyNow(mine));
    EXPECT_EQ(status(), before);
}

TEST_F(AppStateTest, LeftOutFilesAreCountedForTheLastRequestOnly)
{
    writeText(src / "commands/a.toml", "x");
    writeText(src / "commands/b.toml", "x");
    writeText(src / "run.sh", "x");
    AppState &s = start();
    QSignalSpy changes(&s, &AppState::leftOutSummaryChanged);
    s.surveyLeftOutFiles({src.string()}, {"md"});
    s.surveyLeftOutFiles({src.string()}, {"md", "json"});
    ASSERT_TRUE(waitUntil([&] { return !s.leftOutSummary().empty(); }));
    EXPECT_EQ(s.leftOutSummary(), "対象外: 3 件 (.toml 2、.sh 1)");
    s.surveyLeftOutFiles({src.string()}, {"md", "json", "toml", "sh"});
    ASSERT_TRUE(waitUntil([&] { return s.leftOutSummary().empty(); }));
    EXPECT_EQ(changes.count(), 2) << "only the last request is answered";
}

TEST_F(AppStateTest, ScheduledTriggerDroppedDuringARunIsNotRepeated)
{
    AppState &s = start(1500ms);
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    s.performManualBackup(); // waits for the lock, then fails
    clock.advance(61min);
    ASSERT_TRUE(waitUntil([&] { return s.nextBackupDate() == clock() + 1h; })); // the trigger came and went
    settle();
    EXPECT_EQ(status(), "バックアップ失敗: 別の処理がバックアップ先を使用中です");
    EXPECT_TRUE(s.backupState().is<BackupExecutionState::Failed>());
    EXPECT_TRUE(s.snapshots().empty());
    lock = std::unexpected(Error {});
    QSignalSpy states(&s, &AppState::backupStateChanged);
    clock.advance(30min);
    heartbeats(3);
    EXPECT_TRUE(states.isEmpty()); // nothing is due yet

    clock.advance(31min);
    ASSERT_TRUE(waitUntil([&] { return s.snapshots().size() == 1; }));
    settle();
    EXPECT_EQ(s.snapshots().front().triggerType, BackupTriggerType::scheduled);
}

// The template page's create and save get their ids and times here: a new template is stored at once
// with the starting text; saved edits keep the place and the creation time of the template they replace.
TEST_F(AppStateTest, CreatedAndEditedTemplatesGetTheirIdsAndTimesHere)
{
    AppState &s = start();
    const std::size_t presets = s.templates().size();
    const AddedTemplate first = s.createTemplate();
    const AddedTemplate second = s.createTemplate();
    ASSERT_TRUE(first.stored);
    EXPECT_EQ(contents({first.added}).front().substr(36),
        "|新規プロンプトテンプレート|# カスタムプロンプト\n\nここにルールや指示を記述します。|GEMINI.md");
    EXPECT_EQ(first.added.descriptionText, "カスタムプロンプトの説明を入力してね");
    EXPECT_EQ(std::tuple(first.added.kind, first.added.isPresetTemplate), std::tuple(TemplateKind::custom, false));
    EXPECT_EQ(first.added.createdAt, first.added.updatedAt);
    EXPECT_NE(first.added.id, second.added.id);
    EXPECT_TRUE(PromptTemplate::decode(Json::encodePretty(first.added.toJson()))) << "a valid id";
    ASSERT_EQ(s.templates().size(), presets + 2);
    EXPECT_EQ(s.templates()[presets], first.added);

    // An old preset edited: same place, still a preset, created when it was.
    PromptTemplate old = s.templates().front();
    old.createdAt = old.updatedAt = localTime(2020, 1, 2, 3, 4, 5);
    ASSERT_TRUE(s.saveTemplate(old));
    const TemplateEdits edits {"題", "説明", "本文", TemplateKind::review, "docs/AGENTS.md"};
    ASSERT_TRUE(s.saveTemplateEdits(old.id, edits, true));
    const PromptTemplate &saved = s.templates().front();
    EXPECT_EQ(std::tuple(saved.id, saved.title, saved.descriptionText, saved.promptContent, saved.kind,
                  saved.targetFileName, saved.isPresetTemplate),
        std::tuple(old.id, "題"s, "説明"s, "本文"s, TemplateKind::review, "docs/AGENTS.md"s, true));
    EXPECT_EQ(saved.createdAt, old.createdAt);
    EXPECT_GT(saved.updatedAt, old.updatedAt);

    // Presets stay; one deleted meanwhile comes back at the end, created now.
    ASSERT_TRUE(s.deleteTemplate(old.id));
    ASSERT_TRUE(s.deleteTemplate(second.added.id));
    EXPECT_EQ(s.templates().front().id, old.id);
    EXPECT_EQ(contents(TemplateService().loadTemplates()), contents(s.templates()));
    ASSERT_EQ(s.templates().size(), presets + 1);
    ASSERT_TRUE(s.saveTemplateEdits(second.added.id, edits, false));
    EXPECT_EQ(s.templates().back().id, second.added.id);
    EXPECT_EQ(s.templates().back().createdAt, s.templates().back().updatedAt);
}
