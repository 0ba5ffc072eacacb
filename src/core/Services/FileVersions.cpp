// Versions of stored files: the identity retention keeps distinct snapshots by, and one file's history.
#include "Services/FileVersions.h"

#include "Platform/FileSystem.h"
#include "Platform/OpenFolder.h"
#include "Services/CurrentFilesDiff.h"
#include "Services/TextDiff.h"

#include <algorithm>
#include <array>
#include <fcntl.h>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

namespace velkaro {

namespace {

// The same bytes in two regular files named in open folders: one inode, or equal size and content.
bool sameCopy(int folderA, const char *nameA, int folderB, const char *nameB)
{
    struct stat sa = {};
    struct stat sb = {};
    const auto closed = [](int folder) { return folder < 0 && folder != AT_FDCWD; };
    if (closed(folderA) || closed(folderB) || ::fstatat(folderA, nameA, &sa, AT_SYMLINK_NOFOLLOW) != 0
        || ::fstatat(folderB, nameB, &sb, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode))
        return false;
    if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino)
        return true;
    if (sa.st_size != sb.st_size)
        return false;
    const int a = ::openat(folderA, nameA, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const int b = a < 0 ? -1 : ::openat(folderB, nameB, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const bool same = a >= 0 && b >= 0 && FileSystem::sameBytes(a, b) == 1;
    if (a >= 0)
        ::close(a);
    if (b >= 0)
        ::close(b);
    return same;
}

std::vector<std::string> sortedPaths(const PathList &paths)
{
    std::vector<std::string> sorted = paths.items();
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

// A stored copy as the version walk meets it.
struct StoredCopy
{
    std::filesystem::path file;
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t size = 0;
};

std::optional<StoredCopy> storedCopy(const SnapshotStore &store, const BackupSnapshot &snapshot, std::string_view rel)
{
    auto file = store.storedFile(snapshot.id, rel);
    struct stat st = {};
    if (!file || ::lstat(file->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return StoredCopy {std::move(*file), st.st_dev, st.st_ino, st.st_size};
}

bool sameStoredCopy(const StoredCopy &a, const StoredCopy &b)
{
    if (a.device == b.device && a.inode == b.inode)
        return true;
    if (a.size != b.size)
        return false;
    return sameCopy(AT_FDCWD, a.file.c_str(), AT_FDCWD, b.file.c_str());
}

std::optional<std::string> readSmallText(const std::filesystem::path &file, std::int64_t size)
{
    if (size > kLargestDiffedFile)
        return std::nullopt;
    auto text = FileSystem::readFile(file);
    if (!text || looksBinary(*text))
        return std::nullopt;
    return std::move(*text);
}

} // namespace

bool holdSameFiles(const SnapshotStore &store, const BackupSnapshot &older, const BackupSnapshot &newer)
{
    const PathList &paths = older.relativeFilePaths;
    if (!(paths == newer.relativeFilePaths) && sortedPaths(paths) != sortedPaths(newer.relativeFilePaths))
        return false;
    const auto olderData = store.dataFolder(older.id);
    const auto newerData = store.dataFolder(newer.id);
    if (paths.empty())
        return true;
    if (!olderData || !newerData)
        return false;
    RealFolders left(olderData->string());
    RealFolders right(newerData->string());
    // In sorted order, so that each folder is opened once on each side.
    for (const std::string &rel : sortedPaths(paths)) {
        const char *leftName = nullptr;
        const char *rightName = nullptr;
        if (!SnapshotStore::isSafeRelativePath(rel))
            return false;
        const int leftFolder = left.folderOf(rel, leftName);
        const int rightFolder = right.folderOf(rel, rightName);
        if (!sameCopy(leftFolder, leftName, rightFolder, rightName))
            return false;
    }
    return true;
}

std::optional<LineChanges> countLineChanges(const std::string &before, const std::string &after)
{
    if (looksBinary(before) || looksBinary(after))
        return std::nullopt;
    LineChanges changes;
    for (const DiffHunk &hunk : diffHunks(before, after, 0)) {
        for (const DiffLine &line : hunk.lines) {
            if (line.kind == DiffLine::Kind::added)
                ++changes.added;
            else if (line.kind == DiffLine::Kind::removed)
                ++changes.removed;
        }
    }
    return changes;
}

std::vector<FileVersion> fileVersions(const SnapshotStore &store, const std::vector<BackupSnapshot> &history,
    std::string_view relativePath, bool countLines)
{
    std::vector<FileVersion> versions;
    if (!SnapshotStore::isSafeRelativePath(relativePath))
        return versions;
    // Oldest first by date; equal dates keep the list's order reversed (the list is newest first).
    std::vector<std::size_t> order(history.size());
    std::iota(order.rbegin(), order.rend(), std::size_t {0});
    std::stable_sort(order.begin(), order.end(),
        [&](std::size_t a, std::size_t b) { return history[a].createdAt < history[b].createdAt; });
    std::optional<StoredCopy> previous;
    std::optional<StoredCopy> previousVersion;
    const PathList *searched = nullptr; // snapshots of unchanged runs share one list: searched once
    bool recorded = false;
    for (const std::size_t index : order) {
        const PathList &paths = history[index].relativeFilePaths;
        if (!searched || !paths.sharesStorageWith(*searched))
            recorded = std::find(paths.begin(), paths.end(), relativePath) != paths.end();
        searched = &paths;
        auto copy = recorded ? storedCopy(store, history[index], relativePath) : std::nullopt;
        if (!copy)
            continue;
        if (previous && sameStoredCopy(*previous, *copy)) {
            previous = std::move(copy);
            continue;
        }
        FileVersion version {index, copy->size, std::nullopt};
        if (countLines && previousVersion) {
            const auto before = readSmallText(previousVersion->file, previousVersion->size);
            const auto after = before ? readSmallText(copy->file, copy->size) : std::nullopt;
            if (after)
                version.changes = countLineChanges(*before, *after);
        }
        versions.push_back(version);
        previousVersion = copy;
        previous = std::move(copy);
    }
    std::reverse(versions.begin(), versions.end());
    return versions;
}

} // namespace velkaro
