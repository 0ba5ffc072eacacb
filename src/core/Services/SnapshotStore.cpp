// Layout, locating, staging, publishing and deletion of the snapshot store.
#include "Services/SnapshotStore.h"

#include "Platform/FileSystem.h"
#include "Platform/Formatters.h"
#include "Platform/QuotedName.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

// How far a run moves on when the seconds after its start are taken: an hour of back-to-back runs.
constexpr int kMaxSecondsAhead = 3600;
// A newest snapshot up to this far ahead of the clock still orders the next id after it.
constexpr auto kFutureSlack = std::chrono::seconds(60);

bool isRealFolder(const fs::path &path)
{
    struct stat st
    {
    };
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isAbsent(const fs::path &path)
{
    struct stat st
    {
    };
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

fs::path withoutTrailingSeparator(fs::path path)
{
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path())
        path = path.parent_path();
    return path;
}

// A rename that fails with EEXIST instead of replacing what stands at `to`. Where the file system lacks
// the flag, the lock we hold makes a look-then-rename just as safe.
int renameNoReplace(const fs::path &from, const fs::path &to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (!isAbsent(to))
        return EEXIST;
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// A staging name no other folder has: the process, a counter and a random part.
std::string freshStagingName()
{
    static std::atomic<unsigned> counter {0};
    thread_local std::mt19937 random {std::random_device {}()};
    return std::string(SnapshotStore::kStagingMark) + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-"
        + std::to_string(random() % 1000000);
}

Result<void> syncFileSystem(const fs::path &inside)
{
    const int fd = ::open(inside.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(systemError(lastError(), inside));
    const bool synced = ::syncfs(fd) == 0;
    const auto ec = lastError();
    ::close(fd);
    if (!synced)
        return std::unexpected(systemError(ec, inside));
    return {};
}

Error folderError(std::error_code ec, const fs::path &path)
{
    Error error = systemError(ec, path);
    error.description = "保存先ディレクトリ作成失敗: " + error.description;
    return error;
}

Error notASnapshotFolder(std::string_view id)
{
    return Error {SnapshotStore::kErrorDomain, SnapshotStore::kNotASnapshotFolder,
        "スナップショットのフォルダではないため削除しませんでした: " + quotedName(id)};
}

} // namespace

SnapshotStore::SnapshotStore(Path destination)
    : m_destination(withoutTrailingSeparator(std::move(destination)))
    , m_snapshots(m_destination / kSnapshotsFolderName)
{ }

std::string SnapshotStore::idFor(TimePoint time)
{
    return formatDate(time, "yyyy-MM-dd") + "/" + std::string(kSnapshotPrefix) + formatDate(time, "HHmmss");
}

bool SnapshotStore::isSafeSnapshotId(std::string_view id)
{
    // No control character belongs in a name the program makes itself.
    return isSafeRelativePath(id) && !std::ranges::any_of(id, [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

bool SnapshotStore::isSafeRelativePath(std::string_view path)
{
    // A NUL would cut the path short at the system call ("..\0" reaching it as "..").
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos)
        return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::optional<SnapshotStore::Path> SnapshotStore::snapshotFolder(std::string_view id) const
{
    if (!isSafeSnapshotId(id) || FileSystem::passesThroughLink(m_destination, Path(kSnapshotsFolderName) / "x"))
        return std::nullopt;
    const fs::path relative {std::string(id)};
    // Every folder between snapshots/ and the snapshot folder must be a real folder, not a link.
    if (FileSystem::passesThroughLink(m_snapshots, relative))
        return std::nullopt;
    // The dated folder when it holds data/; else a flat folder that does (an older store's), or one
    // standing alone where the dated folder is missing (a snapshot of no files has no data/).
    fs::path folder = m_snapshots / relative;
    if (isRealFolder(folder / kDataFolderName))
        return folder;
    fs::path flat = m_snapshots / relative.filename();
    if (isRealFolder(flat / kDataFolderName) || (!FileSystem::exists(folder) && FileSystem::exists(flat)))
        return flat;
    return folder;
}

Result<void> SnapshotStore::checkSnapshotsFolder() const
{
    struct stat st
    {
    };
    if (::lstat(m_snapshots.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return {}; // missing (made by the caller) or a real folder
    if (S_ISLNK(st.st_mode))
        return std::unexpected(
            systemError(std::make_error_code(std::errc::too_many_symbolic_link_levels), m_snapshots));
    return std::unexpected(Error {
        kSystemErrorDomain, ENOTDIR, "「snapshots」はフォルダではありません: " + quotedName(m_snapshots.native())});
}

std::optional<SnapshotStore::Path> SnapshotStore::dataFolder(std::string_view id) const
{
    auto folder = snapshotFolder(id);
    if (!folder || !isRealFolder(*folder) || !isRealFolder(*folder / kDataFolderName))
        return std::nullopt;
    return *folder / kDataFolderName;
}

std::optional<SnapshotStore::Path> SnapshotStore::storedFile(std::string_view id, std::string_view relativePath) const
{
    if (!isSafeRelativePath(relativePath))
        return std::nullopt;
    auto data = dataFolder(id);
    if (!data || FileSystem::passesThroughLink(*data, Path(std::string(relativePath))))
        return std::nullopt;
    Path file = *data / std::string(relativePath);
    struct stat st
    {
    };
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return file;
}

bool SnapshotStore::isSnapshotFolder(const Path &folder)
{
    if (isStagingName(folder.filename().native()) || !isRealFolder(folder))
        return false;
    struct stat st
    {
    };
    return ::lstat((folder / kSnapshotFileName).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Result<SnapshotStore::Path> SnapshotStore::stage() const
{
    if (auto usable = checkSnapshotsFolder(); !usable)
        return std::unexpected(usable.error());
    if (auto made = FileSystem::createPrivateDirectories(m_snapshots.string()); !made)
        return std::unexpected(made.error());
    const Path staging = m_snapshots / freshStagingName();
    if (::mkdir(staging.c_str(), 0700) != 0)
        return std::unexpected(systemError(lastError(), staging));
    if (::mkdir((staging / kDataFolderName).c_str(), 0700) != 0) {
        const Error error = systemError(lastError(), staging / kDataFolderName);
        discard(staging);
        return std::unexpected(error);
    }
    return staging;
}

TimePoint SnapshotStore::firstIdTime(TimePoint now, const std::vector<BackupSnapshot> &listed)
{
    std::optional<TimePoint> newest;
    for (const auto &entry : listed) {
        if (!newest || entry.createdAt > *newest)
            newest = entry.createdAt;
    }
    // Ids never go backwards, so a second freed by retention is not taken again; but a newest snapshot
    // far in the future (a clock that was wrong, an edited store) must not pin every id after it.
    if (!newest || *newest > now + kFutureSlack)
        return now;
    return std::max(now, *newest + std::chrono::seconds(1));
}

Result<void> SnapshotStore::publish(
    const Path &staging, BackupSnapshot &snapshot, const std::vector<BackupSnapshot> &listed) const
{
    // Everything copied into the staging folder reaches the disk before snapshot.json vouches for it:
    // one syncfs of the store's file system costs less than an fsync per file.
    if (const auto synced = syncFileSystem(staging); !synced)
        return std::unexpected(Error {synced.error().domain, synced.error().code,
            "スナップショットのデータをディスクに書き込めませんでした: " + synced.error().description});
    std::unordered_set<std::string_view> taken;
    for (const auto &entry : listed)
        taken.insert(entry.id);
    TimePoint at = firstIdTime(snapshot.createdAt, listed);
    for (int ahead = 0; ahead < kMaxSecondsAhead; ++ahead, at += std::chrono::seconds(1)) {
        const std::string id = idFor(at);
        const Path folder = m_snapshots / id;
        struct stat st
        {
        };
        if (taken.contains(id) || ::lstat(folder.c_str(), &st) == 0)
            continue;
        if (errno != ENOENT) // a file where the day folder goes, say: no later second fares better
            return std::unexpected(folderError(lastError(), folder.parent_path()));
        snapshot.id = id;
        snapshot.createdAt = at;
        if (auto written = FileSystem::writeFileAtomically(staging / kSnapshotFileName, snapshot.encode()); !written)
            return std::unexpected(Error {written.error().domain, written.error().code,
                "snapshot.json を書き込めませんでした: " + written.error().description});
        if (auto moved = moveInto(staging, folder); moved != EEXIST && moved != ENOTEMPTY) {
            if (moved == 0)
                return {};
            return std::unexpected(folderError({moved, std::generic_category()}, folder));
        }
    }
    return std::unexpected(
        Error {kErrorDomain, kSecondTaken, "同じ時刻のスナップショットがすでにあります: " + idFor(at)});
}

int SnapshotStore::moveInto(const Path &staging, const Path &folder) const
{
    // The day folder is ours to make, and must not lead out of the store.
    const Path day = folder.parent_path();
    const bool madeDay = ::mkdir(day.c_str(), 0700) == 0;
    if (!madeDay && errno != EEXIST)
        return errno;
    if (!isRealFolder(day))
        return ELOOP;
    const int renamed = renameNoReplace(staging, folder);
    if (renamed != 0) {
        if (madeDay)
            removeDayIfEmpty(day);
        return renamed;
    }
    // The new names are on disk before history.json lists them.
    FileSystem::syncFolder(day);
    FileSystem::syncFolder(m_snapshots);
    return 0;
}

void SnapshotStore::unpublish(const std::string &id) const
{
    const Path folder = m_snapshots / id;
    if (auto staged = moveAside(folder)) {
        (void)FileSystem::removeAll(*staged);
        removeDayIfEmpty(folder.parent_path());
    }
}

void SnapshotStore::discard(const Path &staging)
{
    (void)FileSystem::removeAll(staging);
}

std::vector<std::string> SnapshotStore::removeLeftovers(std::int64_t before) const
{
    FileSystem::removeStaleTemporaries(m_destination, before);
    std::vector<std::string> removed;
    if (!isRealFolder(m_snapshots))
        return removed;
    auto entries = FileSystem::listDirectory(m_snapshots);
    if (!entries)
        return removed;
    // We hold the lock, so every staging folder belongs to a run that is gone, whatever its age.
    std::vector<std::pair<Path, std::string>> leftovers; // folder, the id it records (if any)
    std::set<std::string, std::less<>> ids;
    for (const auto &entry : *entries) {
        if (!isStagingName(entry.filename().native()) || !isRealFolder(entry))
            continue;
        std::string id;
        if (const auto text = FileSystem::readFile(entry / kSnapshotFileName)) {
            if (const auto snapshot = BackupSnapshot::decode(*text))
                id = snapshot->id;
        }
        // A snapshot moved aside by a killed delete or retention still stands under its id elsewhere
        // only if it was put back; otherwise its entry goes now, before its folder.
        if (!id.empty() && !removableFolder(id))
            ids.insert(id);
        leftovers.emplace_back(entry, std::move(id));
    }
    const bool entriesGone = ids.empty() || dropFromHistory(ids);
    for (const auto &[folder, id] : leftovers) {
        if (!entriesGone && ids.contains(id))
            continue; // still listed: kept until its entry can go
        (void)FileSystem::removeAll(folder);
        if (!id.empty())
            removed.push_back(id);
    }
    return removed;
}

bool SnapshotStore::dropFromHistory(const std::set<std::string, std::less<>> &ids) const
{
    History history = readListing();
    if (history.readError)
        return false; // it may list them
    const auto dropped = std::erase_if(history.snapshots, [&](const BackupSnapshot &s) { return ids.contains(s.id); });
    return dropped == 0 || writeHistory(history).has_value();
}

std::optional<SnapshotStore::Path> SnapshotStore::moveAside(const Path &folder) const
{
    const Path staged = m_snapshots / freshStagingName();
    if (renameNoReplace(folder, staged) != 0)
        return std::nullopt;
    return staged;
}

Result<void> SnapshotStore::putBackOne(const Path &staged, const Path &folder) const
{
    // The day folder may have gone with its last other snapshot meanwhile: it is ours to make again.
    ::mkdir(folder.parent_path().c_str(), 0700);
    const int failed = renameNoReplace(staged, folder);
    if (failed == 0) {
        FileSystem::syncFolder(folder.parent_path());
        FileSystem::syncFolder(m_snapshots);
        return {};
    }
    // Under its staging name the next cleanup would remove it: it goes under a name no cleanup takes.
    const Path kept = m_snapshots / (std::string(kKeptMark) + freshStagingName().substr(kStagingMark.size()));
    const Path where = renameNoReplace(staged, kept) == 0 ? kept : staged;
    return std::unexpected(Error {kSystemErrorDomain, failed,
        "スナップショットのフォルダを元に戻せませんでした (" + where.string()
            + " に残しています): " + describeErrno(failed) + ": " + quotedName(folder.native())});
}

void SnapshotStore::removeDayIfEmpty(const Path &day) const
{
    if (day == m_snapshots || !isRealFolder(day))
        return;
    // rmdir removes an empty folder only: a stray file keeps its day folder.
    ::rmdir(day.c_str());
}

std::optional<SnapshotStore::Path> SnapshotStore::removableFolder(std::string_view id) const
{
    if (!isSafeSnapshotId(id) || !isRealFolder(m_snapshots))
        return std::nullopt;
    const auto slash = id.find('/');
    const bool dayForm = slash != std::string_view::npos && id.find('/', slash + 1) == std::string_view::npos
        && id.substr(slash + 1).starts_with(kSnapshotPrefix);
    if (dayForm) {
        const Path day = m_snapshots / std::string(id.substr(0, slash));
        const Path folder = day / std::string(id.substr(slash + 1));
        if (isRealFolder(day) && isRealFolder(folder) && !isStagingName(day.filename().native()))
            return folder;
    }
    // The flat form (whatever its name), only where that folder's own record says it is this snapshot.
    const std::string_view last = id.substr(id.rfind('/') + 1);
    const Path flat = m_snapshots / std::string(last);
    if (!isSnapshotFolder(flat))
        return std::nullopt;
    const auto text = FileSystem::readFile(flat / kSnapshotFileName);
    const auto recorded = text ? BackupSnapshot::decode(*text) : std::nullopt;
    return recorded && recorded->id == id ? std::optional(flat) : std::nullopt;
}

Result<void> SnapshotStore::remove(const std::string &id) const
{
    if (FileSystem::passesThroughLink(m_destination, Path(kSnapshotsFolderName), true))
        return std::unexpected(
            systemError(std::make_error_code(std::errc::too_many_symbolic_link_levels), m_snapshots));
    const auto folder = removableFolder(id);
    const auto slash = id.find('/');
    const bool dayForm = isSafeSnapshotId(id) && slash != std::string::npos
        && id.find('/', slash + 1) == std::string::npos
        && std::string_view(id).substr(slash + 1).starts_with(kSnapshotPrefix);
    // An id of the right form whose folder is simply gone loses its entry; anything else is refused.
    if (!folder && !(dayForm && isAbsent(m_snapshots / id) && isAbsent(m_snapshots / id.substr(slash + 1))))
        return std::unexpected(notASnapshotFolder(id));

    std::optional<Path> staged;
    if (folder) {
        staged = moveAside(*folder);
        if (!staged)
            return std::unexpected(systemError(lastError(), *folder));
    }
    History history = readListing();
    const auto dropped = std::erase_if(history.snapshots, [&](const BackupSnapshot &s) { return s.id == id; });
    if (dropped > 0 || !history.fileIntact) {
        if (auto written = writeHistory(history); !written) {
            if (staged) {
                if (auto back = putBackOne(*staged, *folder); !back)
                    return back;
            }
            return written;
        }
    }
    if (staged) {
        (void)FileSystem::removeAll(*staged);
        removeDayIfEmpty(folder->parent_path());
    }
    return {};
}

} // namespace velkaro
