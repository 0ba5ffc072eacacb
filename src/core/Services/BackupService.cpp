// Snapshot creation and deletion of BackupService.
#include "Services/BackupService.h"

#include "Platform/FileCopier.h"
#include "Platform/FileSystem.h"
#include "Platform/Formatters.h"
#include "Platform/OpenFolder.h"
#include "Services/FileStatRecord.h"
#include "Services/SnapshotStore.h"
#include "Services/SourceSelection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

// A file of the run: what the selection gave, and what became of it.
struct CollectedFile
{
    SelectedFile selected;
    bool linked = false;
    std::int64_t bytes = 0; // copied
};

// Closes a descriptor when it goes.
struct Fd
{
    int fd = -1;
    explicit Fd(int descriptor)
        : fd(descriptor)
    { }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The snapshot a run links its unchanged files from: the newest earlier one of the history, with its
// record of source stamps when it has one. A hard link shares its inode with every snapshot holding
// it, so nothing of the store is ever changed in place: a linked file is only ever unlinked.
class LinkBase
{
public:
    LinkBase(const fs::path &folder, const std::vector<std::string> &paths)
        : m_data((folder / SnapshotStore::kDataFolderName).string() + '/')
        , m_record(FileStatRecord::read(folder, paths.size()))
    {
        m_paths.reserve(paths.size());
        for (std::size_t i = 0; i < paths.size(); ++i)
            m_paths.try_emplace(paths[i], i);
    }

    const std::string &dataFolder() const { return m_data; } // ends in "/"
    std::optional<std::size_t> indexOf(std::string_view rel) const
    {
        const auto found = m_paths.find(rel);
        return found == m_paths.end() ? std::nullopt : std::optional(found->second);
    }
    // The base's record proves the source file unchanged since the base took it.
    bool provesUnchanged(std::size_t index, const FileStamp &now) const
    {
        return m_record && m_record->provesUnchanged(index, now);
    }

private:
    std::string m_data;
    std::unordered_map<std::string_view, std::size_t> m_paths; // views into the history the run holds
    std::optional<FileStatRecord> m_record;
};

// One thread's way through a link base: it keeps the base folder it is in open, so that each file
// costs one-component lookups only.
class Linker
{
public:
    explicit Linker(const LinkBase &base)
        : m_base(base)
        , m_folders(base.dataFolder())
    { }

    // Links the target to the base's copy of the file when the file is provably unchanged: its stamp is
    // the one the base recorded, or (an older base, a change in the base run's own tick, a new inode)
    // its bytes, size, time and mode are those of the base's copy. The target is `targetName` in the
    // folder `targetFolderFd`. True when the link stands; false means "copy it".
    bool link(const SelectedFile &file, int targetFolderFd, const char *targetName, const std::string &target)
    {
        const auto index = m_base.indexOf(file.relativePath);
        if (!m_enabled || !file.stamp.known() || !index)
            return false;
        const char *name = nullptr;
        const int folderFd = m_folders.folderOf(file.relativePath, name);
        struct stat st = {};
        if (folderFd < 0 || ::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)
            || st.st_size != file.stamp.size)
            return false;
        if (!m_base.provesUnchanged(*index, file.stamp) && !sameAsBaseCopy(file, st, folderFd, name))
            return false;
        if (::linkat(folderFd, name, targetFolderFd, targetName, 0) == 0)
            return true;
        if (errno == EEXIST) {
            // A name already taken in the run's own staging folder: replace the name, never write into it.
            std::error_code ec;
            fs::remove_all(target, ec);
            if (::linkat(folderFd, name, targetFolderFd, targetName, 0) == 0)
                return true;
        }
        // Another file system or one without hard links will refuse every later file too.
        if (errno == EXDEV || errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)
            m_enabled = false;
        return false;
    }

private:
    // The copy keeps the source's time and permission bits, so a link must agree in those too.
    static bool sameAsBaseCopy(const SelectedFile &file, const struct stat &copy, int folderFd, const char *name)
    {
        const FileStamp &now = file.stamp;
        if (copy.st_mtim.tv_sec != now.modifiedSeconds
            || static_cast<std::uint32_t>(copy.st_mtim.tv_nsec) != now.modifiedNanoseconds
            || (copy.st_mode & 07777) != (now.mode & 07777))
            return false;
        const Fd source {::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | (file.isSource ? 0 : O_NOFOLLOW))};
        const Fd stored {::openat(folderFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
        struct stat st = {};
        if (source.fd < 0 || stored.fd < 0 || ::fstat(source.fd, &st) != 0 || st.st_ino != now.inode
            || st.st_dev != now.device)
            return false;
        return FileSystem::sameBytes(source.fd, stored.fd) == 1;
    }

    const LinkBase &m_base;
    RealFolders m_folders;
    bool m_enabled = true;
};

// Below this many files the linking stays on one thread.
constexpr std::size_t kParallelLinkThreshold = 1000;

bool isOutOfSpace(const Error &error)
{
    return error.domain == kSystemErrorDomain && (error.code == ENOSPC || error.code == EDQUOT);
}

constexpr const char *kNoSpace = "保存先の空き容量が足りないため、スナップショットを保存できませんでした: ";
constexpr const char *kNoFolder = "保存先ディレクトリ作成失敗: ";
constexpr const char *kErrorDomain = "BackupService";

std::optional<Error> refusePaths(const BackupConfig &config, const BackupProgressHandler &progressHandler)
{
    auto problem = config.pathProblem();
    if (problem && progressHandler)
        progressHandler(BackupExecutionState::failed(problem->description));
    return problem;
}

// One backup run, step by step: it selects the files, stages a folder, fills it (linking unchanged
// files, copying the rest), publishes it and records it. A run that fails or goes out of scope before
// publishing takes its staging folder with it; one that fails after publishing takes its published
// folder back out.
class SnapshotRun
{
public:
    SnapshotRun(const BackupConfig &config, const BackupProgressHandler &handler)
        : m_config(config)
        , m_handler(handler)
        , m_store(fs::path(config.destinationDirectory))
    { }
    SnapshotRun(const SnapshotRun &) = delete;
    SnapshotRun &operator=(const SnapshotRun &) = delete;
    ~SnapshotRun()
    {
        if (!m_staging.empty())
            SnapshotStore::discard(m_staging);
    }

