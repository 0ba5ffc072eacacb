// History and retention of BackupService.
#include "Services/BackupService.h"

#include "Platform/FileSystem.h"

#include <algorithm>
#include <set>
#include <sys/stat.h>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

constexpr const char *kHistoryFileName = "history.json";
constexpr const char *kSnapshotFileName = "snapshot.json";

std::optional<BackupSnapshot> readSnapshotFile(const fs::path &folder)
{
    if (auto text = FileSystem::readFile(folder / kSnapshotFileName))
        return BackupSnapshot::decode(*text);
    return std::nullopt;
}

bool isSymlink(const fs::path &path)
{
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(path, ec));
}

bool isRealFolder(const fs::path &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folders that may hold a snapshot: snapshots/<name> (flat form) and snapshots/<day>/<name>, real
// folders only. Calls visit(folder, id the folder stands for).
template<class Visit>
void forEachSnapshotFolder(const fs::path &snapshots, const Visit &visit)
{
    auto entries = FileSystem::listDirectory(snapshots);
    if (!entries)
        return;
    for (const auto &entry : *entries) {
        if (!isRealFolder(entry))
            continue;
        const std::string name = entry.filename().string();
        if (name.starts_with("snapshot_")) {
            visit(entry, name);
            continue;
        }
        auto children = FileSystem::listDirectory(entry);
        if (!children)
            continue;
        for (const auto &child : *children) {
            if (isRealFolder(child))
                visit(child, name + "/" + child.filename().string());
        }
    }
}

// Adds the complete snapshot folders whose ids `history` lacks, each before the first older entry.
void addMissingSnapshots(std::vector<BackupSnapshot> &history, const fs::path &destination)
{
    std::set<std::string, std::less<>> known;
    for (const auto &snapshot : history) {
        known.insert(snapshot.id);
        known.insert(snapshot.id.substr(snapshot.id.rfind('/') + 1)); // a flat folder's name
    }
    forEachSnapshotFolder(destination / "snapshots", [&](const fs::path &folder, const std::string &id) {
        if (known.contains(id))
            return;
        auto snapshot = readSnapshotFile(folder);
        if (!snapshot || known.contains(snapshot->id))
            return;
        known.insert(snapshot->id);
        const auto later = std::find_if(history.begin(), history.end(),
                                        [&](const BackupSnapshot &s) { return s.createdAt < snapshot->createdAt; });
        history.insert(later, std::move(*snapshot));
    });
}

fs::path withoutTrailingSeparator(fs::path path)
{
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path())
        path = path.parent_path();
    return path;
}

} // namespace

BackupService::HeldHistory BackupService::readHistory(const Path &destination) const
{
    // Read in chunks: the file grows with every snapshot, and only the decoded list (whose equal path
    // lists are held once) is kept.
    auto file = FileSystem::FileReader::open(destination / kHistoryFileName);
    if (!file)
        return {scanSnapshotsDirectory(destination), false};
    Json::JsonReader reader([&](char *buffer, std::size_t size) { return file->read(buffer, size); });
    auto history = decodeSnapshotList(reader);
    if (history) {
        addMissingSnapshots(*history, destination);
        return {std::move(*history), true};
    }
    // A damaged file must not hide the snapshots that are still on disk.
    return {scanSnapshotsDirectory(destination), false};
}

std::vector<BackupSnapshot> BackupService::loadHistory(const Path &destination) const
{
    return readHistory(destination).snapshots;
}

Result<void> BackupService::writeHistory(const HeldHistory &history, const Path &destination) const
{
    const Path file = destination / kHistoryFileName;
    // The file was decoded whole under this same lock, so it needs no second look. One that was not
    // there, not readable or not whole failed to decode already: it is kept aside first.
    if (!history.fileIntact) {
        if (auto kept = FileSystem::keepAsDamaged(file); !kept)
            return kept;
    }
    return FileSystem::writeFileAtomically(file, [&](const Json::Emit &write) {
        encodeSnapshotList(history.snapshots, write);
    });
}

Result<void> BackupService::updateHistory(const BackupSnapshot &snapshot, const Path &destination) const
{
    auto history = readHistory(destination);
    std::erase_if(history.snapshots, [&](const BackupSnapshot &s) { return s.id == snapshot.id; });
    history.snapshots.insert(history.snapshots.begin(), snapshot);
    return writeHistory(history, destination);
}

void BackupService::removeFromHistory(const std::vector<std::string> &ids, const Path &destination) const
{
    if (ids.empty())
        return;
    const std::set<std::string, std::less<>> gone(ids.begin(), ids.end());
    auto history = readHistory(destination);
    const auto removed = std::erase_if(history.snapshots, [&](const BackupSnapshot &s) { return gone.contains(s.id); });
    if (removed > 0 || !FileSystem::exists(destination / kHistoryFileName))
        (void)writeHistory(history, destination);
}

std::vector<BackupSnapshot> BackupService::scanSnapshotsDirectory(const Path &destination) const
{
    std::vector<BackupSnapshot> found;
    auto entries = FileSystem::listDirectory(destination / "snapshots");
    if (!entries)
        return found;
    for (const auto &entry : *entries) {
        if (auto snapshot = readSnapshotFile(entry)) {
            found.push_back(std::move(*snapshot));
            continue;
        }
        auto children = FileSystem::listDirectory(entry);
        if (!children)
            continue;
        for (const auto &child : *children) {
            if (auto snapshot = readSnapshotFile(child))
                found.push_back(std::move(*snapshot));
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const BackupSnapshot &a, const BackupSnapshot &b) { return a.createdAt > b.createdAt; });
    shareEqualPathLists(found);
    return found;
}

