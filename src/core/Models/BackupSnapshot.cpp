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
    json["relativeFilePaths"] = relativeFilePaths.items();
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
    return BackupSnapshot {
        std::move(*snapshotId), *created, *trigger, *count, *size, std::move(*paths), std::move(note)};
}

namespace {

// One snapshot object from the reader, by the rules of fromJson: every member present with its type,
// "note" a string or null, other members ignored, a repeated member read as its last occurrence.
// `previous` is the path list of the snapshot before it, shared when this one records the same.
std::optional<BackupSnapshot> readSnapshot(Json::JsonReader &reader, const PathList &previous)
{
    using Kind = Json::JsonReader::Kind;
    if (reader.peek() != Kind::object || !reader.beginObject())
        return std::nullopt;
    std::optional<std::string> snapshotId;
    std::optional<TimePoint> created;
    std::optional<BackupTriggerType> trigger;
    std::optional<std::int64_t> count;
    std::optional<std::int64_t> size;
    std::optional<PathList> paths;
    std::optional<std::string> note;
    bool badNote = false;

    std::string key;
    std::string text;
    const auto readText = [&](std::optional<std::string> &into) {
        into.reset();
        if (reader.peek() != Kind::string)
            return reader.skipValue();
        into.emplace();
        return reader.readString(*into);
    };
    const auto readInteger = [&](std::optional<std::int64_t> &into) {
        into.reset();
        if (reader.peek() != Kind::number)
            return reader.skipValue();
        return reader.readNumber(into);
    };
    while (reader.nextMember(key)) {
        bool read = true;
        if (key == "id") {
            read = readText(snapshotId);
        } else if (key == "createdAt" || key == "triggerType") {
            std::optional<std::string> value;
            read = readText(value);
            if (key == "createdAt")
                created = value ? fromISO8601(*value) : std::nullopt;
            else
                trigger = value ? fromRawValue<BackupTriggerType>(*value) : std::nullopt;
        } else if (key == "filesCount") {
            read = readInteger(count);
        } else if (key == "totalSizeBytes") {
            read = readInteger(size);
        } else if (key == "note") {
            note.reset();
            badNote = false;
            if (reader.peek() == Kind::null) {
                read = reader.readNull();
            } else if (reader.peek() == Kind::string) {
                read = readText(note);
            } else {
                badNote = true;
                read = reader.skipValue();
            }
        } else if (key == "relativeFilePaths") {
            paths.reset();
            if (reader.peek() != Kind::array) {
                read = reader.skipValue();
            } else {
                // Compared with the previous list while they agree; copied out at the first difference.
                const auto &candidate = previous.items();
                std::vector<std::string> own;
                std::size_t matched = 0;
                bool matching = true;
                bool bad = false;
                reader.beginArray();
                while (read && reader.nextElement()) {
                    if (bad || reader.peek() != Kind::string) {
                        bad = true;
                        read = reader.skipValue();
                        continue;
                    }
                    read = reader.readString(text);
                    if (matching && matched < candidate.size() && candidate[matched] == text) {
                        ++matched;
                        continue;
                    }
                    if (matching) {
                        matching = false;
                        own.reserve(std::max(candidate.size(), matched + 1));
                        own.assign(candidate.begin(), candidate.begin() + static_cast<std::ptrdiff_t>(matched));
                    }
                    own.push_back(text);
                }
                if (reader.failed())
                    return std::nullopt;
                if (!bad) {
                    if (matching && matched == candidate.size())
                        paths = previous;
                    else if (matching)
                        paths = PathList(std::vector<std::string>(
                            candidate.begin(), candidate.begin() + static_cast<std::ptrdiff_t>(matched)));
                    else
                        paths = PathList(std::move(own));
                }
            }
        } else {
            read = reader.skipValue();
        }
        if (!read)
            return std::nullopt;
    }
    if (reader.failed() || !snapshotId || !created || !trigger || !count || !size || !paths || badNote)
        return std::nullopt;
    return BackupSnapshot {
        std::move(*snapshotId), *created, *trigger, *count, *size, std::move(*paths), std::move(note)};
}

} // namespace

