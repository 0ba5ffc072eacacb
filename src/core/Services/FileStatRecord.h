#pragma once

#include "Platform/Clock.h"
#include "Platform/Error.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

struct stat;

namespace velkaro {

// What the unchanged test compares of a source file, as git's index keeps it: device, inode, size,
// modification and change time to the nanosecond, and the whole mode.
struct FileStamp
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t changedSeconds = 0;
    std::uint32_t modifiedNanoseconds = 0;
    std::uint32_t changedNanoseconds = 0;
    std::uint32_t mode = 0; // 0: no stat was had
    std::uint32_t reserved = 0; // keeps the stored form free of padding

    static FileStamp of(const struct stat &st);
    bool known() const { return mode != 0; }
    bool operator==(const FileStamp &) const = default;
};

// The stamps of every file a snapshot took, in the order of its relativeFilePaths, and when its run
// started. Kept in a file of its own in the snapshot folder. A record that is missing, torn or does not
// match its snapshot's file count is no record: the next run then compares bytes instead of trusting.
class FileStatRecord
{
public:
    static constexpr const char *kFileName = "file-stats.bin";

    FileStatRecord() = default;
    FileStatRecord(StampTime runStart, std::vector<FileStamp> stamps);

    StampTime runStart() const { return m_runStart; }
    const std::vector<FileStamp> &stamps() const { return m_stamps; }

    // True when `now` proves the file unchanged since it was recorded at `index`: every field equal, and
    // changed before the run started (a change in the run's own clock tick could keep every field).
    bool provesUnchanged(std::size_t index, const FileStamp &now) const;

    // Writes the record as `folder`/kFileName (a new file).
    Result<void> write(const std::filesystem::path &folder) const;
    // The record in `folder`, when it is whole and holds `expectedCount` stamps.
    static std::optional<FileStatRecord> read(const std::filesystem::path &folder, std::size_t expectedCount);

private:
    StampTime m_runStart;
    std::vector<FileStamp> m_stamps;
};

} // namespace velkaro
