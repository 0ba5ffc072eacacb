// The face of BackupService: a run under the store lock, and the deletion of a snapshot. The run's
// steps are SnapshotRun's.
#include "Services/BackupService.h"

#include "Platform/FileSystem.h"
#include "Platform/QuotedName.h"
#include "Services/SnapshotRun.h"
#include "Services/SnapshotStore.h"

namespace velkaro {

namespace {

std::optional<Error> refusePaths(const BackupConfig &config, const BackupProgressHandler &progressHandler)
{
    auto problem = config.pathProblem();
    if (problem && progressHandler)
        progressHandler(BackupExecutionState::failed(problem->description));
    return problem;
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
        text += "、" + std::to_string(skippedFolderCount)
            + " 件のフォルダを読み込めませんでした: " + quotedName(firstSkippedFolder);
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
                StoreLock::isBusy(error) ? error.description : SnapshotRun::kNoFolder + error.description));
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
    const TimePoint start = m_clock.now();
    // Before the first stat: a file changed after this moment never looks older than it.
    const StampTime runStart = m_clock.fileNow();
    return SnapshotRun(config, progressHandler).execute(trigger, start, runStart, keptSnapshotId, note);
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
