// `log PATH`: the distinct versions of one recorded file, newest first.
#include "CliSupport.h"
#include "Platform/Formatters.h"
#include "Platform/JsonCoding.h"
#include "Platform/QuotedName.h"
#include "Services/BackupService.h"
#include "Services/FileVersions.h"
#include "SnapshotCommands.h"

namespace velkaro::cli {

namespace {

void printVersionsJson(const std::vector<BackupSnapshot> &history, const std::vector<FileVersion> &versions)
{
    Json::Value array = Json::Value::array();
    for (const FileVersion &version : versions) {
        const BackupSnapshot &snapshot = history[version.snapshotIndex];
        array.push_back(Json::Value {{"id", snapshot.id}, {"createdAt", toISO8601(snapshot.createdAt)},
            {"triggerType", std::string(rawValue(snapshot.triggerType))}, {"size", version.size}});
    }
    printJson(Json::encodePretty(array));
}

int runLog(const Arguments &args)
{
    const std::string &path = args.positional.front();
    const BackupConfig config = loadConfig();
    const auto history = BackupService().loadHistory(config.destinationDirectory);
    const bool json = args.has("--json");
    const auto versions = fileVersions(SnapshotStore(config.destinationDirectory), history, path, !json);
    if (versions.empty()) {
        printError("どのスナップショットにもありません: " + quotedName(path));
        return kExitFailure;
    }
    if (json) {
        printVersionsJson(history, versions);
        return kExitSuccess;
    }
    for (const FileVersion &version : versions) {
        const BackupSnapshot &snapshot = history[version.snapshotIndex];
        std::string line = quotedName(snapshot.id) + "  " + snapshot.formattedDate() + "  "
            + std::to_string(version.size) + " バイト  " + std::string(rawValue(snapshot.triggerType));
        if (version.changes)
            line += "  +" + std::to_string(version.changes->added) + " \u2212"
                + std::to_string(version.changes->removed);
        printLine(line);
    }
    return kExitSuccess;
}

} // namespace

Command logCommand()
{
    return {.name = "log",
        .help = {{"PATH [--json]", "ファイルの版 (中身が変わったスナップショット) を新しい順に表示"}},
        .options = {{.name = "--json"}},
        .argument = "ファイルのパス",
        .run = runLog};
}

} // namespace velkaro::cli
