#pragma once

#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Services/SnapshotStore.h"
#include "Services/SourceSelection.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velkaro {

// How one relative path fares between an older side (a snapshot) and a newer one (now, or a later
// snapshot). `missing`: recorded by a snapshot but without a stored copy in its data/ folder (or
// recorded under an unsafe path, which is never opened); such a path is neither added nor removed.
// `unreadable`: on both sides, but one of them cannot be read now, so nothing can be said of it.
enum class CompareState { unchanged, changed, added, removed, missing, unreadable };

struct CompareEntry
{
    std::string path;
    CompareState state = CompareState::unchanged;
    int error = 0; // why an unreadable file could not be read (errno)
};

struct CompareResult
{
    std::vector<CompareEntry> entries; // every path of either side, in path order
    // What the walk of the current files met (a comparison with now only). A source or folder that could
    // not be read leaves its files out of the current side, where they would look removed.
    SelectionReport currentReport;

    std::int64_t count(CompareState state) const;
    // Something was added, removed or changed.
    bool differs() const;
};

// One side of a comparison: relative path to the file that holds it, or nothing when the side records
// the path but holds no readable copy.
using CompareSide = std::map<std::string, std::optional<std::filesystem::path>>;

// The files of snapshot `snapshot` as the store holds them.
CompareSide snapshotSide(const SnapshotStore &store, const BackupSnapshot &snapshot);

// The files a backup would take now by `config`, under the paths it would record them; what the walk met
// goes to `report` when given.
CompareSide currentSide(const BackupConfig &config, SelectionReport *report = nullptr);

// The snapshot's side against the current one, the current side from the backup's own source selection
// with the stat it took. A file whose stat the snapshot's record of source stamps
// proves unchanged is "unchanged" without reading; other files of equal size are read.
CompareResult compareWithCurrent(
    const SnapshotStore &store, const BackupSnapshot &snapshot, const BackupConfig &config);
// The same for two snapshots of the store, `older` against `newer`.
CompareResult compareSnapshots(const SnapshotStore &store, const BackupSnapshot &older, const BackupSnapshot &newer);

// Whether two files hold the same bytes: the same inode counts as equal without reading; otherwise the
// contents are read up to the first difference (an edit can keep both size and time). A file that cannot
// be read differs. Only regular files are ever opened.
bool sameContent(const std::filesystem::path &a, const std::filesystem::path &b);

} // namespace velkaro
