// Snapshot creation and deletion of BackupService.
#include "Services/BackupService.h"

#include "Platform/FileCopier.h"
#include "Platform/FileSystem.h"
#include "Platform/Formatters.h"
#include "Platform/OpenFolder.h"
#include "Services/SnapshotStore.h"
#include "Services/SourceWalk.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

constexpr const char *kSnapshotFileName = "snapshot.json";

// A file as the walk meets it: its path, and where the part below its own source starts (its name,
// for a file source).
struct FoundFile
{
    std::string_view path;
    std::size_t ownOffset = 0;
    std::size_t sourceIndex = 0;
    bool isSource = false; // the source entry names this file
};

// What the unchanged-file test compares: size, modification time and permission bits.
struct FileStamp
{
    bool known = false;
    off_t size = 0;
    struct timespec modified
    {
    };
    mode_t permissions = 0;

    static FileStamp of(const struct stat &st)
    {
        return {true, st.st_size, st.st_mtim, static_cast<mode_t>(st.st_mode & 07777)};
    }
    bool matches(const struct stat &st) const
    {
        return known && st.st_size == size && st.st_mtim.tv_sec == modified.tv_sec
            && st.st_mtim.tv_nsec == modified.tv_nsec && (st.st_mode & 07777) == permissions;
    }
};

// A file as a run keeps it until it is copied: only the part below its source, which is also, nearly
// always, the path to record. Keeping nothing else keeps the run's memory at one path list.
struct CollectedFile
{
    std::size_t sourceIndex = 0;
    bool isSource = false;
    std::string ownPath;
    FileStamp stamp; // taken when the file is linked
    std::string rel; // the path to record, when it is not ownPath
    bool linked = false;
    bool shared = false; // another collected file lands on the same path

    const std::string &recordedPath() const { return rel.empty() ? ownPath : rel; }
};

std::size_t fileNameOffset(std::string_view path)
{
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

// A source path as the prefix rule compares it: trailing slashes dropped, a lone "/" kept.
std::string trimmedSource(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The path below the first source that holds `file` (at a component boundary: ".gemini" does not hold
// ".gemini-old/a.md"), as a view into `file`; its name when no source holds it.
std::string_view relativePathText(std::string_view file, const std::vector<std::string> &trimmedSources)
{
    for (const auto &source : trimmedSources) {
        if (source.empty() || !file.starts_with(source))
            continue;
        std::string_view rest = file.substr(source.size());
        if (!rest.empty() && rest.front() != '/' && source.back() != '/')
            continue; // only a text prefix
        while (!rest.empty() && rest.front() == '/')
            rest.remove_prefix(1);
        while (!rest.empty() && rest.back() == '/')
            rest.remove_suffix(1);
        if (!rest.empty())
            return rest;
        break; // the source is the file itself
    }
    return file.substr(fileNameOffset(file));
}

// Walks the sources in collection order. Works on plain path strings and reads each folder once with
// its entry types, so that no file is stat'ed twice.
class Collector
{
public:
    explicit Collector(const std::vector<std::string> &extensions)
        : m_rule(extensions)
    { }

    // Removes this program's temporary files (a killed restore's) met on the walk that were last
    // modified before `before` (seconds since the epoch).
    void removeTemporariesBefore(std::int64_t before) { m_temporariesBefore = before; }

    // The folders below the sources that could not be opened on the last walk.
    std::int64_t unreadableFolderCount() const { return m_unreadableFolders; }

    // Never enters this folder (the snapshot store, should a source contain it).
    void exclude(const fs::path &folder)
    {
        struct stat st
        {
        };
        if (::stat(folder.c_str(), &st) == 0)
            m_excluded = {st.st_dev, st.st_ino};
    }

    template<class Visit> void collect(const std::vector<std::string> &sources, const Visit &visit) const
    {
        for (std::size_t index = 0; index < sources.size(); ++index) {
            const std::string source = trimmedSource(sources[index]);
            struct stat st
            {
            };
            // The configured source itself may be a link; only what lies below it is held to the rule.
            if (source.empty() || ::stat(source.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode))
                walk(source, FoundFile {{}, source == "/" ? 1 : source.size() + 1, index, false}, true, visit);
            else if (S_ISREG(st.st_mode))
                visit(FoundFile {source, fileNameOffset(source), index, true});
        }
    }

private:
    bool isWanted(std::string_view name) const { return m_rule.wants(name); }

    template<class Visit>
    void walk(const std::string &folder, const FoundFile &from, bool isSource, const Visit &visit) const
    {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (isSource ? 0 : O_NOFOLLOW));
        if (fd < 0) {
            // Passed over, but counted so the user hears of it (a folder gone meanwhile is not).
            if (errno != ENOENT)
                ++m_unreadableFolders;
            return;
        }
        if (m_excluded) {
            struct stat st
            {
            };
            if (::fstat(fd, &st) == 0 && std::pair {st.st_dev, st.st_ino} == *m_excluded) {
                ::close(fd);
                return;
            }
        }
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            ++m_unreadableFolders;
            return;
        }
        std::vector<std::pair<std::string, bool>> entries; // name, is a folder
        while (const dirent *entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (name.front() == '.') {
                if (m_temporariesBefore && FileSystem::isTemporaryName(name))
                    removeIfStale(::dirfd(dir), entry->d_name);
                continue; // hidden (and "." and "..")
            }
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st
                {
                };
                if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            // Links are neither collected nor followed.
            if (type == DT_DIR)
                entries.emplace_back(name, true);
            else if (type == DT_REG && isWanted(name))
                entries.emplace_back(name, false);
        }
        ::closedir(dir);

        std::sort(entries.begin(), entries.end());
        const std::string prefix = folder.back() == '/' ? folder : folder + '/';
        std::string path;
        for (const auto &[name, isFolder] : entries) {
            path = prefix + name;
            if (isFolder)
                walk(path, from, false, visit);
            else
                visit(FoundFile {path, from.ownOffset, from.sourceIndex, false});
        }
    }

    void removeIfStale(int dirFd, const char *name) const
    {
        struct stat st
        {
        };
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && st.st_mtim.tv_sec < *m_temporariesBefore)
            ::unlinkat(dirFd, name, 0);
    }

    FileNameRule m_rule;
    std::optional<std::int64_t> m_temporariesBefore;
    mutable std::int64_t m_unreadableFolders = 0;
    std::optional<std::pair<dev_t, ino_t>> m_excluded;
};

