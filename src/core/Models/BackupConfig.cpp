#include "Models/BackupConfig.h"

#include "Platform/FileSystem.h"
#include "Platform/QuotedName.h"

#include <algorithm>
#include <string>

namespace velkaro {

std::vector<std::string> BackupConfig::defaultSources()
{
    return {(FileSystem::homeDirectory() / ".gemini").string()};
}

std::string BackupConfig::defaultDestination()
{
    return (FileSystem::homeDirectory() / "Documents/VelkaroAntigraviti_Backups").string();
}

std::filesystem::path BackupConfig::defaultConfigFilePath()
{
    return FileSystem::applicationSupportDirectory() / "config.json";
}

Json::Value BackupConfig::toJson() const
{
    Json::Value json = Json::Value::object();
    json["sourceDirectories"] = sourceDirectories;
    json["destinationDirectory"] = destinationDirectory;
    json["targetExtensions"] = targetExtensions;
    json["backupInterval"] = rawValue(backupInterval);
    json["autoLaunchState"] = rawValue(autoLaunchState);
    json["startupWindowMode"] = rawValue(startupWindowMode);
    json["notificationMode"] = rawValue(notificationMode);
    json["maxSnapshotsLimit"] = maxSnapshotsLimit;
    json["shouldIncludeSubdirectories"] = shouldIncludeSubdirectories;
    return json;
}

std::optional<BackupConfig> BackupConfig::fromJson(const Json::Value &json)
{
    auto sources = Json::getStringArray(json, "sourceDirectories");
    auto destination = Json::getString(json, "destinationDirectory");
    auto extensions = Json::getStringArray(json, "targetExtensions");
    auto interval = Json::getEnum<BackupInterval>(json, "backupInterval");
    auto launch = Json::getEnum<AutoLaunchState>(json, "autoLaunchState");
    auto startup = Json::getEnum<StartupWindowMode>(json, "startupWindowMode");
    auto notification = Json::getEnum<NotificationSettingMode>(json, "notificationMode");
    auto limit = Json::getInt64(json, "maxSnapshotsLimit");
    auto subdirectories = Json::getBool(json, "shouldIncludeSubdirectories");
    if (!sources || !destination || !extensions || !interval || !launch || !startup || !notification || !limit
        || !subdirectories)
        return std::nullopt;
    // A folder path with a NUL would name another folder at the system call.
    const auto hasNul = [](const std::string &path) { return path.find('\0') != std::string::npos; };
    if (hasNul(*destination) || std::ranges::any_of(*sources, hasNul))
        return std::nullopt;
    return BackupConfig {std::move(*sources), std::move(*destination), std::move(*extensions), *interval, *launch,
        *startup, *notification, *limit, *subdirectories};
}

std::optional<BackupConfig> BackupConfig::decode(std::string_view text)
{
    if (auto json = Json::parse(text))
        return fromJson(*json);
    return std::nullopt;
}

std::optional<BackupConfig> BackupConfig::readFile(const std::filesystem::path &path)
{
    auto loaded = load(path);
    return loaded ? std::move(*loaded) : std::nullopt;
}

Result<std::optional<BackupConfig>> BackupConfig::load(const std::filesystem::path &path)
{
    auto text = FileSystem::readFile(path);
    if (!text) {
        if (FileSystem::isNotFound(text.error()))
            return std::optional<BackupConfig>();
        return std::unexpected(text.error());
    }
    auto config = decode(*text);
    if (config)
        config->expandHomePaths();
    return config;
}

void BackupConfig::expandHomePaths()
{
    destinationDirectory = FileSystem::expandHome(destinationDirectory);
    for (auto &source : sourceDirectories)
        source = FileSystem::expandHome(source);
}

std::optional<Error> BackupConfig::pathProblem() const
{
    // The same words as the settings page, whose field names these are.
    const auto refused = [](const std::string &field, const std::string &path) {
        const std::string text = path.empty()
            ? "設定の「" + field + "」が空っぽです"
            : "設定の「" + field + "」は / か ~ で始まるフルパスにしてね: " + quotedName(path);
        return Error {kErrorDomain, kInvalidPath, text};
    };
    if (destinationDirectory.empty() || destinationDirectory.front() != '/')
        return refused("バックアップ保存先フォルダ", destinationDirectory);
    for (std::size_t i = 0; i < sourceDirectories.size(); ++i) {
        const std::string &source = sourceDirectories[i];
        // A later empty row names no folder (the settings page keeps it); the first is where restores go.
        if ((source.empty() && i == 0) || (!source.empty() && source.front() != '/'))
            return refused("対象フォルダ " + std::to_string(i + 1), source);
    }
    return std::nullopt;
}

Result<void> BackupConfig::writeFile(const std::filesystem::path &path) const
{
    return FileSystem::writeFileKeepingDamaged(
        path, Json::encodePretty(toJson()), [](std::string_view text) { return decode(text).has_value(); }, true);
}

} // namespace velkaro
