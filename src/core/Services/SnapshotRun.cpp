// The steps of one backup run.
#include "Services/SnapshotRun.h"

#include "Platform/FileCopier.h"
#include "Platform/FileSystem.h"
#include "Platform/OpenFolder.h"
#include "Platform/ParallelFor.h"

#include <algorithm>
#include <cerrno>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

// Below this many files the linking stays on one thread.
constexpr std::size_t kParallelLinkThreshold = 1000;

bool isOutOfSpace(const Error &error)
{
    return error.domain == kSystemErrorDomain && (error.code == ENOSPC || error.code == EDQUOT);
}

constexpr const char *kNoSpace = "保存先の空き容量が足りないため、スナップショットを保存できませんでした: ";

} // namespace

SnapshotRun::SnapshotRun(const BackupConfig &config, const BackupProgressHandler &handler)
    : m_config(config)
    , m_handler(handler)
    , m_store(fs::path(config.destinationDirectory))
{ }

SnapshotRun::~SnapshotRun()
{
    if (!m_staging.empty())
        SnapshotStore::discard(m_staging);
}

void SnapshotRun::report(const BackupExecutionState &state) const
{
    if (m_handler)
        m_handler(state);
}

Result<BackupRun> SnapshotRun::execute(BackupTriggerType trigger, TimePoint start, StampTime runStart,
    std::string_view keptSnapshotId, const std::optional<std::string> &note)
{
    // We hold the lock, so whatever a run left that is older than this moment belongs to a run that
    // was killed. The file-time reading, not the run's start: it is compared with file times.
    if (auto selected = select(runStart.seconds, trigger != BackupTriggerType::preRestoreSafety); !selected)
        return fail("", selected.error());
    if (auto prepared = prepare(); !prepared)
        return fail(kNoFolder, prepared.error());
    if (auto read = readHistory(); !read)
        return fail("history.json を読み込めませんでした: ", read.error());
    link();
    if (auto copied = copy(); !copied)
        return fail(kNoSpace, copied.error());
    BackupSnapshot snapshot = record(trigger, start, runStart);
    snapshot.note = note;
    if (auto published = publish(snapshot); !published) {
        const Error &error = published.error();
        return fail(isOutOfSpace(error) ? kNoSpace : "", error);
    }
    auto removed = recordInHistory(snapshot, keptSnapshotId);
    if (!removed) {
        const Error &error = removed.error();
        return fail(isOutOfSpace(error) ? kNoSpace : "history.json を書き込めませんでした: ", error);
    }
    report(BackupExecutionState::success(snapshot.createdAt, snapshot.id));
    BackupRun done;
    done.snapshot = std::move(snapshot);
    done.skippedFileCount = m_skipped;
    done.skippedFolderCount = m_selection.unreadableFolderCount;
    done.removedSnapshotIds = std::move(*removed);
    done.firstSkippedFolder = std::move(m_selection.firstUnreadableFolder);
    done.failedSources = std::move(m_selection.failedSources);
    return done;
}

Result<BackupRun> SnapshotRun::fail(const std::string &cause, const Error &error)
{
    if (!m_published.empty())
        m_store.unpublish(m_published);
    m_published.clear();
    Error failure {error.domain, error.code, cause + error.description};
    report(BackupExecutionState::failed(failure.description));
    return std::unexpected(std::move(failure));
}

Result<void> SnapshotRun::select(std::int64_t lockedAt, bool missingSourcesFail)
{
    m_lockedAt = lockedAt;
    // No source at all finds nothing, as a missing one does: an empty snapshot would push good ones out.
    if (std::ranges::all_of(m_config.sourceDirectories, [](const std::string &s) { return s.empty(); }))
        return std::unexpected(Error {BackupService::kErrorDomain, BackupService::kSourcesMissing, kNoSources});
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
    return std::unexpected(Error {BackupService::kErrorDomain,
        allMissing ? BackupService::kSourcesMissing : BackupService::kSourcesUnreadable, description});
}

Result<void> SnapshotRun::prepare()
{
    m_interrupted = m_store.removeLeftovers(m_lockedAt);
    auto staging = m_store.stage();
    if (!staging)
        return std::unexpected(staging.error());
    m_staging = std::move(*staging);
    m_dataFolder = (m_staging / SnapshotStore::kDataFolderName).string() + '/';
    return {};
}

Result<void> SnapshotRun::readHistory()
{
    m_held = m_store.readListing();
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
    auto base = m_store.whole(m_held, *newest);
    if (!base)
        return std::unexpected(base.error());
    m_basePaths = base->relativeFilePaths;
    if (const auto data = m_store.dataFolder(newest->id))
        m_linkBase.emplace(data->parent_path(), m_basePaths.items());
    return {};
}

BackupSnapshot SnapshotRun::record(BackupTriggerType trigger, TimePoint start, StampTime runStart)
{
    report(BackupExecutionState::finalizing());
    BackupSnapshot snapshot;
    snapshot.createdAt = start;
    snapshot.triggerType = trigger;
    snapshot.filesCount = static_cast<std::int64_t>(m_recorded.size());
    snapshot.totalSizeBytes = m_total;
    snapshot.relativeFilePaths = m_recorded == m_basePaths.items() ? m_basePaths : PathList(std::move(m_recorded));
    m_linkBase.reset(); // done with the base
    // Without the record the next run compares bytes instead: slower, never wrong.
    (void)FileStatRecord(runStart, std::move(m_stamps)).write(m_staging);
    return snapshot;
}

Result<void> SnapshotRun::publish(BackupSnapshot &snapshot)
{
    auto published = m_store.publish(m_staging, snapshot, m_held.snapshots);
    if (!published)
        return published;
    m_staging.clear();
    m_published = snapshot.id;
    return {};
}

Result<std::vector<std::string>> SnapshotRun::recordInHistory(
    const BackupSnapshot &snapshot, std::string_view keptSnapshotId)
{
    SnapshotStore::insertByDate(m_held.snapshots, snapshot);
    // The new snapshot is never its own run's victim (a clock set back would make it the oldest).
    std::vector<std::string> kept {snapshot.id};
    if (!keptSnapshotId.empty())
        kept.emplace_back(keptSnapshotId);
    const bool complete = m_selection.failedSources.empty() && m_selection.unreadableFolderCount == 0;
    auto picked
        = complete ? m_store.pickOld(m_held, m_config.maxSnapshotsLimit, kept) : std::vector<SnapshotStore::Picked>();
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
    if (m_linkBase)
        parallelFor(
            m_files.size(), kParallelLinkThreshold, [this](std::size_t from, std::size_t to) { linkRange(from, to); });
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

} // namespace velkaro
