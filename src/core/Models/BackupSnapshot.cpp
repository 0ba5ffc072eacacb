#include "Models/BackupSnapshot.h"

#include "Platform/Formatters.h"
#include "Platform/Hash.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

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

namespace {

// The snapshot members the reader knows; any other member is read past.
enum class Field { other, id, createdAt, triggerType, filesCount, totalSizeBytes, relativeFilePaths, note };

Field fieldNamed(std::string_view key)
{
    static constexpr std::pair<std::string_view, Field> kFields[]
        = {{"id", Field::id}, {"createdAt", Field::createdAt}, {"triggerType", Field::triggerType},
            {"filesCount", Field::filesCount}, {"totalSizeBytes", Field::totalSizeBytes},
            {"relativeFilePaths", Field::relativeFilePaths}, {"note", Field::note}};
    for (const auto &[name, field] : kFields) {
        if (name == key)
            return field;
    }
    return Field::other;
}

// One snapshot object's members as far as they are read. Every member must be present with its type,
// "note" a string or null; a repeated member counts as its last occurrence.
struct SnapshotMembers
{
    std::optional<std::string> id;
    std::optional<TimePoint> createdAt;
    std::optional<BackupTriggerType> triggerType;
    std::optional<std::int64_t> filesCount;
    std::optional<std::int64_t> totalSizeBytes;
    std::optional<PathList> paths;
    std::optional<std::string> note;
    bool badNote = false;

    // A value of a type the member cannot have.
    void wrongType(Field field)
    {
        switch (field) {
        case Field::id:
            id.reset();
            break;
        case Field::createdAt:
            createdAt.reset();
            break;
        case Field::triggerType:
            triggerType.reset();
            break;
        case Field::filesCount:
            filesCount.reset();
            break;
        case Field::totalSizeBytes:
            totalSizeBytes.reset();
            break;
        case Field::relativeFilePaths:
            paths.reset();
            break;
        case Field::note:
            note.reset();
            badNote = true;
            break;
        case Field::other:
            break;
        }
    }

    void setString(Field field, const std::string &value)
    {
        switch (field) {
        case Field::id:
            id = value;
            break;
        case Field::createdAt:
            createdAt = fromISO8601(value);
            break;
        case Field::triggerType:
            triggerType = fromRawValue<BackupTriggerType>(value);
            break;
        case Field::note:
            note = value;
            badNote = false;
            break;
        default:
            wrongType(field);
        }
    }

    void setNull(Field field)
    {
        if (field == Field::note) {
            note.reset();
            badNote = false;
        } else {
            wrongType(field);
        }
    }

    void setInteger(Field field, std::int64_t value)
    {
        if (field == Field::filesCount)
            filesCount = value;
        else if (field == Field::totalSizeBytes)
            totalSizeBytes = value;
        else
            wrongType(field);
    }

    std::optional<BackupSnapshot> take()
    {
        if (!id || !createdAt || !triggerType || !filesCount || !totalSizeBytes || !paths || badNote)
            return std::nullopt;
        return BackupSnapshot {
            std::move(*id), *createdAt, *triggerType, *filesCount, *totalSizeBytes, std::move(*paths), std::move(note)};
    }
};

// A path list read one string at a time. It is compared with the list of the snapshot before while the
// two agree, so that an unchanged list is shared rather than copied, and copied out at the first
// difference.
class PathListReader
{
public:
    void start(const PathList &previous)
    {
        m_previous = &previous;
        m_own.clear();
        m_matched = 0;
        m_matching = true;
        m_bad = false;
    }

    void add(const std::string &path)
    {
        const auto &candidate = m_previous->items();
        if (m_matching && m_matched < candidate.size() && candidate[m_matched] == path) {
            ++m_matched;
            return;
        }
        if (m_matching) {
            m_matching = false;
            m_own.reserve(std::max(candidate.size(), m_matched + 1));
            m_own.assign(candidate.begin(), candidate.begin() + static_cast<std::ptrdiff_t>(m_matched));
        }
        m_own.push_back(path);
    }

    void markBad() { m_bad = true; } // an element that is not a string
    bool bad() const { return m_bad; }

    std::optional<PathList> finish()
    {
        if (m_bad)
            return std::nullopt;
        if (!m_matching)
            return PathList(std::move(m_own));
        const auto &candidate = m_previous->items();
        if (m_matched == candidate.size())
            return *m_previous;
        return PathList(
            std::vector<std::string>(candidate.begin(), candidate.begin() + static_cast<std::ptrdiff_t>(m_matched)));
    }

private:
    const PathList *m_previous = nullptr;
    std::vector<std::string> m_own;
    std::size_t m_matched = 0;
    bool m_matching = true;
    bool m_bad = false;
};

// Reads snapshot objects member by member from a pull reader, reusing its buffers from one to the next.
class SnapshotReader
{
public:
    // Without `keepPaths` every path is checked as strictly but none is kept: the snapshot comes with an
    // empty list.
    explicit SnapshotReader(Json::JsonReader &reader, bool keepPaths = true)
        : m_reader(reader)
        , m_keepPaths(keepPaths)
    { }

    // One snapshot object. `previous` is the path list of the snapshot before it, shared when this one
    // records the same. Nothing when the object is not a snapshot or the text is broken.
    std::optional<BackupSnapshot> read(const PathList &previous)
    {
        if (m_reader.peek() != Kind::object || !m_reader.beginObject())
            return std::nullopt;
        SnapshotMembers members;
        while (m_reader.nextMember(m_key)) {
            if (!readMember(fieldNamed(m_key), members, previous))
                return std::nullopt;
        }
        if (m_reader.failed())
            return std::nullopt;
        return members.take();
    }

private:
    using Kind = Json::JsonReader::Kind;