    void report(const BackupExecutionState &state) const
    {
        if (m_handler)
            m_handler(state);
    }

    Result<BackupRun> fail(const std::string &cause, const Error &error)
    {
        if (!m_published.empty())
            m_store.unpublish(m_published);
        m_published.clear();
        Error failure {error.domain, error.code, cause + error.description};
        report(BackupExecutionState::failed(failure.description));
        return std::unexpected(std::move(failure));
    }

    // Takes the files the selection gives, removing on the way what killed restores left below the
    // sources (older than `lockedAt`). A safety snapshot has nothing to keep of a source that is not
    // there, so only an unreadable one fails it. Fails when no source could be read: then nothing is
    // written.
    Result<void> select(std::int64_t lockedAt, bool missingSourcesFail)
    {
        m_lockedAt = lockedAt;
        SelectionOptions options;
        options.excludedFolder = m_store.destination();
        options.removeTemporariesBefore = lockedAt;
        const SourceSelection selection(m_config.sourceDirectories, m_config.targetExtensions, options);
        m_selection = selection.select([&](SelectedFile &&file) { m_files.push_back({std::move(file), false, 0}); });
        if (!missingSourcesFail)
            std::erase_if(m_selection.failedSources, [](const SourceFailure &f) { return f.error == ENOENT; });
        const auto &failed = m_selection.failedSources;
        if (failed.empty() || failed.size() < m_config.sourceDirectories.size())
            return {};
        std::string description;
        for (const auto &failure : failed)
            description += (description.empty() ? "" : "、") + failure.description();
        const bool allMissing = std::ranges::all_of(failed, [](const SourceFailure &f) { return f.error == ENOENT; });
        return std::unexpected(Error {kErrorDomain, allMissing ? 404 : 403, description});
    }

    // Removes what killed runs left (all older than the lock) and makes this run's staging folder.
    Result<void> prepare()
    {
        m_interrupted = m_store.removeLeftovers(m_lockedAt);
        auto staging = m_store.stage();
        if (!staging)
            return std::unexpected(staging.error());
        m_staging = std::move(*staging);
        m_dataFolder = (m_staging / SnapshotStore::kDataFolderName).string() + '/';
        return {};
    }

