#include "Models/BackupSnapshot.h"

#include "Platform/Formatters.h"

#include <algorithm>

namespace velkaro {

namespace {

void combine(std::size_t &seed, std::size_t value)
{
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

} // namespace

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
    if (auto json = Json::parse(text))
        return fromJson(*json);
    return std::nullopt;
}

std::string encodeSnapshotList(const std::vector<BackupSnapshot> &snapshots)
{
    Json::Value array = Json::Value::array();
    for (const auto &snapshot : snapshots)
        array.push_back(snapshot.toJson());
    return Json::encodePretty(array);
}

std::optional<std::vector<BackupSnapshot>> decodeSnapshotList(std::string_view text)
{
    auto json = Json::parse(text);
    if (!json || !json->is_array())
        return std::nullopt;
    std::vector<BackupSnapshot> out;
    out.reserve(json->size());
    for (const auto &element : *json) {
        auto snapshot = BackupSnapshot::fromJson(element);
        if (!snapshot)
            return std::nullopt;
        out.push_back(std::move(*snapshot));
    }
    return out;
}

std::size_t hashValue(const BackupSnapshot &s)
{
    std::size_t seed = 0;
    const std::hash<std::string_view> text;
    combine(seed, text(s.id));
    combine(seed, std::hash<TimePoint::rep> {}(s.createdAt.time_since_epoch().count()));
    combine(seed, text(rawValue(s.triggerType)));
    combine(seed, std::hash<std::int64_t> {}(s.filesCount));
    combine(seed, std::hash<std::int64_t> {}(s.totalSizeBytes));
    combine(seed, s.relativeFilePaths.size());
    for (const auto &path : s.relativeFilePaths)
        combine(seed, text(path));
    combine(seed, s.note ? 1 : 0);
    if (s.note)
        combine(seed, text(*s.note));
    return seed;
}

} // namespace velkaro
