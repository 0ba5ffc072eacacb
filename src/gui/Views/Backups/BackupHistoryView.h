#pragma once

#include "Models/AppEnums.h"
#include "Models/BackupSnapshot.h"
#include "Views/Backups/SnapshotFilesPane.h"
#include "Views/Backups/SnapshotListView.h"

#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class QComboBox;
class QLabel;
class QLayout;
class QListWidget;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace velkaro {

class AppState;
class ButtonSpinner;
class FileVersionsPane;
class SnapshotListModel;

// The history page: every snapshot on the left, the selected one on the right with its delete
// button, the restore box and its files. Restores and deletions go through AppState.
class BackupHistoryView : public QWidget
{
    Q_OBJECT

public:
    using AlertFunction = std::function<void(QWidget *parent, const QString &title, const QString &message)>;
    // Asks before a deletion; true to delete. Tests replace it.
    using ConfirmFunction = std::function<bool(QWidget *parent, const BackupSnapshot &snapshot)>;
    // Asks before a restore; true to restore. Tests replace it.
    using RestoreConfirmFunction
        = std::function<bool(QWidget *parent, const BackupSnapshot &snapshot, RestoreScopeOption scope)>;
    // Asks before the chosen files are restored; true to restore. Tests replace it.
    using ChosenRestoreConfirmFunction
        = std::function<bool(QWidget *parent, const BackupSnapshot &snapshot, const std::vector<std::string> &paths)>;
    static constexpr int FileTintRole = SnapshotFilesPane::FileTintRole;

    explicit BackupHistoryView(AppState &state, QWidget *parent = nullptr);

    void setAlertFunction(AlertFunction alert) { m_alert = std::move(alert); }
    void setConfirmFunction(ConfirmFunction confirm) { m_confirm = std::move(confirm); }
    void setRestoreConfirmFunction(RestoreConfirmFunction confirm) { m_confirmRestore = std::move(confirm); }
    void setChosenRestoreConfirmFunction(ChosenRestoreConfirmFunction confirm)
    {
        m_confirmChosenRestore = std::move(confirm);
    }

    void performRestore();
    // The restore of the files chosen in the detail pane's list.
    void performChosenRestore();
    // The restore of the version chosen in the file's versions view: that file alone.
    void performVersionRestore();
    void deleteSelected();
    // Shows the versions of `path` in place of the file list; and back.
    void showFileVersions(const std::string &path);
    void showFiles();

    const std::optional<BackupSnapshot> &selectedSnapshot() const { return m_selected; }
    // The shown snapshot is no longer in the store (deleted here or elsewhere): the page says so.
    bool isSelectedGone() const { return m_selectedGone; }
    bool isShowingVersions() const;
    RestoreScopeOption selectedRestoreScope() const { return m_scope; }
    bool isRestoring() const { return m_isRestoring; }

    QLabel *headerLabel() const { return m_header; }
    QToolButton *refreshButton() const { return m_refreshButton; }
    QWidget *emptyState() const { return m_emptyState; }
    SnapshotListView *list() const { return m_list; }
    SnapshotListModel *listModel() const { return m_model; }
    QLabel *hintLabel() const { return m_hint; }
    QLabel *idLabel() const { return m_idLabel; }
    QLabel *dateLabel() const { return m_dateLabel; }
    QPushButton *deleteButton() const { return m_deleteButton; }
    QComboBox *scopeChoice() const { return m_scopeChoice; }
    QLabel *goneLabel() const { return m_goneLabel; }
    FileVersionsPane *versionsPane() const { return m_versionsPane; }
    QPushButton *restoreButton() const { return m_restoreButton; }
    bool isRestoreSpinnerShown() const;
    SnapshotFilesPane *filesPane() const { return m_filesPane; }
    QLabel *filesHeader() const { return m_filesPane->filesHeader(); }
    QListWidget *fileList() const { return m_filesPane->fileList(); }

protected:
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QWidget *buildListPane(QWidget *parent);
    QWidget *buildListHeader(QWidget *parent);
    QWidget *buildEmptyState(QWidget *parent);
    QWidget *buildDetailPane(QWidget *parent);
    QLayout *buildDetailHeader(QWidget *detail);
    QWidget *buildRestoreBox(QWidget *detail);
    void connectState();
    void rebuildList();
    void select(std::optional<BackupSnapshot> snapshot);
    void takeRequest();
    void selectNewest();
    void highlightSelection();
    void showDetail();
    void updateRestoreButton();
    void finishRestore(RestoreOutcome outcome, const std::string &message);
    void startRestore(const BackupSnapshot &snapshot, std::optional<std::vector<std::string>> paths);
    void refreshAgainstNow();

    AppState &m_state;
    AlertFunction m_alert;
    ConfirmFunction m_confirm;
    RestoreConfirmFunction m_confirmRestore;
    ChosenRestoreConfirmFunction m_confirmChosenRestore;
    std::optional<BackupSnapshot> m_selected;
    RestoreScopeOption m_scope = RestoreScopeOption::allFiles;
    bool m_isRestoring = false;
    bool m_selectedGone = false;
    QString m_restoreMessage;
    bool m_rebuilding = false;
    SnapshotListModel *m_model;

    QLabel *m_header = nullptr;
    QToolButton *m_refreshButton = nullptr;
    QStackedWidget *m_listStack = nullptr;
    QWidget *m_emptyState = nullptr;
    SnapshotListView *m_list = nullptr;
    QStackedWidget *m_detailStack = nullptr;
    QLabel *m_hint = nullptr;
    QLabel *m_idLabel = nullptr;
    QLabel *m_dateLabel = nullptr;
    QPushButton *m_deleteButton = nullptr;
    QComboBox *m_scopeChoice = nullptr;
    QLabel *m_goneLabel = nullptr;
    QStackedWidget *m_filesStack = nullptr;
    FileVersionsPane *m_versionsPane = nullptr;
    QPushButton *m_restoreButton = nullptr;
    ButtonSpinner *m_restoreSpinner = nullptr;
    SnapshotFilesPane *m_filesPane = nullptr;
};

} // namespace velkaro