    // The value of one member, taken for `field` by its type; false when the text is broken.
    bool readMember(Field field, SnapshotMembers &members, const PathList &previous)
    {
        switch (m_reader.peek()) {
        case Kind::string:
            if (!m_reader.readString(m_text))
                return false;
            members.setString(field, m_text);
            return true;
        case Kind::number: {
            std::optional<std::int64_t> integer;
            if (!m_reader.readNumber(integer))
                return false;
            if (integer)
                members.setInteger(field, *integer);
            else
                members.wrongType(field);
            return true;
        }
        case Kind::null:
            members.setNull(field);
            return m_reader.readNull();
        case Kind::array:
            if (field == Field::relativeFilePaths)
                return readPaths(members, previous);
            break;
        default:
            break;
        }
        members.wrongType(field);
        return m_reader.skipValue();
    }

    bool readPaths(SnapshotMembers &members, const PathList &previous)
    {
        if (!m_keepPaths)
            return checkPaths(members);
        m_paths.start(previous);
        bool read = m_reader.beginArray();
        while (read && m_reader.nextElement()) {
            if (m_paths.bad() || m_reader.peek() != Kind::string) {
                m_paths.markBad();
                read = m_reader.skipValue();
            } else if ((read = m_reader.readString(m_text))) {
                m_paths.add(m_text);
            }
        }
        if (m_reader.failed())
            return false;
        members.paths = m_paths.finish();
        return true;
    }

    bool checkPaths(SnapshotMembers &members)
    {
        bool bad = false;
        bool read = m_reader.beginArray();
        while (read && m_reader.nextElement()) {
            bad = bad || m_reader.peek() != Kind::string;
            read = m_reader.skipValue();
        }
        if (m_reader.failed())
            return false;
        if (bad)
            members.paths.reset();
        else
            members.paths = PathList();
        return true;
    }

    Json::JsonReader &m_reader;
    bool m_keepPaths = true;
    std::string m_key;
    std::string m_text;
    PathListReader m_paths;
};

} // namespace

std::optional<BackupSnapshot> BackupSnapshot::decode(std::string_view text)
{
    Json::JsonReader reader(text);
    auto snapshot = SnapshotReader(reader).read({});
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
    encodeSnapshotList(snapshots, emit, {});
}

void encodeSnapshotList(
    const std::vector<BackupSnapshot> &snapshots, const Json::Emit &emit, const EntryWriter &writeAsRead)
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
        if (writeAsRead) {
            emit(out);
            out.clear();
            if (writeAsRead(snapshots[i], emit))
                continue;
        }
        appendSnapshot(out, snapshots[i], 2, spill);
        spill();
    }
    out += "\n]";
    emit(out);
}

namespace {

std::optional<std::vector<BackupSnapshot>> readSnapshotList(Json::JsonReader &reader)
{
    if (reader.peek() != Json::JsonReader::Kind::array || !reader.beginArray())
        return std::nullopt;
    SnapshotReader snapshots(reader);
    std::vector<BackupSnapshot> out;
    while (reader.nextElement()) {
        auto snapshot = snapshots.read(out.empty() ? PathList() : out.back().relativeFilePaths);
        if (!snapshot)
            return std::nullopt;
        out.push_back(std::move(*snapshot));
    }
    if (!reader.finish())
        return std::nullopt;
    return out;
}

} // namespace

std::optional<std::vector<BackupSnapshot>> decodeSnapshotList(std::string_view text)
{
    Json::JsonReader reader(text);
    return readSnapshotList(reader);
}

std::optional<std::vector<BackupSnapshot>> decodeSnapshotList(const Json::Source &source, std::size_t chunkSize)
{
    Json::JsonReader reader(source, chunkSize);
    return readSnapshotList(reader);
}

bool forEachSnapshot(const Json::Source &source, const std::function<bool(BackupSnapshot &&)> &visit)
{
    Json::JsonReader reader(source);
    if (reader.peek() != Json::JsonReader::Kind::array || !reader.beginArray())
        return false;
    SnapshotReader snapshots(reader);
    while (reader.nextElement()) {
        auto snapshot = snapshots.read({});
        if (!snapshot)
            return false;
        if (!visit(std::move(*snapshot)))
            return true;
    }
    return reader.finish();
}

std::optional<std::vector<ListedSnapshot>> decodeSnapshotSummaries(const Json::Source &source)
{
    Json::JsonReader reader(source);
    if (reader.peek() != Json::JsonReader::Kind::array || !reader.beginArray())
        return std::nullopt;
    SnapshotReader snapshots(reader, false);
    std::vector<ListedSnapshot> out;
    while (reader.nextElement()) {
        if (reader.peek() == Json::JsonReader::Kind::invalid)
            return std::nullopt;
        const std::uint64_t start = reader.offset();
        auto snapshot = snapshots.read({});
        if (!snapshot)
            return std::nullopt;
        out.push_back(ListedSnapshot {std::move(*snapshot), start, reader.offset() - start});
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
    hashCombine(seed, text(s.id));
    hashCombine(seed, std::hash<TimePoint::rep> {}(s.createdAt.time_since_epoch().count()));
    hashCombine(seed, text(rawValue(s.triggerType)));
    hashCombine(seed, std::hash<std::int64_t> {}(s.filesCount));
    hashCombine(seed, std::hash<std::int64_t> {}(s.totalSizeBytes));
    hashCombine(seed, s.relativeFilePaths.size());
    for (const auto &path : s.relativeFilePaths)
        hashCombine(seed, text(path));
    hashCombine(seed, s.note ? 1 : 0);
    if (s.note)
        hashCombine(seed, text(*s.note));
    return seed;
}

} // namespace velkaro
