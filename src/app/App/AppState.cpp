#include "App/AppState.h"

#include "App/ProgressRelay.h"

#include <QPointer>

#include <algorithm>
#include <utility>

namespace velkaro {

namespace {

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
    connect(&m_changeSummaries, &ChangeSummaries::ready, this, &AppState::changeSummaryReady);
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
    auto loaded = BackupConfig::load(m_options.configFile);
    if (!loaded) // the defaults stand in, but the user must know that their settings were not read
        setStatusMessage("設定ファイルを読み込めませんでした: " + loaded.error().description);
    else if (*loaded)
        setConfig(**loaded);
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

void AppState::settleSaveMessage(const Result<void> &saved, const char *successText)
{
    if (!saved)
        setStatusMessage(kSaveFailedPrefix + saved.error().description);
    else if (m_statusMessage && m_statusMessage->starts_with(kSaveFailedPrefix))
        setStatusMessage(successText); // a failure told before must not outlive a save that worked
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
    m_changeSummaries.historyChanged();
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
