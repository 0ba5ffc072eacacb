#include "Models/BackupSnapshot.h"

#include "Platform/Formatters.h"

#include <algorithm>

namespace velkaro {

std::string BackupSnapshot::formattedDate() const
{
    return formatDate(createdAt, "yyyy/MM/dd HH:mm:ss");
}

std::string BackupSnapshot::formattedSize() const
{
    return formatByteCount(totalSizeBytes);
}

std::int64_t BackupSnapshot::markdownFilesCount() const
{
    return std::count_if(relativeFilePaths.begin(), relativeFilePaths.end(),
                         [](const std::string &path) { return path.ends_with(".md"); });
}

Json::Value BackupSnapshot::toJson() const
{
    Json::Value json = Json::Value::object();
    json["id"] = id;
    json["createdAt"] = toISO8601(createdAt);
    json["triggerType"] = rawValue(triggerType);
    json["filesCount"] = filesCount;
    json["totalSizeBytes"] = totalSizeBytes;
    json["relativeFilePaths"] = relativeFilePaths;
    if (note)
        json["note"] = *note;
    return json;
}

std::optional<BackupSnapshot> BackupSnapshot::fromJson(const Json::Value &json)
{
    auto snapshotId = Json::getString(json, "id");
    auto created = Json::getDate(json, "createdAt");
    auto trigger = Json::getEnum<BackupTriggerType>(json, "triggerType");
    auto count = Json::getInt64(json, "filesCount");
    auto size = Json::getInt64(json, "totalSizeBytes");
    auto paths = Json::getStringArray(json, "relativeFilePaths");
    if (!snapshotId || !created || !trigger || !count || !size || !paths)
        return std::nullopt;

    std::optional<std::string> note;
    if (const auto it = json.find("note"); it != json.end() && !it->is_null()) {
        if (!it->is_string())
            return std::nullopt;
        note = it->get<std::string>();
    }
    return BackupSnapshot {std::move(*snapshotId), *created, *trigger, *count, *size, std::move(*paths),
                           std::move(note)};
}

std::optional<BackupSnapshot> BackupSnapshot::decode(std::string_view text)
{
    return Json::decodeObject<BackupSnapshot>(text);
}

std::string encodeSnapshotList(const std::vector<BackupSnapshot> &snapshots)
{
    return Json::encodeArray(snapshots);
}

std::optional<std::vector<BackupSnapshot>> decodeSnapshotList(std::string_view text)
{
    return Json::decodeArray<BackupSnapshot>(text);
}

std::size_t hashValue(const BackupSnapshot &s)
{
    std::size_t seed = 0;
    const std::hash<std::string_view> text;
    Json::hashCombine(seed, text(s.id));
    Json::hashCombine(seed, std::hash<TimePoint::rep> {}(s.createdAt.time_since_epoch().count()));
    Json::hashCombine(seed, text(rawValue(s.triggerType)));
    Json::hashCombine(seed, std::hash<std::int64_t> {}(s.filesCount));
    Json::hashCombine(seed, std::hash<std::int64_t> {}(s.totalSizeBytes));
    Json::hashCombine(seed, s.relativeFilePaths.size());
    for (const auto &path : s.relativeFilePaths)
        Json::hashCombine(seed, text(path));
    Json::hashCombine(seed, s.note ? 1 : 0);
    if (s.note)
        Json::hashCombine(seed, text(*s.note));
    return seed;
}

} // namespace velkaro
