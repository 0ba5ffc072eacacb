#include "Services/SnapshotCompare.h"

#include "Services/BackupService.h"
#include "Services/SourceWalk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

// Closes a descriptor when it goes.
struct Fd
{
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Reads up to `size` bytes, going on after short reads; the number read, or -1.
ssize_t readFull(int fd, char *buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool sameBytes(int a, int b)
{
    constexpr std::size_t kChunk = 64 * 1024;
    std::vector<char> left(kChunk), right(kChunk);
    while (true) {
        const ssize_t n = readFull(a, left.data(), kChunk);
        const ssize_t m = readFull(b, right.data(), kChunk);
        if (n < 0 || m < 0 || n != m || std::memcmp(left.data(), right.data(), static_cast<std::size_t>(n)) != 0)
            return false;
        if (n == 0)
            return true;
    }
}

} // namespace

std::int64_t CompareResult::count(CompareState state) const
{
    return std::count_if(entries.begin(), entries.end(), [&](const CompareEntry &e) { return e.state == state; });
}

bool CompareResult::differs() const
{
    return std::any_of(entries.begin(), entries.end(), [](const CompareEntry &e) {
        return e.state == CompareState::changed || e.state == CompareState::added || e.state == CompareState::removed;
    });
}

bool sameContent(const fs::path &a, const fs::path &b)
{
    // Opened first and judged by the open files, so that a link swapped in between cannot redirect us.
    Fd left {::open(a.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
    Fd right {::open(b.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
    struct stat sa = {}, sb = {};
    if (left.fd < 0 || right.fd < 0 || ::fstat(left.fd, &sa) != 0 || ::fstat(right.fd, &sb) != 0)
        return false;
    if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode))
        return false;
    if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino)
        return true;
    if (sa.st_size != sb.st_size)
        return false;
    if (sa.st_mtim.tv_sec == sb.st_mtim.tv_sec && sa.st_mtim.tv_nsec == sb.st_mtim.tv_nsec)
        return true;
    return sameBytes(left.fd, right.fd);
}

CompareSide snapshotSide(const SnapshotStore &store, const BackupSnapshot &snapshot)
{
    CompareSide side;
    for (const auto &rel : snapshot.relativeFilePaths) {
        // storedFile refuses unsafe paths before touching the disk.
        side[rel] = SnapshotStore::isSafeRelativePath(rel) ? store.storedFile(snapshot.id, rel) : std::nullopt;
    }
    return side;
}

CompareSide currentSide(const BackupConfig &config)
{
    CompareSide side;
    SourceWalkOptions options;
    options.excludedFolder = config.destinationDirectory;
    const FileNameRule rule(config.targetExtensions);
    // One source at a time, to know the path below its own source: the backup records that one when the
    // shared rule would lead upwards. Later sources win a shared path, as in a backup.
    for (const auto &source : config.sourceDirectories) {
        std::string base = source;
        while (base.size() > 1 && base.back() == '/')
            base.pop_back();
        walkSources(
            {source}, rule,
            [&](const std::string &file) {
                std::string rel = BackupService::calculateRelativePath(file, config.sourceDirectories);
                if (!SnapshotStore::isSafeRelativePath(rel)) {
                    rel = file.size() > base.size() && file.starts_with(base) && file[base.size()] == '/'
                        ? file.substr(base.size() + 1)
                        : fs::path(file).filename().string();
                }
                side.insert_or_assign(rel, fs::path(file));
            },
            {}, options);
    }
    return side;
}

CompareResult compareSides(const CompareSide &older, const CompareSide &newer)
{
    CompareResult result;
    auto o = older.begin();
    auto n = newer.begin();
    while (o != older.end() || n != newer.end()) {
        CompareEntry entry;
        if (n == newer.end() || (o != older.end() && o->first < n->first)) {
            entry = {o->first, o->second ? CompareState::removed : CompareState::missing};
            ++o;
        } else if (o == older.end() || n->first < o->first) {
            entry = {n->first, n->second ? CompareState::added : CompareState::missing};
            ++n;
        } else {
            entry.path = o->first;
            if (!o->second || !n->second)
                entry.state = CompareState::missing;
            else
                entry.state = sameContent(*o->second, *n->second) ? CompareState::unchanged : CompareState::changed;
            ++o;
            ++n;
        }
        result.entries.push_back(std::move(entry));
    }
    return result;
}

} // namespace velkaro
