#include "Services/SnapshotCompare.h"

#include "Platform/FileSystem.h"
#include "Platform/OpenFolder.h"
#include "Services/FileStatRecord.h"
#include "Services/SourceSelection.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

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

// A file of one side as one stat found it, and where to read it should its content decide.
struct Stamped
{
    std::string path;
    FileStamp stamp; // mode 0: the stat failed, and the file differs from anything
    bool follow = false; // a configured source naming this very file may be a link
    std::size_t recordIndex = 0; // a stored copy's place in its snapshot's record of source stamps
};

// Relative path to the file, or nothing when the side records the path without a readable copy. In
// path order, each path once.
using StampedSide = std::vector<std::pair<std::string, std::optional<Stamped>>>;

Stamped stampAt(int folderFd, const char *name, std::string path, bool follow)
{
    Stamped file {std::move(path), {}, follow};
    struct stat st = {};
    if (folderFd != -1 && ::fstatat(folderFd, name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0)
        file.stamp = FileStamp::of(st);
    return file;
}

bool isRegular(const Stamped &file)
{
    return S_ISREG(file.stamp.mode);
}

// Opens the file for reading if it is still the one its stamp describes.
int openStamped(const Stamped &file)
{
    // Non-blocking: a FIFO put in the file's place since the stat must not stop the run.
    const int fd
        = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (file.follow ? 0 : O_NOFOLLOW));
    struct stat st = {};
    if (fd >= 0
        && (::fstat(fd, &st) != 0 || st.st_dev != file.stamp.device || st.st_ino != file.stamp.inode
            || !S_ISREG(st.st_mode))) {
        ::close(fd);
        errno = ENOENT; // it went since the stat: it no longer is the file compared
        return -1;
    }
    return fd;
}

// How two stamped files compare: 1 the same, 0 different, -1 one of them cannot be read now (as diff -rq,
// which opens every file it compares); `error` then says why. The same inode, or a record proving the
// newer file unchanged since the older copy was taken of it, decide without reading; otherwise the bytes
// do (an edit can keep size and time).
int compareFiles(const Stamped &a, const Stamped &b, const FileStatRecord *record, int &error)
{
    if (!isRegular(a) || !isRegular(b))
        return 0;
    for (const Stamped *file : {&a, &b}) {
        if (::faccessat(AT_FDCWD, file->path.c_str(), R_OK, AT_EACCESS) != 0) {
            error = errno;
            return -1;
        }
    }
    if (a.stamp.device == b.stamp.device && a.stamp.inode == b.stamp.inode)
        return 1;
    if (a.stamp.size != b.stamp.size)
        return 0;
    if (record && record->provesUnchanged(a.recordIndex, b.stamp))
        return 1;
    const Fd left {openStamped(a)};
    const Fd right {left.fd < 0 ? -1 : openStamped(b)};
    if (left.fd < 0 || right.fd < 0) {
        error = errno;
        return -1;
    }
    const int same = FileSystem::sameBytes(left.fd, right.fd);
    if (same < 0)
        error = errno;
    return same;
}

bool sameFiles(const Stamped &a, const Stamped &b, const FileStatRecord *record = nullptr)
{
    int error = 0;
    return compareFiles(a, b, record, error) == 1;
}

// The stored copies of a snapshot, each stat taken in its folder below data/, reached through real
// folders only. Unsafe paths are never looked up.
StampedSide stampSnapshot(const SnapshotStore &store, const BackupSnapshot &snapshot)
{
    std::unordered_map<std::string_view, std::size_t> recordIndex;
    for (std::size_t i = 0; i < snapshot.relativeFilePaths.size(); ++i)
        recordIndex.try_emplace(snapshot.relativeFilePaths[i], i);
    std::vector<std::string_view> paths(snapshot.relativeFilePaths.begin(), snapshot.relativeFilePaths.end());
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    const auto data = store.dataFolder(snapshot.id);
    RealFolders folders(data ? data->string() : std::string());
    StampedSide side;
    side.reserve(paths.size());
    for (const auto rel : paths) {
        std::optional<Stamped> file;
        if (data && SnapshotStore::isSafeRelativePath(rel)) {
            const char *name = nullptr;
            const int folderFd = folders.folderOf(rel, name);
            file = stampAt(folderFd, name, folders.root() + std::string(rel), false);
            file->recordIndex = recordIndex.at(rel);
            if (!isRegular(*file))
                file.reset(); // no stored copy to compare
        }
        side.emplace_back(rel, std::move(file));
    }
    return side;
}

