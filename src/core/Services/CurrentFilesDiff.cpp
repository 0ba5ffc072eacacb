#include "Services/CurrentFilesDiff.h"

#include "Services/SnapshotStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkaro {

namespace {

// A regular file's size and, when it is at most `limit` bytes, its content.
struct CappedRead
{
    std::int64_t size = 0;
    std::optional<std::string> content;
};

std::optional<CappedRead> readCapped(const std::filesystem::path &path, std::int64_t limit)
{
    // Non-blocking: a FIFO put in the file's place since it was looked at must not hold the read up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st = {};
    std::optional<CappedRead> result;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        result = CappedRead {st.st_size, std::nullopt};
        if (st.st_size <= limit) {
            // Read to the end (or one past the limit): the file may have grown since fstat.
            std::string content;
            char buffer[64 * 1024];
            ssize_t n = 0;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && std::int64_t(content.size()) <= limit)
                content.append(buffer, std::size_t(n));
            if (n < 0)
                result.reset();
            else if (std::int64_t(content.size()) > limit)
                result->size = std::int64_t(content.size());
            else
                result->content = std::move(content);
        }
    }
    ::close(fd);
    return result;
}

} // namespace

CurrentFilesComparison compareWithCurrentFiles(const BackupSnapshot &snapshot, const BackupConfig &config)
{
    const SnapshotStore store {std::filesystem::path(config.destinationDirectory)};
    const CompareResult result = compareWithCurrent(store, snapshot, config);
    // Where the current files could not all be read, a recorded file not met may well still be there.
    const bool readWhole = result.currentReport.metAllThatStands();
    CurrentFilesComparison comparison;
    for (const CompareEntry &entry : result.entries) {
        if (entry.state == CompareState::added)
            ++comparison.onlyNowCount;
        else
            comparison.marks.emplace(entry.path,
                entry.state == CompareState::removed && !readWhole ? CompareState::unreadable : entry.state);
    }
    return comparison;
}

namespace {

// The diff of two read sides: `old` is the stored copy, `current` the newer file (nothing when absent).
CurrentFileDiff diffRead(const std::optional<CappedRead> &old, const std::optional<CappedRead> &current)
{
    CurrentFileDiff diff;
    if (old)
        diff.snapshotSize = old->size;
    if (current)
        diff.currentSize = current->size;
    if (!old)
        return diff;
    if (!old->content || (current && !current->content)) {
        diff.kind = CurrentFileDiff::Kind::tooLarge;
        return diff;
    }
    const std::string empty;
    const std::string &nowText = current ? *current->content : empty;
    if (looksBinary(*old->content) || looksBinary(nowText)) {
        diff.kind = CurrentFileDiff::Kind::binary;
        if (current)
            diff.sameContent = *old->content == nowText;
        return diff;
    }
    diff.kind = CurrentFileDiff::Kind::text;
    diff.hunks = diffHunks(*old->content, nowText);
    return diff;
}

} // namespace

CurrentFileDiff diffWithCurrentFile(
    const BackupSnapshot &snapshot, const BackupConfig &config, const std::string &relativePath)
{
    const SnapshotStore store {std::filesystem::path(config.destinationDirectory)};
    // storedFile refuses an unsafe path before touching the disk.
    const auto stored = store.storedFile(snapshot.id, relativePath);
    const auto old = stored ? readCapped(*stored, kLargestDiffedFile) : std::nullopt;
    const CompareSide now = currentSide(config);
    const auto found = now.find(relativePath);
    const auto current
        = found != now.end() && found->second ? readCapped(*found->second, kLargestDiffedFile) : std::nullopt;
    return diffRead(old, current);
}

CurrentFileDiff diffStoredVersions(const BackupSnapshot &older, const BackupSnapshot &newer, const BackupConfig &config,
    const std::string &relativePath)
{
    const SnapshotStore store {std::filesystem::path(config.destinationDirectory)};
    const auto before = store.storedFile(older.id, relativePath);
    const auto after = store.storedFile(newer.id, relativePath);
    return diffRead(before ? readCapped(*before, kLargestDiffedFile) : std::nullopt,
        after ? readCapped(*after, kLargestDiffedFile) : std::nullopt);
}

} // namespace velkaro
