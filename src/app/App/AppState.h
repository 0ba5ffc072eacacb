#pragma once

#include "App/AutoBackupManager.h"
#include "App/ChangeSummaries.h"
#include "App/DesktopNotifier.h"
#include "App/LaunchAtLoginManager.h"
#include "App/LeftOutSurvey.h"
#include "Models/AppEnums.h"
#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Models/PromptTemplate.h"
#include "Services/BackupService.h"
#include "Services/CurrentFilesDiff.h"
#include "Services/FileVersions.h"
#include "Services/RestoreService.h"
#include "Services/TemplateService.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

class QFileSystemWatcher;

namespace velkaro {

using SnapshotList = std::vector<BackupSnapshot>;
using TemplateList = std::vector<PromptTemplate>;
using OptionalDate = std::optional<TimePoint>;
using OptionalText = std::optional<std::string>;

template<class T> class ProgressRelay;

// A template added to the library (created or imported): the record, and whether the library file took it.
struct AddedTemplate
{
    PromptTemplate added;
    Result<void> stored;
};

// Where AppState keeps its settings and how it reaches the desktop; tests point these elsewhere.
struct AppStateOptions
{
    std::filesystem::path configFile = BackupConfig::defaultConfigFilePath();
    AutoBackupManagerOptions scheduler;
    std::optional<DesktopNotifier> notifier; // on the session bus when not given
    std::chrono::milliseconds surveyDelay {300}; // typing pause before the left-out files are counted
};

// The one observable state of the application: every view and the tray menu read from it and act
// through it. Lives on the main thread; every operation is entered there and every published field
// changes there. Backup, restore, deletion and history loads run in the thread pool and report back
// through the event loop; progress arrives at most 25 times a second, and always before the result.
// Its definitions are split by concern: AppState.cpp (settings, navigation, notifications, the published
// fields), AppStateRuns.cpp (backup, restore, deletion), AppStateTemplates.cpp, AppStateHistory.cpp (the
// list and the watch on the store) and AppStateCompare.cpp (the history page's comparisons).
class AppState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(velkaro::BackupConfig config READ config WRITE setConfig NOTIFY configChanged)
    Q_PROPERTY(velkaro::SnapshotList snapshots READ snapshots NOTIFY snapshotsChanged)
    Q_PROPERTY(velkaro::TemplateList templates READ templates NOTIFY templatesChanged)
    Q_PROPERTY(velkaro::BackupExecutionState backupState READ backupState NOTIFY backupStateChanged)
    Q_PROPERTY(velkaro::OptionalDate lastSuccessDate READ lastSuccessDate NOTIFY lastSuccessDateChanged)
    Q_PROPERTY(velkaro::NavigationTab selectedTab READ selectedTab WRITE setSelectedTab NOTIFY selectedTabChanged)
    Q_PROPERTY(velkaro::OptionalText statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(velkaro::OptionalDate nextBackupDate READ nextBackupDate NOTIFY nextBackupDateChanged)
    Q_PROPERTY(std::string leftOutSummary READ leftOutSummary NOTIFY leftOutSummaryChanged)

public:
    // `message` is the status line the restore left (its own result text, or the error); after a partial
    // restore, followed by an empty line and the files that failed, with why (RestoreRun::failureList).
    using RestoreCompletion = std::function<void(RestoreOutcome outcome, const std::string &message)>;
    // Called on the main thread once the snapshot is gone from disk and list, or with the error.
    using DeleteCompletion = std::function<void(const Result<void> &deleted)>;

    AppState(BackupService backupService, RestoreService restoreService, TemplateService templateService,
        LaunchAtLoginManager launchManager, AppStateOptions options = {}, QObject *parent = nullptr);
    ~AppState() override;

    const BackupConfig &config() const { return m_config; }
    // The settings view assigns the edited configuration, then calls saveConfig.
    void setConfig(const BackupConfig &config);
    const SnapshotList &snapshots() const { return m_snapshots; }
    const TemplateList &templates() const { return m_templates; }
    const BackupExecutionState &backupState() const { return m_backupState; }
    const OptionalDate &lastSuccessDate() const { return m_lastSuccessDate; }
    NavigationTab selectedTab() const { return m_selectedTab; }
    void setSelectedTab(NavigationTab tab);
    // Switches to the history with that snapshot selected (the dashboard's recent rows). The history
    // takes the request when it shows; a request for an id no longer listed selects nothing.
    void showSnapshotInHistory(const std::string &id);
    const std::optional<std::string> &requestedHistorySnapshot() const { return m_requestedHistorySnapshot; }
    std::optional<std::string> takeRequestedHistorySnapshot()
    {
        return std::exchange(m_requestedHistorySnapshot, std::nullopt);
    }
    const OptionalText &statusMessage() const { return m_statusMessage; }
    OptionalDate nextBackupDate() const;

    // True while a backup, a restore or a template apply of this application runs.
    bool isBusy() const { return m_backupRunning || m_restoreRunning || m_applyRunning; }
    // True from applyTemplateToCurrent until its outcome is told.
    bool isApplyingTemplate() const { return m_applyRunning; }
    // True from loadHistory (or a change of destination) until the newest requested list is shown.
    bool isLoadingHistory() const { return m_historyShown != m_historyRequested; }
    // True while any work of this object runs in the pool or waits to hand over its result.
    bool hasBackgroundWork() const
    {
        return m_backgroundTasks > 0 || m_changeSummaries.isComparing() || m_storeSettle.isActive();
    }

    void loadConfig();
    // Stores and applies `config`. A changed destination empties the list and loads the new store's
    // history in the background. When config.json cannot
    // be written the running application keeps the change all the same; the error is returned and
    // shown as the status message.
    Result<void> saveConfig();
    // Reads the configured store's history in the pool; the list changes when it arrives (snapshotsChanged).
    // Only the newest request is shown: a result that a later request overtook is dropped.
    void loadHistory();
    // A run started where its outcome is not on screen (the tray while no window is shown) also
    // reports a success as a notification; a failure is always notified, as the policy allows.
    enum class SuccessFeedback { statusOnly, notify };
    void performManualBackup(SuccessFeedback feedback = SuccessFeedback::statusOnly);
    void executeScheduledBackup();
    // Returns at once. The completion is called on the main thread, later, with the outcome; after a
    // restore that worked, once the list holds the safety snapshot it took.
    void restore(const BackupSnapshot &snapshot, RestoreScopeOption scope, RestoreCompletion completion);
    // Removes the snapshot's folder and history entry in the pool (waiting for the store lock there).
    // On failure the entry stays listed (it is still on disk) and the error is shown as the status
    // message. Returns at once; `completion`, if any, gets the outcome later, unless this object is gone.
    void deleteSnapshot(const BackupSnapshot &snapshot, DeleteCompletion completion = {});

    void loadTemplates();
    // Both change the list at once and then write the library file; a failed write is returned and
    // shown as the status message.
    Result<void> saveTemplate(const PromptTemplate &tmpl);
    Result<void> deleteTemplate(const std::string &id);
    // The template manager's create: a user template with the starting text, appended and written.
    AddedTemplate createTemplate();
    // The template manager's save: `edits` stored as template `id`, updated now. A listed template keeps
    // its creation time; one no longer listed is added again, created now.
    Result<void> saveTemplateEdits(const std::string &id, const TemplateEdits &edits, bool isPreset);
    // Writes `tmpl` into the first source folder in the pool, after a safety snapshot when it replaces
    // other text; that snapshot's progress shows as a backup's. Returns at once; the outcome becomes the
    // status message ("「title」を … に適用したよ！" or "適用失敗: …") and `completion` gets it on the main
    // thread, once the list holds the safety snapshot. Refused (false, status unchanged) without a
    // source folder or while another apply runs.
    using ApplyCompletion = std::function<void(bool applied, const std::string &message)>;
    void applyTemplateToCurrent(const PromptTemplate &tmpl, ApplyCompletion completion = {});
    // The template manager's import: GEMINI.md of the first source folder, appended as a new template.
    // Nothing when no source folder is configured or the file cannot be read; the view says which.
    std::optional<AddedTemplate> importCurrentPrompt();

    // The detail of one snapshot against the current files, worked out off the main thread. Each
    // completion comes on the main thread, unless a later call of the same kind came first: then it is
    // dropped, so a result for a snapshot or file no longer chosen never arrives.
    using ComparisonCompletion = std::function<void(const CurrentFilesComparison &comparison)>;
    void compareWithCurrentFiles(const BackupSnapshot &snapshot, ComparisonCompletion completion);
    using FileDiffCompletion = std::function<void(const CurrentFileDiff &diff)>;
    void diffWithCurrentFile(const BackupSnapshot &snapshot, const std::string &path, FileDiffCompletion completion);
    // A restore of the chosen recorded paths only, with the same safety snapshot, refusal while busy and
    // completion as `restore`.
    void restoreFiles(const BackupSnapshot &snapshot, std::vector<std::string> paths, RestoreCompletion completion);

    // One distinct version of a recorded file: the snapshot that first holds it, its size and its lines
    // against the previous version (text files only).
    struct FileVersionRow
    {
        BackupSnapshot snapshot;
        std::int64_t size = 0;
        std::optional<LineChanges> changes;
    };
    using FileVersionsCompletion = std::function<void(const std::vector<FileVersionRow> &versions)>;
    // The versions of `path` among the listed snapshots, newest first, found off the main thread. As
    // with the comparisons, only the latest request's completion comes.
    void loadFileVersions(const std::string &path, FileVersionsCompletion completion);
    // One version's copy of `path` against the current file (`previous` absent) or against the previous
    // version's copy. Only the latest request's completion comes.
    void diffFileVersion(const BackupSnapshot &version, const std::optional<BackupSnapshot> &previous,
        const std::string &path, FileDiffCompletion completion);

    // Counts, off the main thread, the files below `sources` that `extensions` would leave out (the
    // store folder aside); a burst of calls is walked once, for the last. The result arrives as
    // leftOutSummary: "対象外: 3 件 (.toml 2、.sh 1)", or empty when nothing is left out.
    void surveyLeftOutFiles(std::vector<std::string> sources, std::vector<std::string> extensions);
    const std::string &leftOutSummary() const { return m_leftOutSurvey.summary(); }

    // What changed from one snapshot to a newer one, and the two snapshots by id (ChangeSummaries.h).
    using ChangeSummary = velkaro::ChangeSummary;
    using SnapshotPair = velkaro::SnapshotPair;
    // Compares, off the main thread and one pair at a time, the listed snapshots of each pair whose
    // summary is not known yet. Pairs of an earlier call that have not started are dropped: the list
    // asks for the rows it shows, and those rows may have scrolled away. Each result arrives as
    // changeSummaryReady; results for a history that has changed since are dropped.
    void requestChangeSummaries(std::vector<SnapshotPair> pairs);
    std::optional<ChangeSummary> changeSummary(const SnapshotPair &pair) const;

signals:
    void configChanged();
    void snapshotsChanged();
    void templatesChanged();
    void backupStateChanged();
    void lastSuccessDateChanged();
    void selectedTabChanged();
    void historySnapshotRequested();
    void statusMessageChanged();
    void nextBackupDateChanged();
    void leftOutSummaryChanged();
    void templateApplyChanged();
    void changeSummaryReady(const velkaro::AppState::SnapshotPair &pair);
    // The current files or the store may have changed by this program's hand (a backup, a restore, a
    // template applied): what was compared with them is to be compared again.
    void filesChanged();

private:
    // runThenCallback on this object, counted in hasBackgroundWork: `done(result)` comes on the main
    // thread, never once this object is gone. The work must not touch this object: give it copies and the
    // shared services. Defined in AppStateBackground.h, which the source files that use it include.
    template<class Work, class Done> void runInBackground(Work work, Done done);

    void executeBackupProcess(BackupTriggerType trigger, SuccessFeedback feedback);
    void finishBackup(BackupTriggerType trigger, SuccessFeedback feedback, const Result<BackupRun> &result);
    // What a restore writes: the snapshot's files by scope, or the chosen recorded paths.
    using RestoreChoice = std::variant<RestoreScopeOption, std::vector<std::string>>;
    void startRestore(const BackupSnapshot &snapshot, RestoreChoice choice, RestoreCompletion completion);
    void finishRestore(const Result<RestoreRun> &result, RestoreCompletion completion);
    void finishApply(const PromptTemplate &tmpl, bool showedProgress,
        const Result<std::optional<BackupSnapshot>> &applied, ApplyCompletion completion);
    void finishDelete(const std::string &destination, const std::string &id, const Result<void> &deleted,
        const DeleteCompletion &completion);
    void requestHistory(std::string destination, std::function<void()> then = {});
    void applyHistory(SnapshotList history);
    void sendNotification(const std::string &title, const std::string &body, bool isError);
    void setupAutoBackup();
    OptionalDate newestSnapshotDate() const;

    // Watches history.json for writes by another process (the command-line tool, a cron job) and loads
    // the history again when it changed (AppStateHistory.cpp).
    void watchStore();
    void storeMayHaveChanged();

    void setSnapshots(SnapshotList snapshots);
    void setTemplates(TemplateList templates);
    void setBackupState(const BackupExecutionState &state);
    void setLastSuccessDate(OptionalDate date);
    void setStatusMessage(OptionalText message);
    Result<void> storeTemplates();
    void settleSaveMessage(const Result<void> &saved, const char *successText);

    BackupConfig m_config;
    SnapshotList m_snapshots;
    TemplateList m_templates;
    // The store that `m_snapshots` was (or is being) read from, and the one the running backup writes into.
    std::string m_historyDestination;
    std::string m_runDestination;
    BackupExecutionState m_backupState;
    OptionalDate m_lastSuccessDate;
    NavigationTab m_selectedTab = NavigationTab::dashboard;
    std::optional<std::string> m_requestedHistorySnapshot;
    OptionalText m_statusMessage;

    // Shared with the runs in the pool, which may outlive this object; the services are stateless.
    std::shared_ptr<const BackupService> m_backupService;
    std::shared_ptr<const RestoreService> m_restoreService;
    TemplateService m_templateService;
    LaunchAtLoginManager m_launchManager;
    std::unique_ptr<AutoBackupManager> m_autoBackupManager;

    AppStateOptions m_options;
    DesktopNotifier m_notifier;
    // The newest run's progress on its way to the main thread; gone when the run has ended.
    std::unique_ptr<ProgressRelay<BackupExecutionState>> m_backupProgress;
    std::unique_ptr<ProgressRelay<std::string>> m_restoreProgress;
    std::unique_ptr<ProgressRelay<BackupExecutionState>> m_applyProgress;
    BackupExecutionState m_stateBeforeApply; // shown again once the apply's safety snapshot is through
    bool m_backupRunning = false;
    bool m_restoreRunning = false;
    bool m_applyRunning = false;
    int m_backgroundTasks = 0;
    // History loads: the newest one asked for and the one whose list is shown. A change of store or the
    // start asks for the schedule to follow the loaded list.
    unsigned m_historyRequested = 0;
    unsigned m_historyShown = 0;
    bool m_rescheduleOnHistory = false;
    LeftOutSurvey m_leftOutSurvey;
    ChangeSummaries m_changeSummaries {m_snapshots, m_historyDestination}; // the list's row summaries
    // The detail pane's requests (AppStateCompare.cpp): only the latest one's result is delivered.
    std::uint64_t m_comparisonTicket = 0;
    std::uint64_t m_fileDiffTicket = 0;
    std::uint64_t m_versionsTicket = 0;
    std::uint64_t m_versionDiffTicket = 0;
    QFileSystemWatcher *m_storeWatcher = nullptr;
    QTimer m_storeSettle; // a burst of changes is read once
    std::string m_storeSeen; // history.json's identity when last looked at
    bool m_watchedReload = false; // the load on its way was asked for by the watch
};

} // namespace velkaro
