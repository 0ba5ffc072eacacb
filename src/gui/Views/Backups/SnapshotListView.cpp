#include "Views/Backups/SnapshotListView.h"

#include "Views/Backups/SnapshotListModel.h"
#include "Views/Backups/SnapshotRowDelegate.h"

#include <QShowEvent>

namespace velkaro {

SnapshotListView::SnapshotListView(SnapshotListModel *model, QWidget *parent)
    : QListView(parent)
    , m_model(model)
{
    setModel(model);
    setItemDelegate(new SnapshotRowDelegate(this));
    // Every row has the same height: the view lays out thousands of rows without asking each one.
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setResizeMode(QListView::Adjust);
    setFrameShape(QFrame::NoFrame);
    m_shownRowsTimer.setSingleShot(true);
    m_shownRowsTimer.setInterval(0);
    connect(&m_shownRowsTimer, &QTimer::timeout, this, &SnapshotListView::requestShownSummaries);
    auto later = [this] { m_shownRowsTimer.start(); };
    connect(model, &QAbstractItemModel::modelReset, this, later);
    connect(model, &QAbstractItemModel::rowsInserted, this, later);
    connect(model, &QAbstractItemModel::rowsRemoved, this, later);
}

int SnapshotListView::count() const
{
    return m_model->rowCount();
}

int SnapshotListView::currentRow() const
{
    return currentIndex().row();
}

void SnapshotListView::setCurrentRow(int row)
{
    if (row < 0 || row >= count()) {
        selectionModel()->clear();
        return;
    }
    setCurrentIndex(m_model->index(row));
}

std::pair<int, int> SnapshotListView::shownRows() const
{
    if (count() == 0 || !isVisible())
        return {-1, -1};
    const QRect area = viewport()->rect();
    const QModelIndex first = indexAt(area.topLeft());
    if (!first.isValid())
        return {-1, -1};
    const QModelIndex last = indexAt(QPoint(area.left(), area.bottom()));
    return {first.row(), last.isValid() ? last.row() : count() - 1};
}

void SnapshotListView::showEvent(QShowEvent *event)
{
    QListView::showEvent(event);
    m_shownRowsTimer.start();
}

void SnapshotListView::resizeEvent(QResizeEvent *event)
{
    QListView::resizeEvent(event);
    m_shownRowsTimer.start();
}

void SnapshotListView::scrollContentsBy(int dx, int dy)
{
    QListView::scrollContentsBy(dx, dy);
    m_shownRowsTimer.start();
}

void SnapshotListView::requestShownSummaries()
{
    const auto [first, last] = shownRows();
    if (first >= 0)
        m_model->requestSummaries(first, last);
}

} // namespace velkaro