std::vector<std::pair<std::string, BackupService::Path>>
BackupService::pickOldSnapshots(HeldHistory &history, const Path &snapshots, std::int64_t limit,
                                const std::vector<std::string> &keptIds) const
{
    std::vector<std::pair<std::string, Path>> picked;
    if (limit < 1 || history.snapshots.size() <= static_cast<std::uint64_t>(limit))
        return picked;
    // Newest first by date; equal dates keep the list's order (the scan's order for a rebuilt list).
    std::vector<std::size_t> order(history.snapshots.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return history.snapshots[a].createdAt > history.snapshots[b].createdAt;
    });
    std::set<std::string, std::less<>> gone;
    std::int64_t onDisk = 0;
    for (const std::size_t index : order) {
        const std::string &snapshotId = history.snapshots[index].id;
        const auto folder = snapshotFolder(snapshots, snapshotId);
        // An id that points outside the store is never used to remove anything, nor is it counted;
        // an entry whose folder is gone is not counted either.
        if (!folder || !FileSystem::exists(*folder / kSnapshotFileName))
            continue;
        if (++onDisk <= limit || std::find(keptIds.begin(), keptIds.end(), snapshotId) != keptIds.end())
            continue;
        gone.insert(snapshotId);
        picked.emplace_back(snapshotId, *folder);
    }
    std::erase_if(history.snapshots, [&](const BackupSnapshot &s) { return gone.contains(s.id); });
    return picked;
}

std::vector<std::string> BackupService::removeSnapshotFolders(const std::vector<std::pair<std::string, Path>> &picked,
                                                              const Path &snapshots) const
{
    std::vector<std::string> removedIds;
    for (const auto &[snapshotId, folder] : picked) {
        // A folder that stays keeps its snapshot.json, so the next read of the history adds it back.
        if (!FileSystem::removeAll(folder) || FileSystem::exists(folder))
            continue;
        removedIds.push_back(snapshotId);
        // The day folder goes with its last snapshot; a stray file in it keeps it.
        const fs::path day = folder.parent_path();
        if (day == snapshots)
            continue;
        if (auto left = FileSystem::listDirectory(day); left && left->empty()) {
            std::error_code ec;
            fs::remove(day, ec);
        }
    }
    return removedIds;
}

std::vector<std::string> BackupService::cleanOldSnapshots(const Path &snapshotsDirectory, std::int64_t limit,
                                                          const std::vector<std::string> &keptIds) const
{
    if (limit < 1)
        return {};
    const fs::path snapshots = withoutTrailingSeparator(snapshotsDirectory);
    const fs::path destination = snapshots.parent_path();
    auto history = readHistory(destination);
    const auto picked = pickOldSnapshots(history, snapshots, limit, keptIds);
    if (picked.empty())
        return {};
    // The history goes first: a run killed now leaves whole folders that the next read adds back.
    if (!writeHistory(history, destination))
        return {};
    return removeSnapshotFolders(picked, snapshots);
}

void BackupService::removeLeftovers(const Path &destination, std::int64_t before) const
{
    FileSystem::removeStaleTemporaries(destination, before);
    const fs::path snapshots = destination / "snapshots";
    forEachSnapshotFolder(snapshots, [&](const fs::path &folder, const std::string &) {
        struct stat st {};
        if (FileSystem::exists(folder / kSnapshotFileName) || ::lstat(folder.c_str(), &st) != 0
            || st.st_mtim.tv_sec >= before)
            return;
        if (!FileSystem::removeAll(folder))
            return;
        const fs::path day = folder.parent_path();
        if (day == snapshots)
            return;
        if (auto left = FileSystem::listDirectory(day); left && left->empty()) {
            std::error_code ec;
            fs::remove(day, ec);
        }
    });
}

bool BackupService::isSafeSnapshotId(std::string_view id)
{
    if (id.empty() || id.front() == '/')
        return false;
    // A NUL would cut the path short at the system call ("..\0" reaching it as ".."); no other control
    // character belongs in a name the program writes either.
    if (std::ranges::any_of(id, [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
        return false;
    std::size_t start = 0;
    while (start <= id.size()) {
        const std::size_t end = std::min(id.find('/', start), id.size());
        const std::string_view component = id.substr(start, end - start);
        if (component.empty() || component == "." || component == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::optional<BackupService::Path> BackupService::snapshotFolder(const Path &snapshotsDirectory, std::string_view id)
{
    if (!isSafeSnapshotId(id))
        return std::nullopt;
    const fs::path snapshots = withoutTrailingSeparator(snapshotsDirectory);
    const fs::path relative {std::string(id)};

    // Every folder between snapshots/ and the snapshot folder must be a real folder, not a link.
    fs::path walk = snapshots;
    for (auto it = relative.begin(); it != relative.end(); ++it) {
        if (std::next(it) == relative.end())
            break;
        walk /= *it;
        if (isSymlink(walk))
            return std::nullopt;
    }
    fs::path folder = snapshots / relative;
    if (!FileSystem::exists(folder)) {
        const fs::path flat = snapshots / relative.filename();
        if (FileSystem::exists(flat))
            return flat;
    }
    return folder;
}

} // namespace velkaro
