#pragma once

#include "Models/AppEnums.h"
#include "Platform/JsonCoding.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velkaro {

// One snapshot: when it was taken, why, which files it holds and how large they are. The id is also
// the snapshot folder's path below snapshots/ ("yyyy-MM-dd/snapshot_HHmmss", local time).
struct BackupSnapshot {
    std::string id;
    TimePoint createdAt;
    BackupTriggerType triggerType = BackupTriggerType::manual;
    std::int64_t filesCount = 0;
    std::int64_t totalSizeBytes = 0;
    std::vector<std::string> relativeFilePaths; // below the snapshot's data/ folder, "/"-separated
    std::optional<std::string> note; // never set by the program; carried along when read

    bool operator==(const BackupSnapshot &) const = default;

    std::string formattedDate() const; // "yyyy/MM/dd HH:mm:ss", local time
    std::string formattedSize() const;
    // Entries ending in ".md" exactly (".MD" does not count).
    std::int64_t markdownFilesCount() const;

    Json::Value toJson() const;
    static std::optional<BackupSnapshot> fromJson(const Json::Value &json);
    static std::optional<BackupSnapshot> decode(std::string_view text);
};

// history.json is an array of snapshot objects; one bad element fails the whole array.
std::string encodeSnapshotList(const std::vector<BackupSnapshot> &snapshots);
std::optional<std::vector<BackupSnapshot>> decodeSnapshotList(std::string_view text);

std::size_t hashValue(const BackupSnapshot &snapshot);

} // namespace velkaro

template<>
struct std::hash<velkaro::BackupSnapshot> {
    std::size_t operator()(const velkaro::BackupSnapshot &snapshot) const { return velkaro::hashValue(snapshot); }
};
