#pragma once

#include "Models/AppEnums.h"
#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Platform/Error.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// Makes snapshots and keeps their history. Holds no state: every call works from its arguments and
// the disk, so one instance may serve several threads one call at a time.
class BackupService
{
public:
    using Path = std::filesystem::path;

    // --- History and retention (history.json and the snapshots/ folder of a destination) ---

    // The history in file order. A missing, unreadable or damaged history.json yields the list rebuilt
    // from the snapshot folders instead.
    std::vector<BackupSnapshot> loadHistory(const Path &destination) const;

    // Puts `snapshot` at the front of history.json, replacing an entry with the same id. Failures are
    // silent. A damaged history.json is kept once as history.json.damaged before it is replaced.
    void updateHistory(const BackupSnapshot &snapshot, const Path &destination) const;

    // Drops the entries with these ids from history.json (rewritten only when something changed).
    void removeFromHistory(const std::vector<std::string> &ids, const Path &destination) const;

    // The snapshots whose snapshot.json can be read, one level (flat form) or two levels (day folder
    // form) below destination/snapshots, newest first; equal dates keep the order found.
    std::vector<BackupSnapshot> scanSnapshotsDirectory(const Path &destination) const;

    // Removes the oldest snapshot folders beyond `limit` (limit < 1 means no limit), then any day
    // folder left empty, and drops the removed snapshots from history.json. Returns their ids.
    std::vector<std::string> cleanOldSnapshots(const Path &snapshotsDirectory, std::int64_t limit) const;

    // --- Store paths ---

    // True for an id that names a folder strictly inside snapshots/: relative, with no empty, "." or
    // ".." component.
    static bool isSafeSnapshotId(std::string_view id);

    // The folder of snapshot `id` below `snapshotsDirectory`: the two-level folder, or the flat folder
    // named after the id's last component when only that one exists. Nothing for an unsafe id or when
    // a folder on the way is a symbolic link (it could lead out of the store).
    static std::optional<Path> snapshotFolder(const Path &snapshotsDirectory, std::string_view id);

private:
    void writeHistory(const std::vector<BackupSnapshot> &history, const Path &destination) const;
};

} // namespace velkaro
