#include "Services/AppState.h"

#include "Services/StoreLock.h"
#include "Services/TemplateApply.h"

#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>

#include <algorithm>
#include <utility>

namespace velkaro {

// Lives on the main thread as the receiver of everything a run in the pool posts back. The runs hold
// it through a shared pointer, so it is valid whenever they post; AppState clears `owner` when it is
// destroyed, and what arrives after that is dropped.
class AppState::RunContext : public QObject
{
public:
    explicit RunContext(AppState *state)
        : owner(state)
    { }

    AppState *owner;

    // Runs `step(owner)` on the main thread after everything posted before it. Callable from any thread.
    template<class Step> static void post(const std::shared_ptr<RunContext> &context, Step step)
    {
        RunContext *receiver = context.get();
        QMetaObject::invokeMethod(
            receiver,
            [context, step = std::move(step)]() mutable {
                if (context->owner)
                    step(*context->owner);
            },
            Qt::QueuedConnection);
    }
};

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
    // Deleted through the event loop: the last holder may be a pool thread.
    , m_context(new RunContext(this), [](RunContext *context) { context->deleteLater(); })
    , m_leftOutSurvey(m_options.surveyDelay)
{
    connect(&m_leftOutSurvey, &LeftOutSurvey::summaryChanged, this, &AppState::leftOutSummaryChanged);
    // The members above start as the defaults: empty lists, idle, no date, dashboard, no message, the
    // default configuration. Then, in this order:
    loadConfig();
    loadTemplates();
    loadHistory();
    requestNotificationPermission();
    setupAutoBackup();
}

AppState::~AppState()
{
    m_context->owner = nullptr;
}

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
    // Every list shows the store the settings name, never the one before.
    if (m_config.destinationDirectory != m_historyDestination)
        loadHistory();
    if (m_autoBackupManager)
        m_autoBackupManager->updateSchedule(m_config.backupInterval, newestSnapshotDate());
    (void)m_launchManager.setAutoLaunch(m_config.autoLaunchState);
    settleSaveMessage(written, "設定を保存したよ！");
    return written;
}

void AppState::loadHistory()
{
    m_historyDestination = m_config.destinationDirectory;
    auto history = m_backupService->loadHistory(std::filesystem::path(m_historyDestination));
    if (!history.empty())
        setLastSuccessDate(history.front().createdAt);
    setSnapshots(std::move(history));
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

    // The run works on the configuration as it is now; later edits do not reach it.
    QThreadPool::globalInstance()->start(
        [context = m_context, service = m_backupService, config = m_config, trigger, feedback] {
            auto result = service->executeBackup(config, trigger, [&context](const BackupExecutionState &state) {
                RunContext::post(context, [state](AppState &self) { self.setBackupState(state); });
            });
            // Posted after every progress report, so the final state always wins.
            RunContext::post(context, [trigger, feedback, result = std::move(result)](AppState &self) {
                self.finishBackup(trigger, feedback, result);
            });
        });
}

void AppState::finishBackup(BackupTriggerType trigger, SuccessFeedback feedback, const Result<BackupRun> &result)
{
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
    // into a store that the settings no longer name leaves the list of the configured one alone.
    if (m_runDestination == m_historyDestination) {
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
    if (feedback == SuccessFeedback::notify) {
        sendNotification(trigger == BackupTriggerType::scheduled ? "定期バックアップ完了" : "バックアップ完了",
            std::to_string(snapshot.filesCount) + " 件の設定・プロンプトを保存したよ！" + run.skippedFilesSuffix(),
            false);
    }
}

void AppState::restore(const BackupSnapshot &snapshot, RestoreScopeOption scope, RestoreCompletion completion)
{
    // A restore writes into the first source folder that a running backup is reading, and shares the
    // store with it: refused, not queued.
    if (isBusy() || m_backupState.isRunning()) {
        const std::string message = std::string("復元エラー: ") + kBusyRestoreText;
        setStatusMessage(message);
        RunContext::post(m_context, [completion = std::move(completion), message](AppState &) {
            if (completion)
                completion(RestoreOutcome::failed, message);
        });
        return;
    }
    m_restoreRunning = true;

    QThreadPool::globalInstance()->start([context = m_context, service = m_restoreService, snapshot, scope,
                                             config = m_config, completion = std::move(completion)]() mutable {
        auto result = service->executeRestore(snapshot, config, scope, [&context](const std::string &text) {
            RunContext::post(context, [text](AppState &self) { self.setStatusMessage(text); });
        });
        RunContext::post(context, [result = std::move(result), completion = std::move(completion)](AppState &self) {
            self.finishRestore(result, completion);
        });
    });
}

void AppState::finishRestore(const Result<RestoreRun> &result, const RestoreCompletion &completion)
{
    m_restoreRunning = false;
    RestoreOutcome outcome = RestoreOutcome::failed;
    std::string message;
    if (result) {
        loadHistory(); // brings in the safety snapshot the restore took
        outcome = result->isComplete() ? RestoreOutcome::complete : RestoreOutcome::partial;
        message = result->message();
    } else {
        message = "復元エラー: " + result.error().description;
    }
    setStatusMessage(message);
    if (completion)
        completion(outcome, message);
}

Result<void> AppState::deleteSnapshot(const BackupSnapshot &snapshot)
{
    // Our own run holds the store: waiting for it here would only freeze the window.
    Result<void> deleted = isBusy()
        ? std::unexpected(StoreLock::busyError())
        : m_backupService->deleteSnapshot(snapshot, std::filesystem::path(m_config.destinationDirectory));
    if (!deleted) {
        setStatusMessage("削除失敗: " + deleted.error().description);
        return deleted;
    }
    SnapshotList list = m_snapshots;
    std::erase_if(list, [&](const BackupSnapshot &s) { return s.id == snapshot.id; });
    setSnapshots(std::move(list));
    return {};
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

bool AppState::applyTemplateToCurrent(const PromptTemplate &tmpl)
{
    if (m_config.sourceDirectories.empty())
        return false;
    // The safety snapshot needs the store, which our own run holds: refused at once rather than after
    // the lock's wait.
    const bool needsSafety = overwritesOtherText(tmpl, std::filesystem::path(m_config.sourceDirectories.front()));
    Result<std::optional<BackupSnapshot>> applied = std::unexpected(StoreLock::busyError());
    if (!needsSafety || !(isBusy() || m_backupState.isRunning()))
        applied = applyTemplateSafely(tmpl, m_config, m_templateService, *m_backupService);
    if (!applied) {
        setStatusMessage("適用失敗: " + applied.error().description);
        return false;
    }
    if (*applied)
        loadHistory(); // the safety snapshot shows in the history
    setStatusMessage("「" + tmpl.title + "」を " + tmpl.targetFileName + " に適用したよ！");
    return true;
}

std::optional<TemplateImport> AppState::importCurrentPrompt()
{
    if (m_config.sourceDirectories.empty())
        return std::nullopt;
    const std::filesystem::path folder(m_config.sourceDirectories.front());
    auto body = m_templateService.readCurrentPrompt(folder);
    if (!body)
        return std::nullopt;
    PromptTemplate imported = TemplateService::makeImportedTemplate(std::move(*body), folder);
    auto stored = saveTemplate(imported);
    return TemplateImport {std::move(imported), std::move(stored)};
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

void AppState::requestNotificationPermission()
{
    // Desktop notification servers ask for no permission: there is nothing to request.
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
