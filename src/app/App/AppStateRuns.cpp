// The runs that write: a backup, a restore (whole or of chosen files) and the deletion of a snapshot, all
// in the pool, their progress relayed to the main thread.
#include "App/AppStateBackground.h"
#include "App/ProgressRelay.h"
#include "Services/StoreLock.h"

#include <QMetaObject>

#include <algorithm>
#include <utility>

namespace velkaro {

namespace {

constexpr const char *kBusyRestoreText = "バックアップ処理の実行中です";

} // namespace

void AppState::performManualBackup(SuccessFeedback feedback)
{
    executeBackupProcess(BackupTriggerType::manual, feedback);
}

void AppState::executeScheduledBackup()
{
    executeBackupProcess(BackupTriggerType::scheduled, SuccessFeedback::notify);
}

void AppState::executeBackupProcess(BackupTriggerType trigger, SuccessFeedback feedback)
{
    // Dropped while a backup or a restore runs. The run counts as started from here on, not only once
    // its first report arrives, so a second request in between is dropped too.
    if (isBusy() || m_backupState.isRunning())
        return;
    m_backupRunning = true;
    m_runDestination = m_config.destinationDirectory;
    setBackupState(BackupExecutionState::preparing());
    m_backupProgress = std::make_unique<ProgressRelay<BackupExecutionState>>(
        [this](const BackupExecutionState &state) { setBackupState(state); });

    // The run works on the configuration as it is now; later edits do not reach it.
    runInBackground(
        [service = m_backupService, config = m_config, trigger, report = m_backupProgress->reporter()] {
            return service->executeBackup(config, trigger, report);
        },
        [this, trigger, feedback](const Result<BackupRun> &result) { finishBackup(trigger, feedback, result); });
}

void AppState::finishBackup(BackupTriggerType trigger, SuccessFeedback feedback, const Result<BackupRun> &result)
{
    // The last report first, so the final state always wins.
    m_backupProgress->finish();
    m_backupProgress.reset();
    m_backupRunning = false;
    if (!result) {
        const std::string message = "バックアップ失敗: " + result.error().description;
        // The engine reports failed itself; a run that ended without saying so must not look running.
        if (m_backupState.isRunning())
            setBackupState(BackupExecutionState::failed(result.error().description));
        setStatusMessage(message);
        sendNotification("バックアップエラー", message, true);
        return;
    }

    const BackupRun &run = *result;
    const BackupSnapshot &snapshot = run.snapshot;
    // The list follows history.json: the new snapshot first, and what retention removed is gone. A run
    // into a store that the settings no longer name leaves the list of the configured one alone. While
    // a load of the list is on its way it may have read the file before this run wrote it: read again.
    if (m_runDestination == m_historyDestination && isLoadingHistory()) {
        requestHistory(m_historyDestination);
    } else if (m_runDestination == m_historyDestination) {
        SnapshotList list = m_snapshots;
        std::erase_if(list, [&](const BackupSnapshot &s) {
            return s.id == snapshot.id
                || std::find(run.removedSnapshotIds.begin(), run.removedSnapshotIds.end(), s.id)
                != run.removedSnapshotIds.end();
        });
        list.insert(list.begin(), snapshot);
        shareEqualPathLists(list); // a run of unchanged files holds its paths once, not once per snapshot
        setSnapshots(std::move(list));
    }
    setLastSuccessDate(snapshot.createdAt);
    if (m_backupState.isRunning())
        setBackupState(BackupExecutionState::success(snapshot.createdAt, snapshot.id));

    setStatusMessage(run.successMessage());
    watchStore(); // the first run makes the store
    emit filesChanged();
    // A snapshot of what could be read stands, but what could not is an error to hear of.
    if (!run.isComplete()) {
        sendNotification("バックアップエラー", run.successMessage(), true);
    } else if (feedback == SuccessFeedback::notify) {
        sendNotification(trigger == BackupTriggerType::scheduled ? "定期バックアップ完了" : "バックアップ完了",
            std::to_string(snapshot.filesCount) + " 件の設定・プロンプトを保存したよ！" + run.skippedFilesSuffix(),
            false);
    }
}

void AppState::restore(const BackupSnapshot &snapshot, RestoreScopeOption scope, RestoreCompletion completion)
{
    startRestore(snapshot, scope, std::move(completion));
}

void AppState::restoreFiles(
    const BackupSnapshot &snapshot, std::vector<std::string> paths, RestoreCompletion completion)
{
    startRestore(snapshot, std::move(paths), std::move(completion));
}

void AppState::startRestore(const BackupSnapshot &snapshot, RestoreChoice choice, RestoreCompletion completion)
{
    // A restore writes into the first source folder that a running backup is reading, and shares the
    // store with it: refused, not queued.
    if (isBusy() || m_backupState.isRunning()) {
        const std::string message = std::string("復元エラー: ") + kBusyRestoreText;
        setStatusMessage(message);
        // Later, from the event loop, like any other outcome; dropped with this object.
        QMetaObject::invokeMethod(
            this,
            [completion = std::move(completion), message] {
                if (completion)
                    completion(RestoreOutcome::failed, message);
            },
            Qt::QueuedConnection);
        return;
    }
    m_restoreRunning = true;
    // The engine reports each file; the status line shows the newest at most once a tick.
    m_restoreProgress
        = std::make_unique<ProgressRelay<std::string>>([this](const std::string &text) { setStatusMessage(text); });

    auto work = [service = m_restoreService, snapshot, choice = std::move(choice), config = m_config,
                    report = m_restoreProgress->reporter()] {
        return std::visit(
            [&](const auto &what) { return service->executeRestore(snapshot, config, what, report); }, choice);
    };
    runInBackground(std::move(work), [this, completion = std::move(completion)](const Result<RestoreRun> &result) {
        finishRestore(result, completion);
    });
}

void AppState::finishRestore(const Result<RestoreRun> &result, RestoreCompletion completion)
{
    m_restoreProgress->finish();
    m_restoreProgress.reset();
    auto settle = [this, completion = std::move(completion)](
                      RestoreOutcome outcome, const std::string &message, const std::string &failures = {}) {
        m_restoreRunning = false;
        setStatusMessage(message);
        if (outcome != RestoreOutcome::failed)
            emit filesChanged();
        if (completion)
            completion(outcome, failures.empty() ? message : message + "\n\n" + failures);
    };
    if (!result) {
        settle(RestoreOutcome::failed, "復元エラー: " + result.error().description);
        return;
    }
    // The outcome is told once the list holds the safety snapshot the restore took; the restore counts
    // as running until then, so no backup slips in between.
    const RestoreOutcome outcome = result->isComplete() ? RestoreOutcome::complete : RestoreOutcome::partial;
    requestHistory(m_config.destinationDirectory,
        [settle = std::move(settle), outcome, message = result->message(), failures = result->failureList()] {
            settle(outcome, message, failures);
        });
}

void AppState::deleteSnapshot(const BackupSnapshot &snapshot, DeleteCompletion completion)
{
    const std::string destination = m_historyDestination; // the store the list was read from
    // Our own run holds the store: waiting for it would only hold up the deletion.
    if (isBusy()) {
        QMetaObject::invokeMethod(
            this,
            [this, destination, id = snapshot.id, completion = std::move(completion)] {
                finishDelete(destination, id, std::unexpected(StoreLock::busyError()), completion);
            },
            Qt::QueuedConnection);
        return;
    }
    auto work = [service = m_backupService, snapshot, destination] {
        return service->deleteSnapshot(snapshot, std::filesystem::path(destination));
    };
    runInBackground(std::move(work),
        [this, destination, id = snapshot.id, completion = std::move(completion)](
            const Result<void> &deleted) { finishDelete(destination, id, deleted, completion); });
}

void AppState::finishDelete(const std::string &destination, const std::string &id, const Result<void> &deleted,
    const DeleteCompletion &completion)
{
    if (!deleted) {
        setStatusMessage("削除失敗: " + deleted.error().description);
    } else if (destination == m_historyDestination && isLoadingHistory()) {
        requestHistory(m_historyDestination); // the load on its way may have read the file before the deletion
    } else if (destination == m_historyDestination) {
        SnapshotList list = m_snapshots;
        std::erase_if(list, [&](const BackupSnapshot &s) { return s.id == id; });
        setSnapshots(std::move(list));
    }
    if (completion)
        completion(deleted);
}

} // namespace velkaro