// The snapshot a run links its unchanged files from: the newest earlier one of the history. A file is
// linked only when the base records the same path, its copy is a regular file reached through real
// folders only, and the source agrees with it in size, modification time and permission bits. A hard
// link shares its inode with every snapshot holding it, so nothing of the store is ever changed in
// place: a linked file is only ever unlinked.
class LinkBase
{
public:
    LinkBase(const fs::path &dataFolder, const std::vector<std::string> &paths)
        : m_data(dataFolder.string() + '/')
    {
        m_paths.reserve(paths.size());
        for (const auto &path : paths)
            m_paths.insert(path);
    }

    const std::string &dataFolder() const { return m_data; } // ends in "/"
    bool records(std::string_view rel) const { return m_paths.contains(rel); }

private:
    std::string m_data;
    std::unordered_set<std::string_view> m_paths; // views into the history the run holds
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

    // Links the target to the base's copy of `rel` when the source's stamp matches that copy. The
    // target is `targetName` in the folder `targetFolderFd` (or the path `target` when that is -1).
    // True when the link stands; false means "copy it".
    bool link(const std::string &rel, const FileStamp &source, int targetFolderFd, const char *targetName,
        const std::string &target)
    {
        if (!m_enabled || !source.known || !m_base.records(rel))
            return false;
        const char *name = nullptr;
        const int folderFd = m_folders.folderOf(rel, name);
        if (folderFd < 0)
            return false;
        struct stat st
        {
        };
        if (::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || !source.matches(st))
            return false;
        const int at = targetFolderFd >= 0 ? targetFolderFd : AT_FDCWD;
        const char *as = targetFolderFd >= 0 ? targetName : target.c_str();
        if (::linkat(folderFd, name, at, as, 0) == 0)
            return true;
        if (errno == EEXIST) {
            // A name already taken in the run's own staging folder: replace the name, never write into it.
            std::error_code ec;
            fs::remove_all(target, ec);
            if (::linkat(folderFd, name, at, as, 0) == 0)
                return true;
        }
        // Another file system or one without hard links will refuse every later file too.
        if (errno == EXDEV || errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)
            m_enabled = false;
        return false;
    }

private:
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

// One backup run, step by step: it stages a folder, fills it (linking unchanged files, copying the rest),
// publishes it and records it. A run that fails or goes out of scope before publishing takes its staging
// folder with it; one that fails after publishing takes its published folder back out.
class SnapshotRun
{
public:
    SnapshotRun(const BackupConfig &config, const BackupProgressHandler &handler)
        : m_config(config)
        , m_handler(handler)
        , m_store(fs::path(config.destinationDirectory))
    {
        for (const auto &source : config.sourceDirectories)
            m_sources.push_back(trimmedSource(source));
    }
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

