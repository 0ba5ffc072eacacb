#pragma once

#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Services/SnapshotCompare.h"
#include "Services/TextDiff.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velkaro {

// A snapshot's recorded files against the files a backup would take now.
struct CurrentFilesComparison
{
    // Every recorded path: unchanged, changed, removed (gone now), missing (no stored copy) or unreadable
    // (not met where a source or folder could not be read, so not known to be gone).
    std::map<std::string, CompareState> marks;
    // Current files the snapshot does not hold; a restore leaves them where they are.
    std::int64_t onlyNowCount = 0;
};

CurrentFilesComparison compareWithCurrentFiles(const BackupSnapshot &snapshot, const BackupConfig &config);

// One recorded file of a snapshot against the current file of the same path.
struct CurrentFileDiff
{
    // text: `hunks` hold the line diff (empty when both are the same). binary and tooLarge: sizes only.
    // unavailable: the snapshot holds no readable copy.
    enum class Kind { text, binary, tooLarge, unavailable };
    Kind kind = Kind::unavailable;
    // Nothing on a side that has no such file (gone now, or no stored copy).
    std::optional<std::int64_t> snapshotSize;
    std::optional<std::int64_t> currentSize;
    std::vector<DiffHunk> hunks;
    // For a binary file read on both sides: whether the bytes are the same.
    std::optional<bool> sameContent;
};

// Files above this many bytes are only sized, never read whole.
inline constexpr std::int64_t kLargestDiffedFile = 1'000'000;

// A file gone now is compared against an empty text, so every line shows as removed.
CurrentFileDiff diffWithCurrentFile(
    const BackupSnapshot &snapshot, const BackupConfig &config, const std::string &relativePath);

// One recorded file of `older` against the same path in `newer` (both snapshots of the configured store):
// the sizes and diff are those of the older copy against the newer one.
CurrentFileDiff diffStoredVersions(const BackupSnapshot &older, const BackupSnapshot &newer, const BackupConfig &config,
    const std::string &relativePath);

} // namespace velkaro
