#include "Views/Backups/SnapshotRowDelegate.h"

#include "Views/Backups/SnapshotListModel.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Typography.h"

#include <QApplication>
#include <QPainter>

#include <cmath>

namespace velkaro {

namespace {

constexpr int kSideInset = 8;
constexpr int kOuterInset = 8; // above and below the two lines: the row's 4 and the list's 4
constexpr int kLineSpacing = 4;
constexpr int kBadgePadX = 6;
constexpr int kBadgePadY = 2;
constexpr int kGap = 8; // between the details and the id

struct RowFonts
{
    QFont date;
    QFont badge;
    QFont caption;
    QFont id;

    explicit RowFonts(const QFont &base)
        : date(styledFont(base, TextStyle::subheadline))
        , badge(styledFont(base, TextStyle::caption2))
        , caption(styledFont(base, TextStyle::caption2))
        , id(styledFont(base, TextStyle::caption2, true))
    {
        date.setWeight(QFont::Medium);
        badge.setWeight(QFont::Medium);
    }
};

// Where each part of a row goes.
struct RowGeometry
{
    QRect date;
    QRect badge;
    QRect details;
    int firstLineHeight = 0;
    int secondLineHeight = 0;

    RowGeometry(const RowFonts &fonts, const QRect &rect, const QString &badgeText)
    {
        const QFontMetrics badgeMetrics(fonts.badge);
        const QSize badgeSize(
            badgeMetrics.horizontalAdvance(badgeText) + 2 * kBadgePadX, badgeMetrics.height() + 2 * kBadgePadY);
        firstLineHeight = std::max(QFontMetrics(fonts.date).height(), badgeSize.height());
        secondLineHeight = std::max(QFontMetrics(fonts.caption).height(), QFontMetrics(fonts.id).height());
        const QRect inner = rect.adjusted(kSideInset, kOuterInset, -kSideInset, -kOuterInset);
        const QRect first(inner.left(), inner.top(), inner.width(), firstLineHeight);
        badge = QRect(
            QPoint(first.right() - badgeSize.width() + 1, first.center().y() - badgeSize.height() / 2 + 1), badgeSize);
        date = QRect(first.left(), first.top(), std::max(0, badge.left() - kGap - first.left()), firstLineHeight);
        details = QRect(inner.left(), first.bottom() + 1 + kLineSpacing, inner.width(), secondLineHeight);
    }
};

QPalette::ColorGroup colorGroup(const QStyleOptionViewItem &option)
{
    if (!(option.state & QStyle::State_Enabled))
        return QPalette::Disabled;
    return option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
}

void paintBadge(
    QPainter *painter, const QRect &rect, const QString &text, Tint tint, const QPalette &palette, const QFont &font)
{
    const BadgeColors colors = badgeColors(tint, palette);
    painter->setPen(Qt::NoPen);
    painter->setBrush(colors.fill);
    painter->drawRoundedRect(QRectF(rect), 4, 4);
    painter->setPen(colors.ink);
    painter->setFont(font);
    painter->drawText(rect, Qt::AlignCenter, text);
}

// "3 ファイル • 1.2 KB • +1 ~0 −0" on the left, the note (or, without one, the id) on the right in what
// is left over; the id stays in the detail header and the tooltip.
void paintDetails(QPainter *painter, const RowFonts &fonts, const QRect &rect, const QModelIndex &index)
{
    QString details = index.data(SnapshotListModel::FilesRole).toString() + QStringLiteral(" • ")
        + index.data(SnapshotListModel::SizeRole).toString();
    const QString summary = index.data(SnapshotListModel::SummaryRole).toString();
    if (!summary.isEmpty())
        details += QStringLiteral(" • ") + summary;
    const QFontMetrics captionMetrics(fonts.caption);
    // Measured as the painter lays it out (fractional advances add up), or elidedText would cut it short.
    const int detailsWidth
        = std::min(int(std::ceil(QFontMetricsF(fonts.caption).horizontalAdvance(details))) + 1, rect.width());
    painter->setFont(fonts.caption);
    painter->drawText(QRect(rect.left(), rect.top(), detailsWidth, rect.height()),
        Qt::AlignLeft | Qt::AlignVCenter | Qt::TextDontClip,
        captionMetrics.elidedText(details, Qt::ElideRight, detailsWidth));
    const int idRoom = rect.width() - detailsWidth - kGap;
    if (idRoom <= 0)
        return;
    const QString note = index.data(SnapshotListModel::NoteRole).toString();
    const QFont &font = note.isEmpty() ? fonts.id : fonts.caption;
    const QString text = note.isEmpty() ? index.data(SnapshotListModel::IdRole).toString() : note;
    painter->setFont(font);
    painter->drawText(QRect(rect.right() + 1 - idRoom, rect.top(), idRoom, rect.height()),
        Qt::AlignRight | Qt::AlignVCenter | Qt::TextDontClip, // the underscore hangs below a small line
        QFontMetrics(font).elidedText(text, Qt::ElideRight, idRoom));
}

} // namespace

void SnapshotRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    opt.text.clear(); // the style paints the background, selection and focus; the rest is ours
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    const RowFonts fonts(opt.font);
    const QString badgeText = index.data(SnapshotListModel::TriggerRole).toString();
    const RowGeometry geometry(fonts, opt.rect, badgeText);
    const QPalette::ColorGroup group = colorGroup(opt);
    const bool selected = opt.state & QStyle::State_Selected;
    const QColor primary = opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor secondary = opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::PlaceholderText);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(primary);
    painter->setFont(fonts.date);
    painter->drawText(geometry.date, Qt::AlignLeft | Qt::AlignVCenter,
        QFontMetrics(fonts.date).elidedText(index.data().toString(), Qt::ElideRight, geometry.date.width()));
    paintBadge(painter, geometry.badge, badgeText, Tint(index.data(SnapshotListModel::TintRole).toInt()), opt.palette,
        fonts.badge);
    painter->setPen(secondary);
    paintDetails(painter, fonts, geometry.details, index);
    painter->restore();
}

QSize SnapshotRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const RowGeometry geometry(
        RowFonts(option.font), QRect(0, 0, 400, 100), index.data(SnapshotListModel::TriggerRole).toString());
    // As wide as the pane, never wider.
    return {0, 2 * kOuterInset + kLineSpacing + geometry.firstLineHeight + geometry.secondLineHeight};
}

QRect SnapshotRowDelegate::badgeRect(const QStyleOptionViewItem &option, const QModelIndex &index)
{
    return RowGeometry(RowFonts(option.font), option.rect, index.data(SnapshotListModel::TriggerRole).toString()).badge;
}

} // namespace velkaro
