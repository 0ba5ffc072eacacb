#pragma once

#include "Models/BackupSnapshot.h"
#include "Services/SnapshotStore.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// Whether two snapshots hold the same files: the same recorded paths, and for each path the same
// stored copy (one inode through the hard links, or equal bytes). A copy that is missing or reached
// through a link is never the same as anything.
bool holdSameFiles(const SnapshotStore &store, const BackupSnapshot &older, const BackupSnapshot &newer);

// Lines added and removed from one text to the next.
struct LineChanges
{
    std::int64_t added = 0;
    std::int64_t removed = 0;
    bool operator==(const LineChanges &) const = default;
};

// One distinct version of a file: the snapshot that first holds it (its position in the history given),
// the size of its copy and, for a text file, its lines against the previous (older) version.
struct FileVersion
{
    std::size_t snapshotIndex = 0;
    std::int64_t size = 0;
    std::optional<LineChanges> changes; // none for the oldest version, a binary or a large file
};

// The distinct versions of `relativePath`, newest first: each snapshot whose copy differs from the copy
// in the next older snapshot that holds one, and the oldest snapshot holding it. A snapshot holds the
// path when it records it and its data/ folder has the copy. Copies that are one inode (an unchanged
// file is hard-linked from snapshot to snapshot) are the same without being read; `countLines` reads
// the copies of consecutive versions to count their changed lines.
std::vector<FileVersion> fileVersions(const SnapshotStore &store, const std::vector<BackupSnapshot> &history,
    std::string_view relativePath, bool countLines);

// The lines added and removed from `before` to `after`, when both are text (no NUL byte).
std::optional<LineChanges> countLineChanges(const std::string &before, const std::string &after);

} // namespace velkaro
