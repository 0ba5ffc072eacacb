#pragma once

#include "Models/BackupSnapshot.h"
#include "Services/CurrentFilesDiff.h"

#include <QWidget>

#include <optional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QLayout;
class QListWidget;
class QPushButton;

namespace velkaro {

class AppState;
class FileDiffView;

// The files of the snapshot shown on the history page: each marked against the current files, how many
// current files it lacks, the chosen file's difference with now, and the restore of the chosen files.
// The comparison and the diff are asked of AppState and arrive later; one for another snapshot or file
// than the one shown is dropped.
class SnapshotFilesPane : public QWidget
{
    Q_OBJECT

public:
    static constexpr int FileTintRole = Qt::UserRole + 1;
    // int(CompareState) of the file against now, or -1 while the comparison is under way.
    static constexpr int MarkRole = Qt::UserRole + 2;
    static constexpr int PathRole = Qt::UserRole + 3;

    explicit SnapshotFilesPane(AppState &state, QWidget *parent = nullptr);

    // Lists the snapshot's files and compares them with now; nothing clears the pane.
    void setSnapshot(const std::optional<BackupSnapshot> &snapshot);
    // Compares again and reloads the chosen file's diff (the current files changed, as after a restore).
    void refreshComparison();
    // While any restore of the page runs, the chosen files cannot be restored.
    void setRestoring(bool restoring);
    // The selected files' recorded paths, in list order.
    std::vector<std::string> chosenPaths() const;

    // The short word a file gets for its state against now.
    static QString markText(CompareState state);

    // The recorded path of the current file row; empty when none.
    std::string currentPath() const;

    QLabel *filesHeader() const { return m_filesHeader; }
    QLabel *chosenCountLabel() const { return m_chosenCount; }
    QPushButton *historyButton() const { return m_historyButton; }
    QAction *historyAction() const { return m_historyAction; }
    QListWidget *fileList() const { return m_fileList; }
    QLabel *onlyNowLabel() const { return m_onlyNow; }
    QPushButton *restoreChosenButton() const { return m_restoreChosen; }
    FileDiffView *diffView() const { return m_diffView; }

signals:
    void restoreChosenRequested();
    // "このファイルの履歴" for the current file (button, context menu or Ctrl+H).
    void historyRequested(const std::string &path);
    // Another file became the current one; its diff is on the way.
    void fileChosen();

private:
    QWidget *buildList();
    QLayout *buildButtons();
    void requestHistory();
    void fillList();
    void showComparison(const std::string &id, const CurrentFilesComparison &comparison);
    void loadCurrentFileDiff();
    void showFileDiff(const std::string &id, const std::string &path, const CurrentFileDiff &diff);
    void updateRestoreButton();

    AppState &m_state;
    std::optional<BackupSnapshot> m_snapshot;
    bool m_restoring = false;

    QLabel *m_filesHeader = nullptr;
    QLabel *m_chosenCount = nullptr;
    QPushButton *m_historyButton = nullptr;
    QAction *m_historyAction = nullptr;
    QPushButton *m_restoreChosen = nullptr;
    QListWidget *m_fileList = nullptr;
    QLabel *m_onlyNow = nullptr;
    FileDiffView *m_diffView = nullptr;
};

} // namespace velkaro
