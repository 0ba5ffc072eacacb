#include "SnapshotCommands.h"

#include "CliSupport.h"
#include "Models/AppEnums.h"
#include "Platform/Formatters.h"
#include "Platform/JsonCoding.h"
#include "Platform/QuotedName.h"
#include "Services/BackupService.h"
#include "Services/RestoreService.h"
#include "Services/SnapshotLookup.h"
#include "Services/SourceSelection.h"

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>

namespace velkaro::cli {

namespace {

// At most `limit` characters of UTF-8 text, cut at a character boundary, with "…" when cut.
std::string shortened(std::string_view text, std::size_t limit)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80)
            continue;
        if (characters++ == limit)
            return std::string(text.substr(0, i)) + "…";
    }
    return std::string(text);
}

// One line on stderr, redrawn in place, for a terminal only. Redraws are rate-limited so that a
// backup of many small files does not spend its time writing to the terminal.
class ProgressLine
{
public:
    void show(const BackupExecutionState &state)
    {
        if (const auto *copying = state.as<BackupExecutionState::Copying>()) {
            const auto now = std::chrono::steady_clock::now();
            const int percent = static_cast<int>(copying->progress * 100.0);
            if (percent == m_percent && now - m_lastDraw < std::chrono::milliseconds(100))
                return;
            m_percent = percent;
            m_lastDraw = now;
            constexpr int kWidth = 24;
            const int filled = static_cast<int>(std::lround(copying->progress * kWidth));
            draw("[" + std::string(static_cast<std::size_t>(filled), '#')
                + std::string(static_cast<std::size_t>(kWidth - filled), '-') + "] " + std::to_string(percent) + "% "
                + shortened(quotedName(copying->currentFileName), 40));
        } else if (state.isRunning()) {
            draw(state.displayTitle());
        }
    }

    void clear()
    {
        if (m_drawn)
            std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }

private:
    void draw(const std::string &line)
    {
        std::fputs(("\r" + line + "\033[K").c_str(), stderr);
        std::fflush(stderr);
        m_drawn = true;
    }

    int m_percent = -1;
    std::chrono::steady_clock::time_point m_lastDraw;
    bool m_drawn = false;
};

RestoreScopeOption scopeNamed(std::string_view name)
{
    if (name == "markdown")
        return RestoreScopeOption::markdownOnly;
    if (name == "config")
        return RestoreScopeOption::configOnly;
    return RestoreScopeOption::allFiles;
}

// What a run would take and leave out, from the same selection as the run, touching nothing: two
// groups, each a header line with its count and then one absolute path per line in collection order,
// with an empty line between them. What the run could not read follows as "※" lines; then the exit
// code is a failure, as the run's would be.
int printDryRun(const BackupConfig &config)
{
    SelectionOptions options;
    options.excludedFolder = config.destinationDirectory;
    const SourceSurvey survey = surveySources(config.sourceDirectories, config.targetExtensions, options);
    printLine("バックアップ対象: " + std::to_string(survey.taken.size()) + " 件 ("
        + formatByteCount(survey.takenBytes()) + ")");
    for (const auto &file : survey.taken)
        printLine(quotedName(file.path));
    printLine("");
    printLine(survey.leftOut.empty() ? std::string("対象外: 0 件") : survey.leftOutSummary());
    for (const auto &file : survey.leftOut)
        printLine(quotedName(file.path));
    const SelectionReport &report = survey.report;
    for (const auto &failure : report.failedSources)
        printError("※ " + failure.description());
    if (report.unreadableFolderCount > 0)
        printError("※ 読み込めないフォルダが " + std::to_string(report.unreadableFolderCount)
            + " 件あります: " + quotedName(report.firstUnreadableFolder));
    return report.failedSources.empty() && report.unreadableFolderCount == 0 ? kExitSuccess : kExitFailure;
}

std::string notFoundText(std::string_view id)
{
    return "スナップショットが見つかりません: " + quotedName(id);
}

int runBackup(const Arguments &args)
{
    const BackupConfig config = loadConfig();
    if (args.has("--dry-run"))
        return printDryRun(config);
    ProgressLine progress;
    BackupProgressHandler handler;
    if (isTerminal(stderr))
        handler = [&](const BackupExecutionState &state) { progress.show(state); };
    const auto run = BackupService().executeBackup(config, BackupTriggerType::manual, handler);
    progress.clear();
    if (!run) {
        printError("バックアップ失敗: " + run.error().description);
        return kExitFailure;
    }
    // A snapshot of what could be read stands, but the run is a failure: said where failures go.
    if (!run->isComplete()) {
        printError(run->successMessage());
        return kExitFailure;
    }
    printLine(run->successMessage());
    return kExitSuccess;
}

int runList(const Arguments &args)
{
    const auto history = BackupService().loadHistory(loadConfig().destinationDirectory);
    if (args.has("--json")) {
        // Streamed: a long history is never held as one text.
        encodeSnapshotList(history, writeOut);
        writeOut("\n");
        return kExitSuccess;
    }
    if (history.empty()) {
        printLine("バックアップ履歴はありません");
        return kExitSuccess;
    }
    for (const auto &snapshot : history) {
        printLine(quotedName(snapshot.id) + "  " + snapshot.formattedDate() + "  "
            + std::string(rawValue(snapshot.triggerType)) + "  " + std::to_string(snapshot.filesCount) + " 件  "
            + snapshot.formattedSize());
    }
    return kExitSuccess;
}