// The current files by the path a backup would record them under, as the backup's own selection
// takes them (the first source's file where two share a path), each with the stat the selection took.
StampedSide stampCurrent(const BackupConfig &config, SelectionReport *report)
{
    SelectionOptions options;
    options.excludedFolder = config.destinationDirectory;
    std::map<std::string, Stamped> files;
    auto met
        = SourceSelection(config.sourceDirectories, config.targetExtensions, options).select([&](SelectedFile &&file) {
              if (S_ISREG(file.stamp.mode))
                  files.emplace(
                      std::move(file.relativePath), Stamped {std::move(file.path), file.stamp, file.isSource});
          });
    if (report)
        *report = std::move(met);
    StampedSide side;
    side.reserve(files.size());
    for (auto &[rel, file] : files)
        side.emplace_back(rel, std::move(file));
    return side;
}

CompareEntry entryOf(const std::string &path, const std::optional<Stamped> &older, const std::optional<Stamped> &newer,
    const FileStatRecord *record)
{
    if (!older || !newer)
        return {path, CompareState::missing};
    int error = 0;
    const int same = compareFiles(*older, *newer, record, error);
    if (same < 0)
        return {path, CompareState::unreadable, error};
    return {path, same == 1 ? CompareState::unchanged : CompareState::changed};
}

// `record`: the older side's record of source stamps, when the newer side is the current files.
CompareResult compareStamped(const StampedSide &older, const StampedSide &newer, const FileStatRecord *record = nullptr)
{
    CompareResult result;
    result.entries.reserve(std::max(older.size(), newer.size()));
    auto o = older.begin();
    auto n = newer.begin();
    while (o != older.end() || n != newer.end()) {
        if (n == newer.end() || (o != older.end() && o->first < n->first)) {
            result.entries.push_back({o->first, o->second ? CompareState::removed : CompareState::missing});
            ++o;
        } else if (o == older.end() || n->first < o->first) {
            result.entries.push_back({n->first, n->second ? CompareState::added : CompareState::missing});
            ++n;
        } else {
            result.entries.push_back(entryOf(o->first, o->second, n->second, record));
            ++o;
            ++n;
        }
    }
    return result;
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
    return sameFiles(stampAt(AT_FDCWD, a.c_str(), a.string(), false), stampAt(AT_FDCWD, b.c_str(), b.string(), false));
}

CompareSide snapshotSide(const SnapshotStore &store, const BackupSnapshot &snapshot)
{
    CompareSide side;
    for (auto &[rel, file] : stampSnapshot(store, snapshot))
        side.emplace_hint(
            side.end(), std::move(rel), file ? std::optional<fs::path>(std::move(file->path)) : std::nullopt);
    return side;
}

CompareSide currentSide(const BackupConfig &config, SelectionReport *report)
{
    CompareSide side;
    for (auto &[rel, file] : stampCurrent(config, report))
        side.emplace_hint(side.end(), rel, fs::path(std::move(file->path)));
    return side;
}

CompareResult compareWithCurrent(const SnapshotStore &store, const BackupSnapshot &snapshot, const BackupConfig &config)
{
    const auto folder = store.snapshotFolder(snapshot.id);
    const auto record = folder ? FileStatRecord::read(*folder, snapshot.relativeFilePaths.size()) : std::nullopt;
    SelectionReport report;
    auto current = stampCurrent(config, &report);
    CompareResult result = compareStamped(stampSnapshot(store, snapshot), current, record ? &*record : nullptr);
    result.currentReport = std::move(report);
    return result;
}

CompareResult compareSnapshots(const SnapshotStore &store, const BackupSnapshot &older, const BackupSnapshot &newer)
{
    return compareStamped(stampSnapshot(store, older), stampSnapshot(store, newer));
}

} // namespace velkaro
