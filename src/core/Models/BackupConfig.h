#pragma once

#include "Models/AppEnums.h"
#include "Platform/Error.h"
#include "Platform/JsonCoding.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velkaro {

// The user's settings, as saved in config.json.
struct BackupConfig
{
    // The error pathProblem gives.
    static constexpr const char *kErrorDomain = "BackupConfig";
    static constexpr int kInvalidPath = 400;

    std::vector<std::string> sourceDirectories = defaultSources();
    std::string destinationDirectory = defaultDestination();
    std::vector<std::string> targetExtensions {"md", "json", "pbtxt", "yaml", "yml", "txt", "proto", "pb", "toml"};
    BackupInterval backupInterval = BackupInterval::hourly;
    AutoLaunchState autoLaunchState = AutoLaunchState::disabled;
    StartupWindowMode startupWindowMode = StartupWindowMode::showWindow;
    NotificationSettingMode notificationMode = NotificationSettingMode::all;
    std::int64_t maxSnapshotsLimit = 30;
    // Kept and written back unchanged; collection always descends into sub-folders.
    bool shouldIncludeSubdirectories = true;

    bool operator==(const BackupConfig &) const = default;

    // Computed from the home folder each time they are asked for.
    static std::vector<std::string> defaultSources(); // ~/.gemini
    static std::string defaultDestination(); // ~/Documents/VelkaroAntigraviti_Backups
    static std::filesystem::path defaultConfigFilePath(); // <application support>/config.json

    Json::Value toJson() const;
    // All nine members are required with their exact types and labels; other members are ignored.
    static std::optional<BackupConfig> fromJson(const Json::Value &json);
    static std::optional<BackupConfig> decode(std::string_view text);

    // The configuration in the file, or nothing when it is missing, unreadable or not decodable. "~" and
    // "~/..." in the folder paths are expanded, as the settings page does.
    static std::optional<BackupConfig> readFile(const std::filesystem::path &path = defaultConfigFilePath());
    // The same, except that a file that stands but cannot be read (an I/O error, no permission) is that
    // error: the defaults would send a run to another store than the one the user chose.
    static Result<std::optional<BackupConfig>> load(const std::filesystem::path &path = defaultConfigFilePath());
    void expandHomePaths();
    // The settings page's path rules, for every reader of the file: an empty or relative destination, a
    // relative source or an empty first source (where restores and templates write) is refused with
    // the field named. Nothing when the paths are usable.
    std::optional<Error> pathProblem() const;
    // Writes the file crash-safely and private (0600); a damaged file standing there is kept aside.
    Result<void> writeFile(const std::filesystem::path &path = defaultConfigFilePath()) const;
};

} // namespace velkaro
