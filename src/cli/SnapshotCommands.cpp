#include "SnapshotCommands.h"

#include "CliSupport.h"
#include "Models/AppEnums.h"
#include "Platform/Formatters.h"
#include "Platform/JsonCoding.h"
#include "Services/BackupService.h"
#include "Services/RestoreService.h"
#include "Services/SourceWalk.h"

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
                + shortened(copying->currentFileName, 40));
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

std::optional<RestoreScopeOption> scopeNamed(std::string_view name)
{
    if (name == "all")
        return RestoreScopeOption::allFiles;
    if (name == "markdown")
        return RestoreScopeOption::markdownOnly;
    if (name == "config")
        return RestoreScopeOption::configOnly;
    return std::nullopt;
}

// Parses a command that takes exactly `positionalCount` words; prints the usage problem otherwise.
std::optional<Arguments> commandArguments(const std::vector<std::string> &args, std::size_t positionalCount,
    const std::set<std::string, std::less<>> &flags, const std::set<std::string, std::less<>> &valueOptions,
    int &exitCode)
{
    auto parsed = parseArguments(args, flags, valueOptions);
    if (!parsed) {
        exitCode = usageError(parsed.error());
        return std::nullopt;
    }
    if (parsed->wantsHelp) {
        printUsage(stdout);
        exitCode = kExitSuccess;
        return std::nullopt;
    }
    if (parsed->positional.size() != positionalCount) {
        exitCode = usageError(positionalCount == 0 ? "引数が多すぎます" : "スナップショット ID を1つ指定してください");
        return std::nullopt;
    }
    return std::move(*parsed);
}

// What a run would take and leave out, from the same walk as the run, touching nothing: two groups,
// each a header line with its count and then one absolute path per line in collection order, with an
// empty line between them.
int printDryRun(const BackupConfig &config)
{
    SourceWalkOptions options;
    options.excludedFolder = config.destinationDirectory;
    const SourceSurvey survey = surveySources(config.sourceDirectories, config.targetExtensions, options);
    std::int64_t bytes = 0;
    for (const auto &path : survey.taken) {
        struct stat st = {};
        if (::lstat(path.c_str(), &st) == 0)
            bytes += st.st_size;
    }
    printLine("バックアップ対象: " + std::to_string(survey.taken.size()) + " 件 (" + formatByteCount(bytes) + ")");
    for (const auto &path : survey.taken)
        printLine(path);
    printLine("");
    printLine(survey.leftOut.empty() ? std::string("対象外: 0 件") : survey.leftOutSummary());
    for (const auto &path : survey.leftOut)
        printLine(path);
    if (survey.unreadableFolderCount > 0)
        printError("※ 読み込めないフォルダが " + std::to_string(survey.unreadableFolderCount) + " 件あります");
    return kExitSuccess;
}

std::string notFoundText(std::string_view id)
{
    return "スナップショットが見つかりません: " + std::string(id);
}

} // namespace

int runBackupCommand(const std::vector<std::string> &args)
{
    int exitCode = kExitSuccess;
    const auto parsed = commandArguments(args, 0, {"--dry-run"}, {}, exitCode);
    if (!parsed)
        return exitCode;

    const BackupConfig config = loadConfig();
    if (parsed->options.contains("--dry-run"))
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
    printLine(run->successMessage());
    return kExitSuccess;
}

int runListCommand(const std::vector<std::string> &args)
{
    int exitCode = kExitSuccess;
    const auto parsed = commandArguments(args, 0, {"--json"}, {}, exitCode);
    if (!parsed)
        return exitCode;

    const auto history = BackupService().loadHistory(loadConfig().destinationDirectory);
    if (parsed->options.contains("--json")) {
        // Streamed: a long history is never held as one text.
        encodeSnapshotList(history, [](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), stdout); });
        std::fputc('\n', stdout);
        return kExitSuccess;
    }
    if (history.empty()) {
        printLine("バックアップ履歴はありません");
        return kExitSuccess;
    }
    for (const auto &snapshot : history) {
        printLine(snapshot.id + "  " + snapshot.formattedDate() + "  " + std::string(rawValue(snapshot.triggerType))
            + "  " + std::to_string(snapshot.filesCount) + " 件  " + snapshot.formattedSize());
    }
    return kExitSuccess;
}

