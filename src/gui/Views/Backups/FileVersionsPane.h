#pragma once

#include "App/AppState.h"

#include <QWidget>

#include <optional>
#include <string>
#include <vector>

class QLabel;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace velkaro {

class FileDiffView;

// One file's versions on the history page: each distinct version with its date, trigger, size and lines
// against the previous one; the chosen version's diff against the current file (or the previous
// version); and the restore of that version alone. The versions and diffs come from AppState, later.
class FileVersionsPane : public QWidget
{
    Q_OBJECT

public:
    explicit FileVersionsPane(AppState &state, QWidget *parent = nullptr);

    // Lists the versions of `path`, the newest chosen.
    void showFile(const std::string &path);
    // Finds the versions again (the store changed), keeping the chosen version by its snapshot's id.
    void refresh();
    // While any restore of the page runs, no version can be restored.
    void setRestoring(bool restoring);

    const std::string &path() const { return m_path; }
    std::optional<BackupSnapshot> chosenVersion() const;
    // The row text of a version, as the list and a screen reader give it.
    static QString rowText(const AppState::FileVersionRow &row, bool exactSize);

    QLabel *titleLabel() const { return m_title; }
    QPushButton *backButton() const { return m_back; }
    QListWidget *versionList() const { return m_list; }
    QRadioButton *againstNowButton() const { return m_againstNow; }
    QRadioButton *againstPreviousButton() const { return m_againstPrevious; }
    QPushButton *restoreButton() const { return m_restore; }
    FileDiffView *diffView() const { return m_diff; }

signals:
    void backRequested();
    void restoreRequested();

private:
    QWidget *buildCompareRow();
    void showVersions(const std::string &path, const std::vector<AppState::FileVersionRow> &rows);
    void loadDiff();
    void showDiffFor(const std::string &id, bool againstPrevious, const CurrentFileDiff &diff);
    void updateRestoreButton();

    AppState &m_state;
    std::string m_path;
    std::vector<AppState::FileVersionRow> m_rows;
    std::optional<std::string> m_keptId; // the version to choose again after a refresh
    bool m_restoring = false;

    QLabel *m_title = nullptr;
    QPushButton *m_back = nullptr;
    QListWidget *m_list = nullptr;
    QRadioButton *m_againstNow = nullptr;
    QRadioButton *m_againstPrevious = nullptr;
    QPushButton *m_restore = nullptr;
    FileDiffView *m_diff = nullptr;
};

} // namespace velkaro
