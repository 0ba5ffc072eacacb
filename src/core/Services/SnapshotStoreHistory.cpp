// History, the walk over the snapshot folders, and retention of the snapshot store.
#include "Services/SnapshotStore.h"

#include "Platform/FileSystem.h"
#include "Platform/QuotedName.h"
#include "Services/FileVersions.h"
#include "Services/Retention.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <ranges>
#include <set>
#include <sys/stat.h>
#include <unordered_map>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

bool isRealFolder(const fs::path &path)
{
    struct stat st
    {
    };
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<BackupSnapshot> readSnapshotFile(const fs::path &folder)
{
    if (!SnapshotStore::isSnapshotFolder(folder))
        return std::nullopt;
    if (auto text = FileSystem::readFile(folder / SnapshotStore::kSnapshotFileName))
        return BackupSnapshot::decode(*text);
    return std::nullopt;
}

} // namespace

template<class Visit> void SnapshotStore::walk(const Visit &visit) const
{
    if (!isRealFolder(m_snapshots))
        return;
    auto entries = FileSystem::listDirectory(m_snapshots);
    if (!entries)
        return;
    for (const auto &entry : *entries) {
        const std::string name = entry.filename().string();
        if (isStagingName(name) || !isRealFolder(entry))
            continue;
        if (visit(entry, name))
            continue;
        auto children = FileSystem::listDirectory(entry);
        if (!children)
            continue;
        for (const auto &child : *children) {
            const std::string childName = child.filename().string();
            if (!isStagingName(childName) && isRealFolder(child))
                visit(child, name + "/" + childName);
        }
    }
}

std::vector<BackupSnapshot> SnapshotStore::scan() const
{
    std::vector<BackupSnapshot> found;
    walk([&](const fs::path &folder, const std::string &) {
        auto snapshot = readSnapshotFile(folder);
        if (!snapshot)
            return false; // a day folder, or a damaged one: its children are tried
        found.push_back(std::move(*snapshot));
        return true;
    });
    std::stable_sort(found.begin(), found.end(),
        [](const BackupSnapshot &a, const BackupSnapshot &b) { return a.createdAt > b.createdAt; });
    shareEqualPathLists(found);
    return found;
}

void SnapshotStore::addMissingSnapshots(std::vector<BackupSnapshot> &history) const
{
    std::set<std::string, std::less<>> known;
    for (const auto &snapshot : history) {
        known.insert(snapshot.id);
        known.insert(snapshot.id.substr(snapshot.id.rfind('/') + 1)); // a flat folder's name
    }
    walk([&](const fs::path &folder, const std::string &name) {
        if (known.contains(name))
            return true;
        auto snapshot = readSnapshotFile(folder);
        if (!snapshot)
            return false;
        if (known.contains(snapshot->id))
            return true;
        known.insert(snapshot->id);
        const auto later = std::find_if(
            history.begin(), history.end(), [&](const BackupSnapshot &s) { return s.createdAt < snapshot->createdAt; });
        history.insert(later, std::move(*snapshot));
        return true;
    });
}

SnapshotStore::History SnapshotStore::readHistory() const
{
    // Read in chunks: the file grows with every snapshot, and only the decoded list (whose equal path
    // lists are held once) is kept.
    const Path path = m_destination / kHistoryFileName;
    auto file = FileSystem::FileReader::open(path);
    if (!file) {
        // Missing: rebuilt from the folders. Unreadable: shown from the folders, but never replaced.
        History rebuilt {scan(), false, std::nullopt, nullptr};
        if (!FileSystem::isNotFound(file.error()))
            rebuilt.readError = file.error();
        return rebuilt;
    }
    std::optional<Error> readError;
    auto history = decodeSnapshotList([&](char *buffer, std::size_t size) {
        const auto n = file->read(buffer, size);
        if (n < 0 && !readError)
            readError = systemError(lastError(), path);
        return n;
    });
    if (readError)
        return {scan(), false, std::move(readError), nullptr};
    if (history) {
        addMissingSnapshots(*history);
        return {std::move(*history), true, std::nullopt, nullptr};
    }
    // A damaged file must not hide the snapshots that are still on disk.
    return {scan(), false, std::nullopt, nullptr};
}

struct SnapshotStore::ListedText
{
    struct Entry
    {
        BackupSnapshot summary; // as read, without its path list
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };

    mutable FileSystem::FileReader file;
    Path path;
    std::unordered_map<std::string, Entry> entries; // by id