    Result<BackupRun> fail(std::string cause, const Error &error)
    {
        if (!m_published.empty())
            m_store.unpublish(m_published);
        m_published.clear();
        Error failure {error.domain, error.code, cause + error.description};
        report(BackupExecutionState::failed(failure.description));
        return std::unexpected(std::move(failure));
    }

    // Removes what killed runs left (all older than `lockedAt`) and makes this run's staging folder.
    Result<void> prepare(std::int64_t lockedAt)
    {
        m_lockedAt = lockedAt;
        m_interrupted = m_store.removeLeftovers(lockedAt);
        auto staging = m_store.stage();
        if (!staging)
            return std::unexpected(staging.error());
        m_staging = std::move(*staging);
        m_dataFolder = (m_staging / SnapshotStore::kDataFolderName).string() + '/';
        return {};
    }

    // One read of the history serves the whole run; its newest snapshot is the link base.
    void readHistory()
    {
        m_held = m_store.readHistory();
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
            return;
        if (const auto data = m_store.dataFolder(newest->id))
            m_linkBase.emplace(*data, newest->relativeFilePaths.items());
        m_basePaths = newest->relativeFilePaths;
    }

    void collect()
    {
        m_collector.exclude(m_store.destination());
        m_collector.removeTemporariesBefore(m_lockedAt);
        m_collector.collect(m_config.sourceDirectories, [&](const FoundFile &file) {
            CollectedFile &collected = m_files.emplace_back();
            collected.sourceIndex = file.sourceIndex;
            collected.isSource = file.isSource;
            collected.ownPath = file.path.substr(file.ownOffset);
        });
        std::string path;
        for (CollectedFile &file : m_files) {
            sourcePath(file, path);
            const std::string_view relView = relativePathText(path, m_sources);
            // The prefix rule can yield "../x" when one source's path is a prefix of another's that goes
            // upwards; such a path would write outside data/, so the path below its own source is used.
            if (relView != file.ownPath && SnapshotStore::isSafeRelativePath(relView))
                file.rel = relView;
        }
        markSharedPaths();
    }

    void link();
    Result<void> copy();