    // One read of the history serves the whole run; its newest snapshot is the link base. A history.json
    // that cannot be read fails the run: it is never replaced by a list rebuilt without it.
    Result<void> readHistory()
    {
        m_held = m_store.readHistory();
        if (m_held.readError)
            return std::unexpected(*m_held.readError);
        // Entries of a delete or retention that a kill cut short, whose folders are gone now.
        std::erase_if(m_held.snapshots, [&](const BackupSnapshot &s) {
            if (std::find(m_interrupted.begin(), m_interrupted.end(), s.id) == m_interrupted.end())
                return false;
            const auto folder = m_store.snapshotFolder(s.id);
            return folder && !FileSystem::exists(*folder);
        });
        const BackupSnapshot *newest = nullptr;
        for (const auto &entry : m_held.snapshots) {
            if (!newest || entry.createdAt > newest->createdAt)
                newest = &entry;
        }
        if (!newest)
            return {};
        if (const auto data = m_store.dataFolder(newest->id))
            m_linkBase.emplace(data->parent_path(), newest->relativeFilePaths.items());
        m_basePaths = newest->relativeFilePaths;
        return {};
    }

    void link();
    Result<void> copy();

    // The record of what was stored, and the stamps of the sources it was taken from beside it.
    BackupSnapshot record(BackupTriggerType trigger, TimePoint start, StampTime runStart)
    {
        report(BackupExecutionState::finalizing());
        BackupSnapshot snapshot;
        snapshot.createdAt = start;
        snapshot.triggerType = trigger;
        snapshot.filesCount = static_cast<std::int64_t>(m_recorded.size());
        snapshot.totalSizeBytes = m_total;
        snapshot.relativeFilePaths = m_recorded == m_basePaths.items() ? m_basePaths : PathList(std::move(m_recorded));
        m_linkBase.reset(); // it views into the held list, which changes from here on
        // Without the record the next run compares bytes instead: slower, never wrong.
        (void)FileStatRecord(runStart, std::move(m_stamps)).write(m_staging);
        return snapshot;
    }

    // Publishes the staged folder under the first free second from the snapshot's start.
    Result<void> publish(BackupSnapshot &snapshot)
    {
        auto published = m_store.publish(m_staging, snapshot, m_held.snapshots);
        if (!published)
            return published;
        m_staging.clear();
        m_published = snapshot.id;
        return {};
    }

    // The run's one write of history.json: the new snapshot in front, retention's picks already out and
    // set aside, so that a kill never leaves a listed snapshot with half its files. A run that could not
    // read everything prunes nothing: its snapshot must not push out ones that hold what it missed.
    Result<std::vector<std::string>> recordInHistory(const BackupSnapshot &snapshot, std::string_view keptSnapshotId)
    {
        SnapshotStore::insertByDate(m_held.snapshots, snapshot);
        // The new snapshot is never its own run's victim (a clock set back would make it the oldest).
        std::vector<std::string> kept {snapshot.id};
        if (!keptSnapshotId.empty())
            kept.emplace_back(keptSnapshotId);
        const bool complete = m_selection.failedSources.empty() && m_selection.unreadableFolderCount == 0;
        auto picked = complete ? m_store.pickOld(m_held, m_config.maxSnapshotsLimit, kept)
                               : std::vector<SnapshotStore::Picked>();
        m_store.setAside(picked);
        if (auto written = m_store.writeHistory(m_held); !written) {
            // A folder that could not go back is the news: it is no longer where its entry says.
            if (auto back = m_store.putBack(picked); !back)
                return std::unexpected(back.error());
            return std::unexpected(written.error());
        }
        m_published.clear();
        m_held = {};
        return m_store.removeSetAside(picked);
    }

    std::int64_t skipped() const { return m_skipped; }
    SelectionReport &selection() { return m_selection; }

private:
    void linkRange(std::size_t from, std::size_t to);
    Result<bool> copyOne(CollectedFile &file, std::string &madeFolder, FileCopier &copier);