    // The entry read for `snapshot`'s id when `snapshot` is still that very summary; else nothing.
    const Entry *find(const BackupSnapshot &snapshot) const
    {
        const auto it = entries.find(snapshot.id);
        return it != entries.end() && it->second.summary == snapshot ? &it->second : nullptr;
    }

    // Hands the entry's text to `emit` in pieces; fails when the file cannot be read again.
    Result<void> copy(const Entry &entry, const Json::Emit &emit) const
    {
        std::vector<char> buffer(std::min<std::uint64_t>(entry.length, 1 << 16));
        for (std::uint64_t done = 0; done < entry.length;) {
            const auto n = file.readAt(
                buffer.data(), std::min<std::uint64_t>(buffer.size(), entry.length - done), entry.offset + done);
            if (n <= 0)
                return std::unexpected(n < 0 ? systemError(lastError(), path)
                                             : systemError(std::make_error_code(std::errc::io_error), path));
            emit(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            done += static_cast<std::uint64_t>(n);
        }
        return {};
    }
};

SnapshotStore::History SnapshotStore::readListing() const
{
    const Path path = m_destination / kHistoryFileName;
    auto file = FileSystem::FileReader::open(path);
    if (!file)
        return readHistory();
    std::optional<Error> readError;
    auto read = decodeSnapshotSummaries([&](char *buffer, std::size_t size) {
        const auto n = file->read(buffer, size);
        if (n < 0 && !readError)
            readError = systemError(lastError(), path);
        return n;
    });
    if (readError || !read)
        return readHistory(); // it says what is wrong, and rebuilds what it must
    auto listed = std::make_shared<ListedText>(ListedText {std::move(*file), path, {}});
    History history {{}, true, std::nullopt, nullptr};
    history.snapshots.reserve(read->size());
    for (auto &entry : *read) {
        history.snapshots.push_back(entry.summary);
        const std::string id = entry.summary.id;
        if (!listed->entries.emplace(id, ListedText::Entry {std::move(entry.summary), entry.offset, entry.length})
                 .second)
            return readHistory(); // one id twice: each entry must be told apart by its id
    }
    history.listed = std::move(listed);
    addMissingSnapshots(history.snapshots);
    return history;
}

Result<BackupSnapshot> SnapshotStore::whole(const History &history, const BackupSnapshot &entry) const
{
    const ListedText::Entry *read = history.listed ? history.listed->find(entry) : nullptr;
    if (!read)
        return entry;
    std::string text;
    if (auto copied = history.listed->copy(*read, [&](std::string_view piece) { text += piece; }); !copied)
        return std::unexpected(copied.error());
    auto decoded = BackupSnapshot::decode(text);
    if (!decoded || decoded->id != entry.id)
        return std::unexpected(Error {kSystemErrorDomain, EIO,
            "history.json が読み込んだあとで変わりました: " + quotedName(history.listed->path.native())});
    return std::move(*decoded);
}

Result<void> SnapshotStore::writeHistory(const History &history) const
{
    // A file that could not be read may well be intact: it is neither replaced nor set aside.
    if (history.readError)
        return std::unexpected(*history.readError);
    const Path file = m_destination / kHistoryFileName;
    // The file was decoded whole under this same lock, so it needs no second look. One that was not
    // there or not whole failed to decode already: it is kept aside first.
    if (!history.fileIntact) {
        if (auto kept = FileSystem::keepAsDamaged(file); !kept)
            return kept;
    }
    if (!history.listed) {
        return FileSystem::writeFileAtomically(file, [&](const Json::Emit &write) -> Result<void> {
            encodeSnapshotList(history.snapshots, write);
            return {};
        });
    }
    // Entries read as text go back as that text; after a failed read the rest is passed over.
    return FileSystem::writeFileAtomically(file, [&](const Json::Emit &write) -> Result<void> {
        Result<void> copied;
        encodeSnapshotList(history.snapshots, write, [&](const BackupSnapshot &entry, const Json::Emit &emit) {
            const auto *read = history.listed->find(entry);
            if (read && copied)
                copied = history.listed->copy(*read, emit);
            return read != nullptr;
        });
        return copied;
    });
}

void SnapshotStore::insertByDate(std::vector<BackupSnapshot> &list, BackupSnapshot snapshot)
{
    std::erase_if(list, [&](const BackupSnapshot &s) { return s.id == snapshot.id; });
    // Newest first; among equal dates the new one goes first.
    const auto at = std::find_if(
        list.begin(), list.end(), [&](const BackupSnapshot &s) { return s.createdAt <= snapshot.createdAt; });
    list.insert(at, std::move(snapshot));
}

namespace {

// Entries with their path lists, read back one at a time for a listing read, keeping the last few.
class WholeEntries
{
public:
    WholeEntries(const SnapshotStore &store, const SnapshotStore::History &history)
        : m_store(store)
        , m_history(history)
    { }

