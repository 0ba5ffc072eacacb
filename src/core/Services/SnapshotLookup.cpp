#include "Services/SnapshotLookup.h"

#include "Platform/FileSystem.h"
#include "Services/BackupService.h"
#include "Services/SnapshotStore.h"

#include <algorithm>
#include <cctype>

namespace velkaro {

namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
    });
}

// The snapshot of the folder that `id` names, when its own record carries exactly this id.
std::optional<BackupSnapshot> fromOwnFolder(const SnapshotStore &store, std::string_view id)
{
    if (!SnapshotStore::isSafeSnapshotId(id))
        return std::nullopt;
    const auto folder = store.snapshotFolder(id);
    if (!folder || !SnapshotStore::isSnapshotFolder(*folder))
        return std::nullopt;
    const auto text = FileSystem::readFile(*folder / SnapshotStore::kSnapshotFileName);
    auto snapshot = text ? BackupSnapshot::decode(*text) : std::nullopt;
    if (!snapshot || snapshot->id != id)
        return std::nullopt;
    return snapshot;
}

// The entry of an intact history.json with exactly this id; nothing when there is none or the file is
// not whole (the history is then rebuilt from the folders).
std::optional<BackupSnapshot> fromHistoryFile(const SnapshotStore &store, std::string_view id)
{
    auto file = FileSystem::FileReader::open(store.destination() / SnapshotStore::kHistoryFileName);
    if (!file)
        return std::nullopt;
    std::optional<BackupSnapshot> found;
    const bool whole = forEachSnapshot([&](char *buffer, std::size_t size) { return file->read(buffer, size); },
        [&](BackupSnapshot &&snapshot) {
            if (snapshot.id == id && !found)
                found = std::move(snapshot);
            return true; // on to the end: only a whole file counts
        });
    return whole ? found : std::nullopt;
}

} // namespace

std::optional<BackupSnapshot> findListedSnapshot(const std::filesystem::path &destination, std::string_view id)
{
    const SnapshotStore store(destination);
    if (auto own = fromOwnFolder(store, id))
        return own;
    if (auto listed = fromHistoryFile(store, id))
        return listed;
    // Another spelling, a damaged history: the whole list decides, as it always did.
    const auto history = BackupService().loadHistory(destination);
    const BackupSnapshot *blind = nullptr;
    int blindCount = 0;
    for (const auto &snapshot : history) {
        if (snapshot.id == id)
            return snapshot;
        if (sameIgnoringCase(snapshot.id, id))
            blind = &snapshot, ++blindCount;
    }
    return blindCount == 1 ? std::optional(*blind) : std::nullopt;
}

} // namespace velkaro
