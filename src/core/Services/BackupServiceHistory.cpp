// History and retention of BackupService: the destination's SnapshotStore does the work.
#include "Services/BackupService.h"

#include "Services/SnapshotStore.h"

namespace velkaro {

namespace fs = std::filesystem;

namespace {

fs::path withoutTrailingSeparator(fs::path path)
{
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path())
        path = path.parent_path();
    return path;
}

} // namespace

std::vector<BackupSnapshot> BackupService::loadHistory(const Path &destination) const
{
    return SnapshotStore(destination).readHistory().snapshots;
}

Result<void> BackupService::updateHistory(const BackupSnapshot &snapshot, const Path &destination) const
{
    const SnapshotStore store(destination);
    auto history = store.readListing();
    SnapshotStore::insertByDate(history.snapshots, snapshot);
    return store.writeHistory(history);
}

std::vector<std::string> BackupService::cleanOldSnapshots(
    const Path &snapshotsDirectory, std::int64_t limit, const std::vector<std::string> &keptIds) const
{
    if (limit < 1)
        return {};
    const SnapshotStore store(withoutTrailingSeparator(snapshotsDirectory).parent_path());
    auto history = store.readListing();
    auto picked = store.pickOld(history, limit, keptIds);
    if (picked.empty())
        return {};
    // Set aside first, then the history, then removal: a kill never leaves a listed, half-removed folder.
    store.setAside(picked);
    if (!store.writeHistory(history)) {
        (void)store.putBack(picked);
        return {};
    }
    return store.removeSetAside(picked);
}

} // namespace velkaro
