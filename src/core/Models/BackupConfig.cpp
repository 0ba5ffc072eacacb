#include "Models/BackupConfig.h"

#include "Platform/FileSystem.h"

#include <algorithm>

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
    if (auto text = FileSystem::readFile(path))
        return decode(*text);
    return std::nullopt;
}

Result<void> BackupConfig::writeFile(const std::filesystem::path &path) const
{
    return FileSystem::writeFileKeepingDamaged(
        path, Json::encodePretty(toJson()), [](std::string_view text) { return decode(text).has_value(); });
}

} // namespace velkaro
