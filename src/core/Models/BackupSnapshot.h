#pragma once

#include "Models/AppEnums.h"
#include "Models/PathList.h"
#include "Platform/JsonCoding.h"
#include "Platform/JsonReader.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velkaro {

// One snapshot: when it was taken, why, which files it holds and how large they are. The id is also
// the snapshot folder's path below snapshots/ ("yyyy-MM-dd/snapshot_HHmmss", local time).
struct BackupSnapshot
{
    std::string id;
    TimePoint createdAt;
    BackupTriggerType triggerType = BackupTriggerType::manual;
    std::int64_t filesCount = 0;
    std::int64_t totalSizeBytes = 0;
    PathList relativeFilePaths; // below the snapshot's data/ folder, "/"-separated
    std::optional<std::string> note; // why it was taken, when the trigger alone does not say

    bool operator==(const BackupSnapshot &) const = default;

    std::string formattedDate() const; // "yyyy/MM/dd HH:mm:ss", local time
    std::string formattedSize() const;
    // Entries ending in ".md" exactly (".MD" does not count).
    std::int64_t markdownFilesCount() const;

    // snapshot.json's text, as Json::encodePretty writes it (members in field order, no "note" when unset).
    std::string encode() const;
    // The snapshot in `text`, or nothing when it is not one (a member missing or of the wrong type).
    static std::optional<BackupSnapshot> decode(std::string_view text);
};

// history.json is an array of snapshot objects; one bad element fails the whole array. The list is
// read and written as a stream, never as a whole document tree, and snapshots that record the same
// files as the one before them share its path list.
std::string encodeSnapshotList(const std::vector<BackupSnapshot> &snapshots);
// The same text, handed to `emit` in pieces of about 64 KB.
void encodeSnapshotList(const std::vector<BackupSnapshot> &snapshots, const Json::Emit &emit);
// Writes the list as above, except that each entry `writeAsRead` takes (it emits the entry's text and
// returns true) is written as that text.
using EntryWriter = std::function<bool(const BackupSnapshot &, const Json::Emit &)>;
void encodeSnapshotList(
    const std::vector<BackupSnapshot> &snapshots, const Json::Emit &emit, const EntryWriter &writeAsRead);
std::optional<std::vector<BackupSnapshot>> decodeSnapshotList(std::string_view text);
// The same, reading from `source` in chunks of `chunkSize` bytes.
std::optional<std::vector<BackupSnapshot>> decodeSnapshotList(
    const Json::Source &source, std::size_t chunkSize = 1 << 16);

// Reads the list from `source` one snapshot at a time, handing each to `visit` and keeping none; `visit`
// returns false to stop. False when the text is not a whole, valid list (up to where it stopped).
bool forEachSnapshot(const Json::Source &source, const std::function<bool(BackupSnapshot &&)> &visit);

// An entry of the list read without its path list: `summary` holds every other member and an empty
// list (filesCount still says how many paths it has); the entry's text is the `length` bytes from
// `offset` in the list's text.
struct ListedSnapshot
{
    BackupSnapshot summary;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Reads the list from `source` as strictly as decodeSnapshotList, keeping only each entry's summary and
// where its text lies, so that a long history costs little to hold. Nothing when the text is not a
// whole, valid list.
std::optional<std::vector<ListedSnapshot>> decodeSnapshotSummaries(const Json::Source &source);

// Lets each snapshot share the path list of the one before it when the two record the same files.
void shareEqualPathLists(std::vector<BackupSnapshot> &snapshots);

std::size_t hashValue(const BackupSnapshot &snapshot);

} // namespace velkaro

template<> struct std::hash<velkaro::BackupSnapshot>
{
    std::size_t operator()(const velkaro::BackupSnapshot &snapshot) const { return velkaro::hashValue(snapshot); }
};