    // The record of what was stored.
    BackupSnapshot record(BackupTriggerType trigger, TimePoint start)
    {
        report(BackupExecutionState::finalizing());
        BackupSnapshot snapshot;
        snapshot.createdAt = start;
        snapshot.triggerType = trigger;
        snapshot.filesCount = static_cast<std::int64_t>(m_recorded.size());
        snapshot.totalSizeBytes = m_total;
        snapshot.relativeFilePaths = m_recorded == m_basePaths.items() ? m_basePaths : PathList(std::move(m_recorded));
        m_linkBase.reset(); // it views into the held list, which changes from here on
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
    // set aside, so that a kill never leaves a listed snapshot with half its files.
    Result<std::vector<std::string>> recordInHistory(const BackupSnapshot &snapshot, std::string_view keptSnapshotId)
    {
        std::erase_if(m_held.snapshots, [&](const BackupSnapshot &s) { return s.id == snapshot.id; });
        m_held.snapshots.insert(m_held.snapshots.begin(), snapshot);
        // The new snapshot is never its own run's victim (a clock set back would make it the oldest).
        std::vector<std::string> kept {snapshot.id};
        if (!keptSnapshotId.empty())
            kept.emplace_back(keptSnapshotId);
        auto picked = m_store.pickOld(m_held, m_config.maxSnapshotsLimit, kept);
        m_store.setAside(picked);
        if (auto written = m_store.writeHistory(m_held); !written) {
            m_store.putBack(picked);
            return std::unexpected(written.error());
        }
        m_published.clear();
        m_held = {};
        return m_store.removeSetAside(picked);
    }

    std::int64_t skipped() const { return m_skipped; }
    std::int64_t unreadableFolders() const { return m_collector.unreadableFolderCount(); }

private:
    void sourcePath(const CollectedFile &file, std::string &out) const
    {
        const std::string &source = m_sources[file.sourceIndex];
        if (file.isSource)
            out = source;
        else
            out = (source.back() == '/' ? source : source + '/') + file.ownPath;
    }

    // Files of different sources that land on the same path are never linked: copied in collection
    // order, the later source's file is the one that stays, every run alike.
    void markSharedPaths()
    {
        if (m_sources.size() < 2)
            return; // one source cannot name a path twice
        std::unordered_map<std::string_view, std::size_t> seen;
        for (std::size_t i = 0; i < m_files.size(); ++i) {
            const auto [it, fresh] = seen.try_emplace(m_files[i].recordedPath(), i);
            if (!fresh) {
                m_files[it->second].shared = true;
                m_files[i].shared = true;
            }
        }
    }

    void linkRange(std::size_t from, std::size_t to);
    Result<bool> copyOne(CollectedFile &file, const std::string &path, std::string &madeFolder, FileCopier &copier);

    const BackupConfig &m_config;
    const BackupProgressHandler &m_handler;
    SnapshotStore m_store;
    std::vector<std::string> m_sources;
    std::int64_t m_lockedAt = 0;
    std::vector<std::string> m_interrupted; // ids in the staging folders that cleanup removed
    fs::path m_staging; // until published
    std::string m_published; // from publish until history.json holds it
    std::string m_dataFolder; // ends in "/"
    SnapshotStore::History m_held;
    std::optional<LinkBase> m_linkBase;
    PathList m_basePaths; // the base's list, shared by the new snapshot when it records the same files
    Collector m_collector {m_config.targetExtensions};
    std::vector<CollectedFile> m_files;
    std::vector<std::string> m_recorded;
    std::int64_t m_total = 0;
    std::int64_t m_skipped = 0;
};

// Links the unchanged files of [from, to) to the base's copies; a file that fails here is copied later.
void SnapshotRun::linkRange(std::size_t from, std::size_t to)
{
    Linker linker(*m_linkBase);
    OpenFolder target(true);
    OpenFolder sourceFolder(false); // a source itself may be a link; below it the walk took none
    std::string targetPath;
    std::string source;
    for (std::size_t i = from; i < to; ++i) {
        CollectedFile &file = m_files[i];
        const std::string &rel = file.recordedPath();
        if (file.shared || !m_linkBase->records(rel))
            continue;
        // The source's lstat: a link is no regular file, and is never linked.
        sourcePath(file, source);
        const std::size_t sourceSlash = source.rfind('/');
        struct stat st
        {
        };
        bool statted = false;
        if (file.isSource || sourceSlash == std::string::npos) {
            statted = ::lstat(source.c_str(), &st) == 0;
        } else {
            const std::string_view folderPath
                = std::string_view(source).substr(0, std::max<std::size_t>(sourceSlash, 1));
            if (folderPath != sourceFolder.path())
                sourceFolder.open(std::string(folderPath));
            statted = sourceFolder.fd() >= 0
                && ::fstatat(sourceFolder.fd(), source.c_str() + sourceSlash + 1, &st, AT_SYMLINK_NOFOLLOW) == 0;
        }
        if (!statted || !S_ISREG(st.st_mode))
            continue;
        file.stamp = FileStamp::of(st);
        targetPath = m_dataFolder + rel;
        const std::size_t slash = targetPath.rfind('/');
        if (std::string_view(targetPath).substr(0, slash) != target.path()) {
            if (!FileSystem::createPrivateDirectories(targetPath.substr(0, slash))) {
                target.close();
                continue;
            }
            target.open(targetPath.substr(0, slash));
        }
        file.linked = linker.link(rel, file.stamp, target.fd(), targetPath.c_str() + slash + 1, targetPath);
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
Result<bool> SnapshotRun::copyOne(
    CollectedFile &file, const std::string &path, std::string &madeFolder, FileCopier &copier)
{
    const std::string target = m_dataFolder + file.recordedPath();
    const std::string parent = target.substr(0, target.rfind('/'));
    if (parent != madeFolder) {
        if (auto made = FileSystem::createPrivateDirectories(parent); !made) {
            if (isOutOfSpace(made.error()))
                return std::unexpected(made.error());
            return false;
        }
        madeFolder = parent;
    }
    const auto copied = copier.copy(path, target, true);
    if (!copied) {
        if (isOutOfSpace(copied.error()))
            return std::unexpected(copied.error());
        return false;
    }
    file.stamp.size = *copied;
    return true;
}

Result<void> SnapshotRun::copy()
{
    const double divisor = m_files.size() > 1 ? static_cast<double>(m_files.size()) : 1.0;
    FileCopier copier;
    std::string path;
    std::string madeFolder; // the last target folder known to exist
    m_recorded.reserve(m_files.size());
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        CollectedFile &file = m_files[i];
        sourcePath(file, path);
        report(BackupExecutionState::copying(static_cast<double>(i) / divisor, path.substr(fileNameOffset(path))));
        if (!file.linked) {
            auto placed = copyOne(file, path, madeFolder, copier);
            if (!placed)
                return std::unexpected(placed.error());
            if (!*placed) {
                ++m_skipped;
                continue;
            }
        }
        m_total += file.stamp.size;
        m_recorded.push_back(file.rel.empty() ? std::move(file.ownPath) : std::move(file.rel));
    }
    m_files = {}; // give the memory back before the JSON work
    return {};
}

} // namespace

std::string BackupRun::skippedFilesSuffix() const
{
    const std::int64_t skipped = skippedFileCount + skippedFolderCount;
    return skipped > 0 ? "、" + std::to_string(skipped) + " 件はコピーできませんでした" : std::string();
}

std::string BackupRun::successMessage() const
{
    return "バックアップ完了 (" + std::to_string(snapshot.filesCount) + " 件 • " + snapshot.formattedSize()
        + skippedFilesSuffix() + ")";
}

BackupService::BackupService(Clock clock, std::chrono::milliseconds lockWait)
    : m_clock(std::move(clock))
    , m_lockWait(lockWait)
{ }

std::vector<BackupService::Path> BackupService::collectFiles(
    const std::vector<std::string> &from, const std::vector<std::string> &extensions) const
{
    std::vector<Path> files;
    walkSources(from, FileNameRule(extensions), [&](const std::string &file) { files.emplace_back(file); }, {});
    return files;
}

std::string BackupService::calculateRelativePath(const Path &file, const std::vector<std::string> &sourceDirs)
{
    std::vector<std::string> sources;
    sources.reserve(sourceDirs.size());
    for (const auto &source : sourceDirs)
        sources.push_back(trimmedSource(source));
    return std::string(relativePathText(file.native(), sources));
}

Result<BackupRun> BackupService::executeBackup(const BackupConfig &config, BackupTriggerType trigger,
    const BackupProgressHandler &progressHandler, const std::optional<std::string> &note) const
{
    if (progressHandler)
        progressHandler(BackupExecutionState::preparing());
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
    const BackupProgressHandler &progressHandler, const StoreLock & /*heldLock*/, std::string_view keptSnapshotId) const
{
    if (progressHandler)
        progressHandler(BackupExecutionState::preparing());
    return runBackup(config, trigger, progressHandler, keptSnapshotId);
}

Result<BackupRun> BackupService::runBackup(const BackupConfig &config, BackupTriggerType trigger,
    const BackupProgressHandler &progressHandler, std::string_view keptSnapshotId,
    const std::optional<std::string> &note) const
{
    const TimePoint start = m_clock();
    SnapshotRun run(config, progressHandler);
    // We hold the lock, so whatever a run left that is older than this moment belongs to a run that
    // was killed. The wall clock, not the run's clock: file times are wall-clock times.
    if (auto prepared = run.prepare(::time(nullptr)); !prepared)
        return run.fail(kNoFolder, prepared.error());
    run.readHistory();
    run.collect();
    run.link();
    if (auto copied = run.copy(); !copied)
        return run.fail(kNoSpace, copied.error());
    BackupSnapshot snapshot = run.record(trigger, start);
    snapshot.note = note;
    if (auto published = run.publish(snapshot); !published) {
        const Error &error = published.error();
        return run.fail(isOutOfSpace(error) ? kNoSpace : error.domain == kSystemErrorDomain ? kNoFolder : "", error);
    }
    auto removed = run.recordInHistory(snapshot, keptSnapshotId);
    if (!removed) {
        const Error &error = removed.error();
        return run.fail(isOutOfSpace(error) ? kNoSpace : "history.json を書き込めませんでした: ", error);
    }
    run.report(BackupExecutionState::success(snapshot.createdAt, snapshot.id));
    return BackupRun {std::move(snapshot), run.skipped(), run.unreadableFolders(), std::move(*removed)};
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