int runShow(const Arguments &args)
{
    const std::string &id = args.positional.front();
    const auto snapshot = findListedSnapshot(loadConfig().destinationDirectory, id);
    if (!snapshot) {
        printError(notFoundText(id));
        return kExitFailure;
    }
    if (args.has("--json")) {
        printJson(snapshot->encode());
        return kExitSuccess;
    }
    printLine("ID: " + quotedName(snapshot->id));
    printLine("作成日時: " + snapshot->formattedDate());
    printLine("種類: " + std::string(rawValue(snapshot->triggerType)));
    printLine("ファイル数: " + std::to_string(snapshot->filesCount) + " 件 (Markdown "
        + std::to_string(snapshot->markdownFilesCount()) + " 件)");
    printLine("合計サイズ: " + snapshot->formattedSize());
    if (snapshot->note)
        printLine("メモ: " + quotedName(*snapshot->note));
    printLine("ファイル:");
    for (const auto &path : snapshot->relativeFilePaths)
        printLine("  " + quotedName(path));
    return kExitSuccess;
}

int runRestore(const Arguments &args)
{
    const auto *scopeName = args.value("--scope");
    const RestoreScopeOption scope = scopeNamed(scopeName ? *scopeName : "all");
    const BackupConfig config = loadConfig();
    const std::string &id = args.positional.front();
    const auto snapshot = findListedSnapshot(config.destinationDirectory, id);
    if (!snapshot) {
        printError("復元エラー: " + notFoundText(id));
        return kExitFailure;
    }
    // The service names the file it is at after this prefix: a name is quoted, the prefix is not.
    const auto report = [](const std::string &text) {
        constexpr std::string_view kRestoring = "復元中: ";
        printLine(
            text.starts_with(kRestoring) ? std::string(kRestoring) + quotedName(text.substr(kRestoring.size())) : text);
        std::fflush(stdout);
    };
    // Chosen files are restored whatever the scope says.
    const auto chosen = args.options.find("--file");
    const auto restored = chosen != args.options.end()
        ? RestoreService().executeRestore(*snapshot, config, chosen->second, report)
        : RestoreService().executeRestore(*snapshot, config, scope, report);
    if (!restored) {
        printError("復元エラー: " + restored.error().description);
        return kExitFailure;
    }
    printLine(restored->message());
    // Files that were not written make it a failure for scripts too, said where errors go.
    if (restored->isComplete())
        return kExitSuccess;
    printError(restored->message());
    printError("復元できなかったファイル:");
    for (const auto &failure : restored->failures)
        printError("  " + quotedName(failure.path) + ": " + failure.reason);
    return kExitFailure;
}

int runDelete(const Arguments &args)
{
    const BackupConfig config = loadConfig();
    const std::string &id = args.positional.front();
    const BackupService service;
    const auto snapshot = findListedSnapshot(config.destinationDirectory, id);
    if (!snapshot) {
        printError("削除エラー: " + notFoundText(id));
        return kExitFailure;
    }
    if (auto deleted = service.deleteSnapshot(*snapshot, config.destinationDirectory); !deleted) {
        printError("削除エラー: " + deleted.error().description);
        return kExitFailure;
    }
    printLine("スナップショットを削除しました: " + quotedName(snapshot->id));
    return kExitSuccess;
}

} // namespace

Command backupCommand()
{
    return {.name = "backup",
        .help
        = {{"[--dry-run]", "保存された設定でバックアップを1回実行\n(--dry-run: 対象と対象外のファイルを表示するだけ)"}},
        .options = {{.name = "--dry-run"}},
        .run = runBackup};
}

Command listCommand()
{
    return {.name = "list",
        .help = {{"[--json]", "バックアップ履歴を新しい順に表示"}},
        .options = {{.name = "--json"}},
        .run = runList};
}

Command showCommand()
{
    return {.name = "show",
        .help = {{"ID [--json]", "スナップショットとそのファイルを表示"}},
        .options = {{.name = "--json"}},
        .argument = kSnapshotId,
        .run = runShow};
}

Command restoreCommand()
{
    return {.name = "restore",
        .help = {{"ID [--scope all|markdown|config]", "スナップショットを復元 (既定: all)"},
            {"ID --file PATH [--file PATH ...]", "指定したファイルだけを復元"}},
        .options = {{.name = "--scope", .takesValue = true, .choices = {"all", "markdown", "config"}},
            {.name = "--file", .takesValue = true, .repeatable = true}},
        .argument = kSnapshotId,
        .run = runRestore};
}

Command deleteCommand()
{
    return {.name = "delete", .help = {{"ID", "スナップショットを削除"}}, .argument = kSnapshotId, .run = runDelete};
}

} // namespace velkaro::cli
