#include "Views/Templates/TemplateRowDelegate.h"

#include "Views/Common/Palette.h"

#include <QApplication>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>

namespace velkaro {

void TemplateRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    const bool selected = option.state & QStyle::State_Selected;
    const QRect area = option.rect.adjusted(kPadding, kPadding, -kPadding, -kPadding);
    painter->save();
    const QRect titleRect = paintTitle(painter, option, index, area, selected);

    painter->setFont(option.font);
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText));
    const int line = lineHeight(option.font);
    const QStringList lines = twoLines(index.data(kDescriptionRole).toString(), option.font, area.width());
    for (qsizetype i = 0; i < lines.size(); ++i)
        painter->drawText(QRect(area.left(), titleRect.bottom() + 3 + int(i) * line, area.width(), line),
            Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
    painter->restore();
}

QRect TemplateRowDelegate::paintTitle(
    QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index, const QRect &area, bool selected)
{
    QFont titleFont = option.font;
    titleFont.setBold(true);
    const QFontMetrics titleMetrics(titleFont);
    const bool preset = index.data(kPresetRole).toBool();
    const QString badge = QStringLiteral("プリセット");
    QFont badgeFont = option.font;
    badgeFont.setPointSizeF(option.font.pointSizeF() * 0.8);
    const QFontMetrics badgeMetrics(badgeFont);
    const int badgeWidth = preset ? badgeMetrics.horizontalAdvance(badge) + 12 : 0;
    const QString title = titleMetrics.elidedText(
        index.data(kTitleRole).toString(), Qt::ElideRight, area.width() - (preset ? badgeWidth + 6 : 0));
    painter->setFont(titleFont);
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    const QRect titleRect(area.left(), area.top(), area.width(), titleMetrics.height());
    painter->drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter, title);
    if (!preset)
        return titleRect;

    const QRect pill(area.left() + titleMetrics.horizontalAdvance(title) + 6,
        titleRect.center().y() - badgeMetrics.height() / 2 - 1, badgeWidth, badgeMetrics.height() + 2);
    // Opaque, so it reads the same on a selected row.
    const BadgeColors colors = badgeColors(Tint::blue, option.palette);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(colors.fill);
    painter->drawRoundedRect(pill, pill.height() / 2.0, pill.height() / 2.0);
    painter->setFont(badgeFont);
    painter->setPen(colors.ink);
    painter->drawText(pill, Qt::AlignCenter, badge);
    return titleRect;
}

QSize TemplateRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    QFont titleFont = option.font;
    titleFont.setBold(true);
    return {0, 2 * kPadding + QFontMetrics(titleFont).height() + 3 + 2 * lineHeight(option.font)};
}

int TemplateRowDelegate::lineHeight(const QFont &font)
{
    const QFontMetrics metrics(font);
    return std::max(metrics.lineSpacing(), metrics.boundingRect(QStringLiteral("汎用あg")).height() + 2);
}

QStringList TemplateRowDelegate::twoLines(const QString &text, const QFont &font, int width)
{
    const QFontMetrics metrics(font);
    QTextLayout layout(text, font);
    layout.beginLayout();
    QTextLine first = layout.createLine();
    if (!first.isValid()) {
        layout.endLayout();
        return {text};
    }
    first.setLineWidth(width);
    const int rest = first.textStart() + first.textLength();
    layout.endLayout();
    if (rest >= text.size())
        return {text};
    return {text.left(rest).trimmed(), metrics.elidedText(text.mid(rest), Qt::ElideRight, width)};
}

} // namespace velkaro