int runShowCommand(const std::vector<std::string> &args)
{
    int exitCode = kExitSuccess;
    const auto parsed = commandArguments(args, 1, {"--json"}, {}, exitCode);
    if (!parsed)
        return exitCode;

    const std::string &id = parsed->positional.front();
    const auto snapshot = findSnapshot(BackupService().loadHistory(loadConfig().destinationDirectory), id);
    if (!snapshot) {
        printError(notFoundText(id));
        return kExitFailure;
    }
    if (parsed->options.contains("--json")) {
        printJson(snapshot->encode());
        return kExitSuccess;
    }
    printLine("ID: " + snapshot->id);
    printLine("作成日時: " + snapshot->formattedDate());
    printLine("種類: " + std::string(rawValue(snapshot->triggerType)));
    printLine("ファイル数: " + std::to_string(snapshot->filesCount) + " 件 (Markdown "
        + std::to_string(snapshot->markdownFilesCount()) + " 件)");
    printLine("合計サイズ: " + snapshot->formattedSize());
    if (snapshot->note)
        printLine("メモ: " + *snapshot->note);
    printLine("ファイル:");
    for (const auto &path : snapshot->relativeFilePaths)
        printLine("  " + path);
    return kExitSuccess;
}

int runRestoreCommand(const std::vector<std::string> &args)
{
    int exitCode = kExitSuccess;
    const auto parsed = commandArguments(args, 1, {}, {"--scope", "--file"}, exitCode);
    if (!parsed)
        return exitCode;
    auto scope = std::optional(RestoreScopeOption::allFiles);
    if (const auto it = parsed->options.find("--scope"); it != parsed->options.end()) {
        scope = scopeNamed(it->second);
        if (!scope)
            return usageError("--scope には all, markdown, config のどれかを指定してください");
    }

    const BackupConfig config = loadConfig();
    const std::string &id = parsed->positional.front();
    const auto snapshot = findSnapshot(BackupService().loadHistory(config.destinationDirectory), id);
    if (!snapshot) {
        printError("復元エラー: " + notFoundText(id));
        return kExitFailure;
    }
    const auto report = [](const std::string &text) {
        printLine(text);
        std::fflush(stdout);
    };
    // Chosen files are restored whatever the scope says.
    const auto chosen = parsed->values.find("--file");
    const auto restored = chosen != parsed->values.end()
        ? RestoreService().executeRestore(*snapshot, config, chosen->second, report)
        : RestoreService().executeRestore(*snapshot, config, *scope, report);
    if (!restored) {
        printError("復元エラー: " + restored.error().description);
        return kExitFailure;
    }
    printLine(restored->message());
    // Files that were chosen but not written make it a failure for scripts too.
    return restored->isComplete() ? kExitSuccess : kExitFailure;
}

int runDeleteCommand(const std::vector<std::string> &args)
{
    int exitCode = kExitSuccess;
    const auto parsed = commandArguments(args, 1, {}, {}, exitCode);
    if (!parsed)
        return exitCode;

    const BackupConfig config = loadConfig();
    const std::string &id = parsed->positional.front();
    const BackupService service;
    const auto snapshot = findSnapshot(service.loadHistory(config.destinationDirectory), id);
    if (!snapshot) {
        printError("削除エラー: " + notFoundText(id));
        return kExitFailure;
    }
    if (auto deleted = service.deleteSnapshot(*snapshot, config.destinationDirectory); !deleted) {
        printError("削除エラー: " + deleted.error().description);
        return kExitFailure;
    }
    printLine("スナップショットを削除しました: " + id);
    return kExitSuccess;
}

} // namespace velkaro::cli