std::optional<BackupSnapshot> BackupSnapshot::decode(std::string_view text)
{
    Json::JsonReader reader(text);
    auto snapshot = readSnapshot(reader, {});
    if (!snapshot || !reader.finish())
        return std::nullopt;
    return snapshot;
}

std::string encodeSnapshotList(const std::vector<BackupSnapshot> &snapshots)
{
    std::string text;
    encodeSnapshotList(snapshots, [&](std::string_view piece) { text += piece; });
    return text;
}

namespace {

constexpr std::size_t kPiece = 1 << 16;

// One snapshot in the tree writer's pretty form, its closing brace indented by `indent` spaces (the
// caller places the opening one). Calls `spill` after every path, so that a streaming caller can hand
// on a full piece.
template<class Spill>
void appendSnapshot(std::string &out, const BackupSnapshot &s, std::size_t indent, const Spill &spill)
{
    const std::string pad(indent, ' ');
    const std::string next = ",\n" + pad + "  "; // before every member but the first
    out += "{\n" + pad + "  \"id\": ";
    Json::appendString(out, s.id);
    out += next + "\"createdAt\": ";
    Json::appendString(out, toISO8601(s.createdAt));
    out += next + "\"triggerType\": ";
    Json::appendString(out, rawValue(s.triggerType));
    out += next + "\"filesCount\": " + std::to_string(s.filesCount);
    out += next + "\"totalSizeBytes\": " + std::to_string(s.totalSizeBytes);
    out += next + "\"relativeFilePaths\": ";
    if (s.relativeFilePaths.empty()) {
        out += "[]";
    } else {
        const std::string item = "\n" + pad + "    ";
        out += '[';
        bool first = true;
        for (const auto &path : s.relativeFilePaths) {
            if (!first)
                out += ',';
            first = false;
            out += item;
            Json::appendString(out, path);
            spill();
        }
        out += "\n" + pad + "  ]";
    }
    if (s.note) {
        out += next + "\"note\": ";
        Json::appendString(out, *s.note);
    }
    out += "\n" + pad + "}";
}

} // namespace

std::string BackupSnapshot::encode() const
{
    std::string out;
    appendSnapshot(out, *this, 0, [] {});
    return out;
}

void encodeSnapshotList(const std::vector<BackupSnapshot> &snapshots, const Json::Emit &emit)
{
    if (snapshots.empty()) {
        emit("[]");
        return;
    }
    std::string out;
    out.reserve(kPiece + 4096);
    const auto spill = [&] {
        if (out.size() >= kPiece) {
            emit(out);
            out.clear();
        }
    };
    out += "[\n";
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        if (i > 0)
            out += ",\n";
        out += "  ";
        appendSnapshot(out, snapshots[i], 2, spill);
        spill();
    }
    out += "\n]";
    emit(out);
}

std::optional<std::vector<BackupSnapshot>> decodeSnapshotList(std::string_view text)
{
    Json::JsonReader reader(text);
    return decodeSnapshotList(reader);
}

std::optional<std::vector<BackupSnapshot>> decodeSnapshotList(Json::JsonReader &reader)
{
    if (reader.peek() != Json::JsonReader::Kind::array || !reader.beginArray())
        return std::nullopt;
    std::vector<BackupSnapshot> out;
    while (reader.nextElement()) {
        auto snapshot = readSnapshot(reader, out.empty() ? PathList() : out.back().relativeFilePaths);
        if (!snapshot)
            return std::nullopt;
        out.push_back(std::move(*snapshot));
    }
    if (!reader.finish())
        return std::nullopt;
    return out;
}

void shareEqualPathLists(std::vector<BackupSnapshot> &snapshots)
{
    for (std::size_t i = 1; i < snapshots.size(); ++i) {
        if (snapshots[i].relativeFilePaths == snapshots[i - 1].relativeFilePaths)
            snapshots[i].relativeFilePaths = snapshots[i - 1].relativeFilePaths;
    }
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
