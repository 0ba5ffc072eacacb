#include "App/AppState.h"

#include "App/AppStateBackground.h"
#include "App/ProgressRelay.h"
#include "Services/StoreLock.h"
#include "Services/TemplateApply.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <utility>

namespace velkaro {

namespace {

constexpr const char *kBusyRestoreText = "バックアップ処理の実行中です";
constexpr const char *kSaveFailedPrefix = "保存失敗: ";

} // namespace

AppState::AppState(BackupService backupService, RestoreService restoreService, TemplateService templateService,
    LaunchAtLoginManager launchManager, AppStateOptions options, QObject *parent)
    : QObject(parent)
    , m_backupService(std::make_shared<const BackupService>(std::move(backupService)))
    , m_restoreService(std::make_shared<const RestoreService>(std::move(restoreService)))
    , m_templateService(std::move(templateService))
    , m_launchManager(std::move(launchManager))
    , m_options(std::move(options))
    , m_notifier(m_options.notifier ? *m_options.notifier : DesktopNotifier())
    , m_leftOutSurvey(m_options.surveyDelay)
{
    connect(&m_leftOutSurvey, &LeftOutSurvey::summaryChanged, this, &AppState::leftOutSummaryChanged);
    // The members above start as the defaults: empty lists, idle, no date, dashboard, no message, the
    // default configuration. Then, in this order:
    loadConfig();
    loadTemplates();
    // The list arrives shortly; until then the schedule counts from now, and the list moves it on.
    m_rescheduleOnHistory = true;
    loadHistory();
    setupAutoBackup();
}

// Out of line, where the relays are complete types. Work still in the pool finds its watcher gone.
AppState::~AppState() = default;

void AppState::setConfig(const BackupConfig &config)
{
    if (m_config == config)
        return;
    m_config = config;
    emit configChanged();
}

void AppState::setSelectedTab(NavigationTab tab)
{
    if (m_selectedTab == tab)
        return;
    m_selectedTab = tab;
    emit selectedTabChanged();
}

void AppState::showSnapshotInHistory(const std::string &id)
{
    // Set before the switch, so the history finds it when it appears.
    m_requestedHistorySnapshot = id;
    emit historySnapshotRequested();
    setSelectedTab(NavigationTab::history);
}

OptionalDate AppState::nextBackupDate() const
{
    return m_autoBackupManager ? m_autoBackupManager->nextScheduledDate() : std::nullopt;
}

void AppState::loadConfig()
{
    if (auto loaded = BackupConfig::readFile(m_options.configFile))
        setConfig(*loaded);
}

Result<void> AppState::saveConfig()
{
    // The running application takes the change even when the file cannot be written; the schedule
    // and the login item follow the settings all the same. A damaged file is set aside first.
    auto written = m_config.writeFile(m_options.configFile);
    // Every list shows the store the settings name, never the one before, not even while it loads.
    if (m_config.destinationDirectory != m_historyDestination) {
        m_rescheduleOnHistory = true;
        loadHistory();
        setSnapshots({});
    }
    if (m_autoBackupManager)
        m_autoBackupManager->updateSchedule(m_config.backupInterval, newestSnapshotDate());
    (void)m_launchManager.setAutoLaunch(m_config.autoLaunchState);
    settleSaveMessage(written, "設定を保存したよ！");
    return written;
}

void AppState::loadHistory()
{
    requestHistory(m_config.destinationDirectory);
}

// `then` runs when this request's result has arrived, whether it was shown or a later one overtook it.
void AppState::requestHistory(std::string destination, std::function<void()> then)
{
    const unsigned request = ++m_historyRequested;
    m_historyDestination = std::move(destination);
    watchStore();
    runInBackground(
        [service = m_backupService, destination = std::filesystem::path(m_historyDestination)] {
            return service->loadHistory(destination);
        },
        [this, request, then = std::move(then)](SnapshotList history) {
            if (request == m_historyRequested) {
                m_historyShown = request;
                applyHistory(std::move(history));
            }
            if (then)
                then();
        });
}

void AppState::applyHistory(SnapshotList history)
{
    // A reload for a change seen in the store moves the last success on, never back (a deletion).
    const bool forwardOnly = std::exchange(m_watchedReload, false);
    if (!history.empty() && (!forwardOnly || !m_lastSuccessDate || history.front().createdAt > *m_lastSuccessDate))
        setLastSuccessDate(history.front().createdAt);
    setSnapshots(std::move(history));
    if (std::exchange(m_rescheduleOnHistory, false) && m_autoBackupManager)
        m_autoBackupManager->updateSchedule(m_config.backupInterval, newestSnapshotDate());
}

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

void AppState::loadTemplates()
{
    setTemplates(m_templateService.loadTemplates());
}

Result<void> AppState::saveTemplate(const PromptTemplate &tmpl)
{
    TemplateList list = m_templates;
    auto found = std::find_if(list.begin(), list.end(), [&](const PromptTemplate &t) { return t.id == tmpl.id; });
    if (found != list.end())
        *found = tmpl;
    else
        list.push_back(tmpl);
    setTemplates(std::move(list));
    return storeTemplates();
}

Result<void> AppState::deleteTemplate(const std::string &id)
{
    TemplateList list = m_templates;
    std::erase_if(list, [&](const PromptTemplate &t) { return t.id == id && !t.isPresetTemplate; });
    setTemplates(std::move(list));
    return storeTemplates();
}

Result<void> AppState::storeTemplates()
{
    auto stored = m_templateService.saveTemplates(m_templates);
    settleSaveMessage(stored, "テンプレートを保存したよ！");
    return stored;
}

void AppState::settleSaveMessage(const Result<void> &saved, const char *successText)
{
    if (!saved)
        setStatusMessage(kSaveFailedPrefix + saved.error().description);
    else if (m_statusMessage && m_statusMessage->starts_with(kSaveFailedPrefix))
        setStatusMessage(successText); // a failure told before must not outlive a save that worked
}

void AppState::applyTemplateToCurrent(const PromptTemplate &tmpl, ApplyCompletion completion)
{
    if (m_config.sourceDirectories.empty() || m_applyRunning) {
        QMetaObject::invokeMethod(
            this,
            [completion = std::move(completion), message = m_statusMessage.value_or(std::string())] {
                if (completion)
                    completion(false, message);
            },
            Qt::QueuedConnection);
        return;
    }
    // Our own run holds the store: a safety snapshot is refused at once rather than after the lock's wait.
    // Nothing else of ours starts while the apply runs, so what holds now holds until it is through.
    const bool storeBusy = isBusy() || m_backupState.isRunning();
    m_applyRunning = true;
    emit templateApplyChanged();
    BackupProgressHandler report;
    if (!storeBusy) {
        m_stateBeforeApply = m_backupState;
        m_applyProgress = std::make_unique<ProgressRelay<BackupExecutionState>>(
            [this](const BackupExecutionState &state) { setBackupState(state); });
        report = m_applyProgress->reporter();
    }
    auto work = [backups = m_backupService, templates = m_templateService, config = m_config, tmpl, storeBusy,
                    report = std::move(report)]() -> Result<std::optional<BackupSnapshot>> {
        if (storeBusy && overwritesOtherText(tmpl, std::filesystem::path(config.sourceDirectories.front())))
            return std::unexpected(StoreLock::busyError());
        return applyTemplateSafely(tmpl, config, templates, *backups, report);
    };
    runInBackground(std::move(work),
        [this, tmpl, storeBusy, completion = std::move(completion)](
            const Result<std::optional<BackupSnapshot>> &applied) {
            finishApply(tmpl, !storeBusy, applied, completion);
        });
}

void AppState::finishApply(const PromptTemplate &tmpl, bool showedProgress,
    const Result<std::optional<BackupSnapshot>> &applied, ApplyCompletion completion)
{
    if (showedProgress) {
        m_applyProgress->finish();
        m_applyProgress.reset();
        // The safety snapshot is not a backup run of its own: the state goes back to the last run's.
        setBackupState(m_stateBeforeApply);
    }
    auto settle = [this, completion = std::move(completion)](bool ok, const std::string &message) {
        m_applyRunning = false;
        setStatusMessage(message);
        emit templateApplyChanged();
        if (ok)
            emit filesChanged(); // what compares against the files now must look again
        if (completion)
            completion(ok, message);
    };
    if (!applied) {
        settle(false, "適用失敗: " + applied.error().description);
        return;
    }
    if (!*applied) {
        settle(true, appliedMessage(tmpl));
        return;
    }
    // Told once the list holds the safety snapshot; until then no backup slips in.
    requestHistory(m_config.destinationDirectory,
        [settle = std::move(settle), message = appliedMessage(tmpl)] { settle(true, message); });
}

AddedTemplate AppState::createTemplate()
{
    PromptTemplate created = TemplateService::makeNewTemplate();
    auto stored = saveTemplate(created);
    return AddedTemplate {std::move(created), std::move(stored)};
}

Result<void> AppState::saveTemplateEdits(const std::string &id, const TemplateEdits &edits, bool isPreset)
{
    const TimePoint now = currentTime();
    auto listed = std::ranges::find(m_templates, id, &PromptTemplate::id);
    const TimePoint createdAt = listed != m_templates.end() ? listed->createdAt : now;
    return saveTemplate(PromptTemplate {id, edits.title, edits.descriptionText, edits.promptContent, edits.kind,
        edits.targetFileName, isPreset, createdAt, now});
}

std::optional<AddedTemplate> AppState::importCurrentPrompt()
{
    if (m_config.sourceDirectories.empty())
        return std::nullopt;
    const std::filesystem::path folder(m_config.sourceDirectories.front());
    auto body = m_templateService.readCurrentPrompt(folder);
    if (!body)
        return std::nullopt;
    PromptTemplate imported = TemplateService::makeImportedTemplate(std::move(*body), folder);
    auto stored = saveTemplate(imported);
    return AddedTemplate {std::move(imported), std::move(stored)};
}

void AppState::surveyLeftOutFiles(std::vector<std::string> sources, std::vector<std::string> extensions)
{
    m_leftOutSurvey.request(std::move(sources), std::move(extensions), m_config.destinationDirectory);
}

void AppState::sendNotification(const std::string &title, const std::string &body, bool isError)
{
    // The policy as it is now, so a changed setting applies to the very next notification.
    if (!notificationAllowed(m_config.notificationMode, isError))
        return;
    m_notifier.post(title, body);
}

void AppState::setupAutoBackup()
{
    QPointer<AppState> self(this);
    m_autoBackupManager = std::make_unique<AutoBackupManager>(
        [self] {
            if (self)
                self->executeScheduledBackup();
        },
        m_options.scheduler);
    connect(m_autoBackupManager.get(), &AutoBackupManager::scheduleChanged, this, &AppState::nextBackupDateChanged);
    // The schedule goes on from the newest snapshot, so a restart does not put the next run off.
    m_autoBackupManager->updateSchedule(m_config.backupInterval, newestSnapshotDate());
}

OptionalDate AppState::newestSnapshotDate() const
{
    const auto newest = std::max_element(m_snapshots.begin(), m_snapshots.end(),
        [](const BackupSnapshot &a, const BackupSnapshot &b) { return a.createdAt < b.createdAt; });
    return newest == m_snapshots.end() ? std::nullopt : OptionalDate(newest->createdAt);
}

void AppState::setSnapshots(SnapshotList snapshots)
{
    if (m_snapshots == snapshots)
        return;
    m_snapshots = std::move(snapshots);
    forgetStaleChangeSummaries();
    emit snapshotsChanged();
}

void AppState::setTemplates(TemplateList templates)
{
    if (m_templates == templates)
        return;
    m_templates = std::move(templates);
    emit templatesChanged();
}

void AppState::setBackupState(const BackupExecutionState &state)
{
    if (m_backupState == state)
        return;
    m_backupState = state;
    emit backupStateChanged();
}

void AppState::setLastSuccessDate(OptionalDate date)
{
    if (m_lastSuccessDate == date)
        return;
    m_lastSuccessDate = date;
    emit lastSuccessDateChanged();
}

void AppState::setStatusMessage(OptionalText message)
{
    if (m_statusMessage == message)
        return;
    m_statusMessage = std::move(message);
    emit statusMessageChanged();
}

} // namespace velkaro