    // Nothing when history.json cannot be read again: the entry then counts as holding other files.
    const BackupSnapshot *get(const BackupSnapshot &entry)
    {
        if (!m_history.listed)
            return &entry;
        for (const auto &kept : m_kept) {
            if (kept.id == entry.id)
                return &kept;
        }
        auto read = m_store.whole(m_history, entry);
        if (!read)
            return nullptr;
        if (m_kept.size() == kKept)
            m_kept.pop_front();
        m_kept.push_back(std::move(*read));
        return &m_kept.back();
    }

private:
    static constexpr std::size_t kKept = 4; // the pairs compared are neighbours
    const SnapshotStore &m_store;
    const SnapshotStore::History &m_history;
    std::deque<BackupSnapshot> m_kept;
};

} // namespace

std::vector<SnapshotStore::Picked> SnapshotStore::pickOld(
    History &history, std::int64_t limit, const std::vector<std::string> &keptIds) const
{
    std::vector<Picked> picked;
    if (limit < 1 || history.snapshots.size() <= static_cast<std::uint64_t>(limit))
        return picked;
    // Newest first by date; equal dates keep the list's order (the scan's order for a rebuilt list).
    std::vector<std::size_t> order(history.snapshots.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
        [&](std::size_t a, std::size_t b) { return history.snapshots[a].createdAt > history.snapshots[b].createdAt; });
    // Only snapshot folders count and go: an id that points elsewhere, a folder without its snapshot.json
    // and an entry whose folder is gone are left alone. A folder listed twice counts once, at its newest
    // entry. Oldest first from here.
    std::vector<std::pair<std::size_t, Path>> onDisk;
    std::set<Path> seen;
    for (const std::size_t index : order) {
        const auto folder = removableFolder(history.snapshots[index].id);
        if (folder && seen.insert(*folder).second && isSnapshotFolder(*folder))
            onDisk.emplace_back(index, *folder);
    }
    std::ranges::reverse(onDisk);
    const auto entry = [&](std::size_t at) -> const BackupSnapshot & { return history.snapshots[onDisk[at].first]; };
    WholeEntries wholes(*this, history);
    const auto chosen = chooseSnapshotsToRemove(
        onDisk.size(), limit, [&](std::size_t at) { return std::ranges::find(keptIds, entry(at).id) == keptIds.end(); },
        [&](std::size_t older, std::size_t newer) {
            const BackupSnapshot *a = wholes.get(entry(older));
            const BackupSnapshot *b = a ? wholes.get(entry(newer)) : nullptr;
            return a && b && holdSameFiles(*this, *a, *b);
        });
    std::set<std::string, std::less<>> gone;
    for (std::size_t at = onDisk.size(); at-- > 0;) { // newest first, as the list is
        if (std::ranges::find(chosen, at) == chosen.end())
            continue;
        gone.insert(entry(at).id);
        picked.push_back(Picked {entry(at).id, onDisk[at].second, {}});
    }
    std::erase_if(history.snapshots, [&](const BackupSnapshot &s) { return gone.contains(s.id); });
    return picked;
}

void SnapshotStore::setAside(std::vector<Picked> &picked) const
{
    // A folder that cannot be moved keeps its snapshot.json, so the next read of the history lists it again.
    std::erase_if(picked, [&](Picked &p) {
        auto staged = moveAside(p.folder);
        if (staged)
            p.staged = std::move(*staged);
        return !staged;
    });
}

Result<void> SnapshotStore::putBack(const std::vector<Picked> &picked) const
{
    Result<void> first;
    for (const auto &p : picked) {
        if (p.staged.empty())
            continue;
        if (auto back = putBackOne(p.staged, p.folder); !back && first)
            first = std::move(back);
    }
    return first;
}

std::vector<std::string> SnapshotStore::removeSetAside(const std::vector<Picked> &picked) const
{
    std::vector<std::string> removedIds;
    for (const auto &p : picked) {
        removedIds.push_back(p.id);
        (void)FileSystem::removeAll(p.staged);
        removeDayIfEmpty(p.folder.parent_path());
    }
    return removedIds;
}

} // namespace velkaro