    const BackupConfig &m_config;
    const BackupProgressHandler &m_handler;
    SnapshotStore m_store;
    std::int64_t m_lockedAt = 0;
    SelectionReport m_selection;
    std::vector<std::string> m_interrupted; // ids in the staging folders that cleanup removed
    fs::path m_staging; // until published
    std::string m_published; // from publish until history.json holds it
    std::string m_dataFolder; // ends in "/"
    SnapshotStore::History m_held;
    std::optional<LinkBase> m_linkBase;
    PathList m_basePaths; // the base's list, shared by the new snapshot when it records the same files
    std::vector<CollectedFile> m_files;
    std::vector<std::string> m_recorded;
    std::vector<FileStamp> m_stamps; // one per recorded path
    std::int64_t m_total = 0;
    std::int64_t m_skipped = 0;
};

// Links the unchanged files of [from, to) to the base's copies; a file that fails here is copied later.
void SnapshotRun::linkRange(std::size_t from, std::size_t to)
{
    Linker linker(*m_linkBase);
    OpenFolder target(true);
    std::string targetPath;
    for (std::size_t i = from; i < to; ++i) {
        CollectedFile &file = m_files[i];
        const std::string &rel = file.selected.relativePath;
        if (!m_linkBase->indexOf(rel))
            continue;
        targetPath = m_dataFolder + rel;
        const std::size_t slash = targetPath.rfind('/');
        if (std::string_view(targetPath).substr(0, slash) != target.path()) {
            if (!FileSystem::createPrivateDirectories(targetPath.substr(0, slash))) {
                target.close();
                continue;
            }
            target.open(targetPath.substr(0, slash));
        }
        if (target.fd() >= 0)
            file.linked = linker.link(file.selected, target.fd(), targetPath.c_str() + slash + 1, targetPath);
    }
}

// Each link is a few system calls on different folders, so two threads share the work when there is
// enough of it.
void SnapshotRun::link()
{
    if (!m_linkBase)
        return;
    std::optional<std::thread> helper;
    const std::size_t count = m_files.size();
    const std::size_t half
        = count >= kParallelLinkThreshold && std::thread::hardware_concurrency() > 1 ? count / 2 : count;
    if (half < count) {
        try {
            helper.emplace([this, half, count] { linkRange(half, count); });
        } catch (const std::system_error &) {
            linkRange(half, count); // no thread to be had: all on this one
        }
    }
    linkRange(0, half);
    if (helper)
        helper->join();
}

// Places one file that was not linked. False when it was skipped; an error only for a full disk, which
// fails every later file too (a snapshot of what fitted is no snapshot).
Result<bool> SnapshotRun::copyOne(CollectedFile &file, std::string &madeFolder, FileCopier &copier)
{
    const std::string target = m_dataFolder + file.selected.relativePath;
    const std::string parent = target.substr(0, target.rfind('/'));
    if (parent != madeFolder) {
        if (auto made = FileSystem::createPrivateDirectories(parent); !made) {
            if (isOutOfSpace(made.error()))
                return std::unexpected(made.error());
            return false;
        }
        madeFolder = parent;
    }
    const auto copied = copier.copy(file.selected.path, target, true);
    if (!copied) {
        if (isOutOfSpace(copied.error()))
            return std::unexpected(copied.error());
        return false;
    }
    // What was read may differ from the stamp taken before; the stamp then fails the next run's test.
    file.bytes = *copied;
    return true;
}

Result<void> SnapshotRun::copy()
{
    const double divisor = m_files.size() > 1 ? static_cast<double>(m_files.size()) : 1.0;
    FileCopier copier;
    std::string madeFolder; // the last target folder known to exist
    m_recorded.reserve(m_files.size());
    m_stamps.reserve(m_files.size());
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        CollectedFile &file = m_files[i];
        const std::string &path = file.selected.path;
        report(BackupExecutionState::copying(static_cast<double>(i) / divisor, path.substr(path.rfind('/') + 1)));
        if (!file.linked) {
            auto placed = copyOne(file, madeFolder, copier);
            if (!placed)
                return std::unexpected(placed.error());
            if (!*placed) {
                ++m_skipped;
                continue;
            }
        }
        m_total += file.linked ? file.selected.stamp.size : file.bytes;
        m_recorded.push_back(std::move(file.selected.relativePath));
        m_stamps.push_back(file.selected.stamp);
    }
    m_files = {}; // give the memory back before the JSON work
    return {};
}

} // namespace

std::string BackupRun::skippedFilesSuffix() const
{
    return skippedFileCount > 0 ? "、" + std::to_string(skippedFileCount) + " 件はコピーできませんでした"
                                : std::string();
}

std::string BackupRun::problemsSuffix() const
{
    std::string text = skippedFilesSuffix();
    if (skippedFolderCount > 0)
        text
            += "、" + std::to_string(skippedFolderCount) + " 件のフォルダを読み込めませんでした: " + firstSkippedFolder;
    for (const auto &failure : failedSources)
        text += "、" + failure.description();
    return text;
}

std::string BackupRun::successMessage() const
{
    return "バックアップ完了 (" + std::to_string(snapshot.filesCount) + " 件 • " + snapshot.formattedSize()
        + problemsSuffix() + ")";
}

BackupService::BackupService(Clock clock, std::chrono::milliseconds lockWait)
    : m_clock(std::move(clock))
    , m_lockWait(lockWait)
{ }

