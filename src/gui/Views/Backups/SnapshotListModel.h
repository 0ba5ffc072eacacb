#pragma once

#include "App/AppState.h"

#include <QAbstractListModel>

#include <optional>
#include <string>

namespace velkaro {

// The history's snapshots, newest first, as rows for a list view. Holds its own copy of the list
// (path lists are shared, so it is cheap) from one reload to the next, so the rows never change
// under the view between AppState's change and the view's rebuild.
class SnapshotListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        FilesRole, // "3 ファイル"
        SizeRole,
        TriggerRole, // the trigger's raw value, the badge's text
        TintRole, // the badge's Tint, as an int
        SummaryRole, // change against the next older row; empty while unknown and for the oldest row
        NoteRole, // why the snapshot was taken, when it says (an apply's safety snapshot); else empty
    };

    explicit SnapshotListModel(AppState &state, QObject *parent = nullptr);

    // Takes AppState's list again.
    void reload();
    const SnapshotList &snapshots() const { return m_rows; }
    // The row of the snapshot with this id, or -1.
    int rowOf(const std::string &id) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // Asks AppState for the summaries of rows first..last that are not known yet.
    void requestSummaries(int first, int last);

    // "+a ~c −r", or "変更なし" when nothing was added, changed or removed.
    static QString summaryText(const AppState::ChangeSummary &summary);

private:
    std::optional<AppState::SnapshotPair> pairOf(int row) const;
    QString summaryOf(int row) const;
    void takeSummary(const AppState::SnapshotPair &pair);

    AppState &m_state;
    SnapshotList m_rows;
};

} // namespace velkaro
