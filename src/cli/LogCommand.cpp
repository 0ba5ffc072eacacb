// `log PATH`: the distinct versions of one recorded file, newest first.
#include "CliSupport.h"
#include "Platform/Formatters.h"
#include "Platform/JsonCoding.h"
#include "Services/BackupService.h"
#include "Services/FileVersions.h"
#include "SnapshotCommands.h"

#include <cstdio>

namespace velkaro::cli {

namespace {

// A name with control characters, C-style in double quotes as git prints it, so that it can neither
// break a line nor reach the terminal as a sequence; any other name as it is.
std::string quotedName(std::string_view name)
{
    const bool plain = std::ranges::none_of(name, [](unsigned char c) { return c < 0x20 || c == 0x7f || c == '"'; })
        && name.find('\\') == std::string_view::npos;
    if (plain)
        return std::string(name);
    std::string out = "\"";
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char octal[8];
                std::snprintf(octal, sizeof octal, "\\%03o", c);
                out += octal;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

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
        std::string line = snapshot.id + "  " + snapshot.formattedDate() + "  " + std::to_string(version.size)
            + " バイト  " + std::string(rawValue(snapshot.triggerType));
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