std::vector<BackupService::Path> BackupService::collectFiles(
    const std::vector<std::string> &from, const std::vector<std::string> &extensions) const
{
    std::vector<Path> files;
    SourceSelection(from, extensions).select([&](SelectedFile &&file) { files.emplace_back(std::move(file.path)); });
    return files;
}

std::string BackupService::calculateRelativePath(const Path &file, const std::vector<std::string> &sourceDirs)
{
    return SourceSelection::relativePathOf(file.native(), sourceDirs);
}

bool BackupService::isSafeRelativePath(std::string_view path)
{
    return SnapshotStore::isSafeRelativePath(path);
}

Result<BackupRun> BackupService::executeBackup(const BackupConfig &config, BackupTriggerType trigger,
    const BackupProgressHandler &progressHandler, const std::optional<std::string> &note) const
{
    if (progressHandler)
        progressHandler(BackupExecutionState::preparing());
    // Checked before the lock, which would make the store's folder where a relative path points.
    if (auto refused = refusePaths(config, progressHandler))
        return std::unexpected(*refused);
    auto lock = StoreLock::acquire(Path(config.destinationDirectory), m_lockWait);
    if (!lock) {
        const Error &error = lock.error();
        if (progressHandler)
            progressHandler(BackupExecutionState::failed(
                StoreLock::isBusy(error) ? error.description : kNoFolder + error.description));
        return std::unexpected(error);
    }
    return runBackup(config, trigger, progressHandler, {}, note);
}

Result<BackupRun> BackupService::executeBackup(const BackupConfig &config, BackupTriggerType trigger,
    const BackupProgressHandler &progressHandler, const StoreLock & /*heldLock*/, std::string_view keptSnapshotId,
    const std::optional<std::string> &note) const
{
    if (progressHandler)
        progressHandler(BackupExecutionState::preparing());
    if (auto refused = refusePaths(config, progressHandler))
        return std::unexpected(*refused);
    return runBackup(config, trigger, progressHandler, keptSnapshotId, note);
}

Result<BackupRun> BackupService::runBackup(const BackupConfig &config, BackupTriggerType trigger,
    const BackupProgressHandler &progressHandler, std::string_view keptSnapshotId,
    const std::optional<std::string> &note) const
{
    const TimePoint start = m_clock();
    // Before the first stat: a file changed after this moment never looks older than it.
    const StampTime runStart = StampTime::now();
    SnapshotRun run(config, progressHandler);
    // We hold the lock, so whatever a run left that is older than this moment belongs to a run that
    // was killed. The wall clock, not the run's clock: file times are wall-clock times.
    if (auto selected = run.select(::time(nullptr), trigger != BackupTriggerType::preRestoreSafety); !selected)
        return run.fail("", selected.error());
    if (auto prepared = run.prepare(); !prepared)
        return run.fail(kNoFolder, prepared.error());
    if (auto read = run.readHistory(); !read)
        return run.fail("history.json を読み込めませんでした: ", read.error());
    run.link();
    if (auto copied = run.copy(); !copied)
        return run.fail(kNoSpace, copied.error());
    BackupSnapshot snapshot = run.record(trigger, start, runStart);
    snapshot.note = note;
    if (auto published = run.publish(snapshot); !published) {
        const Error &error = published.error();
        return run.fail(isOutOfSpace(error) ? kNoSpace : "", error);
    }
    auto removed = run.recordInHistory(snapshot, keptSnapshotId);
    if (!removed) {
        const Error &error = removed.error();
        return run.fail(isOutOfSpace(error) ? kNoSpace : "history.json を書き込めませんでした: ", error);
    }
    run.report(BackupExecutionState::success(snapshot.createdAt, snapshot.id));
    BackupRun done;
    done.snapshot = std::move(snapshot);
    done.skippedFileCount = run.skipped();
    done.skippedFolderCount = run.selection().unreadableFolderCount;
    done.removedSnapshotIds = std::move(*removed);
    done.firstSkippedFolder = std::move(run.selection().firstUnreadableFolder);
    done.failedSources = std::move(run.selection().failedSources);
    return done;
}

Result<void> BackupService::deleteSnapshot(const BackupSnapshot &snapshot, const Path &destination) const
{
    if (!FileSystem::exists(destination))
        return {}; // no store, nothing to delete; do not create one just to lock it
    auto lock = StoreLock::acquire(destination, m_lockWait);
    if (!lock)
        return std::unexpected(lock.error());
    return SnapshotStore(destination).remove(snapshot.id);
}

} // namespace velkaro
