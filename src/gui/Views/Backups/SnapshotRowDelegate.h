#pragma once

#include <QStyledItemDelegate>

namespace velkaro {

// Paints one snapshot row of SnapshotListModel: the date and the trigger badge on the first line; the
// file count, size, change summary and id (which gives way first) on the second.
class SnapshotRowDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // Where the badge of the row at `option.rect` is painted.
    static QRect badgeRect(const QStyleOptionViewItem &option, const QModelIndex &index);
};

} // namespace velkaro
