#include "Views/Backups/SnapshotListModel.h"

#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"

#include <algorithm>

namespace velkaro {

namespace {

Tint badgeTint(BackupTriggerType trigger)
{
    switch (trigger) {
    case BackupTriggerType::manual:
        return Tint::blue;
    case BackupTriggerType::scheduled:
        return Tint::green;
    case BackupTriggerType::preRestoreSafety:
        return Tint::orange;
    }
    return Tint::blue;
}

} // namespace

SnapshotListModel::SnapshotListModel(AppState &state, QObject *parent)
    : QAbstractListModel(parent)
    , m_state(state)
{
    connect(&m_state, &AppState::changeSummaryReady, this, &SnapshotListModel::takeSummary);
}

void SnapshotListModel::reload()
{
    beginResetModel();
    m_rows = m_state.snapshots();
    endResetModel();
}

int SnapshotListModel::rowOf(const std::string &id) const
{
    const auto found = std::ranges::find(m_rows, id, &BackupSnapshot::id);
    return found == m_rows.end() ? -1 : int(found - m_rows.begin());
}

int SnapshotListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant SnapshotListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const BackupSnapshot &s = m_rows[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return qs(s.formattedDate());
    case IdRole:
        return qs(s.id);
    case Qt::ToolTipRole:
        return s.note ? qs(s.id) + QLatin1Char('\n') + qs(*s.note) : qs(s.id);
    case NoteRole:
        return qs(s.note.value_or(std::string()));
    case FilesRole:
        return QStringLiteral("%1 ファイル").arg(s.filesCount);
    case SizeRole:
        return qs(s.formattedSize());
    case TriggerRole:
        return qs(rawValue(s.triggerType));
    case TintRole:
        return int(badgeTint(s.triggerType));
    case SummaryRole:
        return summaryOf(index.row());
    case Qt::AccessibleTextRole: {
        // What a screen reader says for the row: what it shows, but the id.
        QString text = qs(s.formattedDate()) + QLatin1Char(' ') + qs(rawValue(s.triggerType)) + QLatin1Char(' ')
            + QStringLiteral("%1 ファイル • ").arg(s.filesCount) + qs(s.formattedSize());
        if (s.note)
            text += QLatin1Char(' ') + qs(*s.note);
        const QString summary = summaryOf(index.row());
        return summary.isEmpty() ? text : text + QStringLiteral(" • ") + summary;
    }
    default:
        return {};
    }
}

void SnapshotListModel::requestSummaries(int first, int last)
{
    std::vector<AppState::SnapshotPair> wanted;
    for (int row = std::max(first, 0); row <= last && row < int(m_rows.size()); ++row) {
        auto pair = pairOf(row);
        if (pair && !m_state.changeSummary(*pair))
            wanted.push_back(std::move(*pair));
    }
    m_state.requestChangeSummaries(std::move(wanted));
}

QString SnapshotListModel::summaryText(const AppState::ChangeSummary &summary)
{
    if (summary.added == 0 && summary.changed == 0 && summary.removed == 0)
        return QStringLiteral("変更なし");
    return QStringLiteral("+%1 ~%2 \u2212%3").arg(summary.added).arg(summary.changed).arg(summary.removed);
}

// The oldest row has nothing before it.
std::optional<AppState::SnapshotPair> SnapshotListModel::pairOf(int row) const
{
    if (row < 0 || row + 1 >= int(m_rows.size()))
        return std::nullopt;
    return AppState::SnapshotPair {m_rows[std::size_t(row) + 1].id, m_rows[std::size_t(row)].id};
}

QString SnapshotListModel::summaryOf(int row) const
{
    const auto pair = pairOf(row);
    const auto summary = pair ? m_state.changeSummary(*pair) : std::nullopt;
    return summary ? summaryText(*summary) : QString();
}

void SnapshotListModel::takeSummary(const AppState::SnapshotPair &pair)
{
    const int row = rowOf(pair.newerId);
    if (row < 0 || pairOf(row) != pair)
        return;
    const QModelIndex at = index(row);
    emit dataChanged(at, at, {SummaryRole, Qt::AccessibleTextRole});
}

} // namespace velkaro
