#include "CliSupport.h"
#include "Platform/FileSystem.h"
#include "Services/BackupService.h"
#include "Services/SnapshotCompare.h"
#include "Services/TextDiff.h"
#include "SnapshotCommands.h"

#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace velkaro::cli {

namespace {

// As diff(1): 0 the same, 1 different, 2 trouble.
constexpr int kDiffSame = 0;
constexpr int kDiffDifferent = 1;
constexpr int kDiffTrouble = 2;

std::optional<std::string> readWhole(const std::filesystem::path &path)
{
    auto content = FileSystem::readFile(path);
    if (!content)
        return std::nullopt;
    return std::move(*content);
}

// The mode git would record the file with: executable by its owner or not.
std::string gitFileMode(const std::filesystem::path &file)
{
    struct stat st = {};
    return ::stat(file.c_str(), &st) == 0 && (st.st_mode & S_IXUSR) ? "100755" : "100644";
}

char markOf(CompareState state)
{
    switch (state) {
    case CompareState::changed:
        return 'M';
    case CompareState::added:
        return '+';
    case CompareState::removed:
        return '-';
    case CompareState::missing:
        return '?';
    case CompareState::unchanged:
        break;
    }
    return ' ';
}

int printComparison(const CompareResult &result, bool json)
{
    const auto missing = result.count(CompareState::missing);
    if (json) {
        nlohmann::json out = {{"changed", nlohmann::json::array()}, {"added", nlohmann::json::array()},
            {"removed", nlohmann::json::array()}, {"unchanged", result.count(CompareState::unchanged)}};
        for (const auto &entry : result.entries) {
            if (entry.state == CompareState::changed)
                out["changed"].push_back(entry.path);
            else if (entry.state == CompareState::added)
                out["added"].push_back(entry.path);
            else if (entry.state == CompareState::removed)
                out["removed"].push_back(entry.path);
            else if (entry.state == CompareState::missing)
                out["missing"].push_back(entry.path);
        }
        printJson(out.dump(2));
    } else {
        for (const auto &entry : result.entries) {
            if (entry.state != CompareState::unchanged)
                printLine(std::string(1, markOf(entry.state)) + "  " + entry.path);
        }
        printLine("変更 " + std::to_string(result.count(CompareState::changed)) + " 件、追加 "
            + std::to_string(result.count(CompareState::added)) + " 件、削除 "
            + std::to_string(result.count(CompareState::removed)) + " 件、変更なし "
            + std::to_string(result.count(CompareState::unchanged)) + " 件");
    }
    // A recorded file without its stored copy could not be compared: that is trouble, not a difference.
    if (missing > 0) {
        printError("※ スナップショットのデータに見つからないファイルが " + std::to_string(missing) + " 件あります");
        return kDiffTrouble;
    }
    return result.differs() ? kDiffDifferent : kDiffSame;
}

// The unified diff of one path between two sides; a file absent from one side counts as empty there.
int printFileDiff(const CompareSide &older, const CompareSide &newer, const std::string &path,
    const std::string &olderName, const std::string &newerName)
{
    const auto before = older.find(path);
    const auto after = newer.find(path);
    if (before == older.end() && after == newer.end()) {
        printError("ファイルが見つかりません: " + path);
        return kDiffTrouble;
    }
    const auto contentOf = [&](CompareSide::const_iterator it, const CompareSide &side) -> std::optional<std::string> {
        if (it == side.end())
            return std::string();
        return it->second ? readWhole(*it->second) : std::nullopt;
    };
    const auto oldText = contentOf(before, older);
    const auto newText = contentOf(after, newer);
    if (!oldText || !newText) {
        printError("ファイルを読み込めません: " + path);
        return kDiffTrouble;
    }
    const std::string oldLabel = olderName + "/" + path;
    const std::string newLabel = newerName + "/" + path;
    if (*oldText == *newText) {
        if (before != older.end() && after != newer.end())
            return kDiffSame;
        // An empty file on one side only has no lines to show: say it came or went as git does, which
        // patch reads too.
        const auto &present = before != older.end() ? before->second : after->second;
        printLine("diff --git " + oldLabel + " " + newLabel);
        printLine(std::string(before != older.end() ? "deleted" : "new") + " file mode " + gitFileMode(*present));
        return kDiffDifferent;
    }
    if (looksBinary(*oldText) || looksBinary(*newText)) {
        printLine("バイナリファイルが異なります: " + oldLabel + " (" + std::to_string(oldText->size()) + " バイト) と "
            + newLabel + " (" + std::to_string(newText->size()) + " バイト)");
        return kDiffDifferent;
    }
    const std::string diff = unifiedDiff(*oldText, *newText, oldLabel, newLabel);
    std::fwrite(diff.data(), 1, diff.size(), stdout);
    return kDiffDifferent;
}

} // namespace

int runDiffCommand(const std::vector<std::string> &args)
{
    auto parsed = parseArguments(args, {"--json"}, {"--against", "--file"});
    if (!parsed)
        return usageError(parsed.error());
    if (parsed->wantsHelp) {
        printUsage(stdout);
        return kExitSuccess;
    }
    if (parsed->positional.size() != 1)
        return usageError("スナップショット ID を1つ指定してください");
    const auto &options = parsed->options;
    if (options.contains("--json") && options.contains("--file"))
        return usageError("--json と --file は一緒に使えません");

    const BackupConfig config = loadConfig();
    const auto history = BackupService().loadHistory(config.destinationDirectory);
    const SnapshotStore store {config.destinationDirectory};
    const std::string &id = parsed->positional.front();
    const auto snapshot = findSnapshot(history, id);
    if (!snapshot) {
        printError("スナップショットが見つかりません: " + id);
        return kDiffTrouble;
    }
    std::optional<BackupSnapshot> other;
    if (const auto against = options.find("--against"); against != options.end()) {
        other = findSnapshot(history, against->second);
        if (!other) {
            printError("スナップショットが見つかりません: " + against->second);
            return kDiffTrouble;
        }
    }
    if (const auto file = options.find("--file"); file != options.end()) {
        return printFileDiff(snapshotSide(store, *snapshot), other ? snapshotSide(store, *other) : currentSide(config),
            file->second, snapshot->id, other ? other->id : std::string("now"));
    }
    const CompareResult result
        = other ? compareSnapshots(store, *snapshot, *other) : compareWithCurrent(store, *snapshot, config);
    return printComparison(result, options.contains("--json"));
}

} // namespace velkaro::cli
