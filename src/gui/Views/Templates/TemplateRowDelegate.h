#pragma once

#include <QStyledItemDelegate>

namespace velkaro {

// A template row of the library list: the title in bold with a "プリセット" capsule after it, below it
// the description in the secondary text colour, wrapped to at most two lines and elided.
class TemplateRowDelegate : public QStyledItemDelegate
{
public:
    // Roles of a row beside its accessible text (Qt::DisplayRole) and its id (Qt::UserRole).
    static constexpr int kTitleRole = Qt::UserRole + 1;
    static constexpr int kDescriptionRole = Qt::UserRole + 2;
    static constexpr int kPresetRole = Qt::UserRole + 3;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    // Draws the title and, for a preset, its badge; returns the title's rectangle.
    static QRect paintTitle(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index,
        const QRect &area, bool selected);
    // Japanese text comes from a fallback font, often taller than the primary one's line.
    static int lineHeight(const QFont &font);
    // The text broken where it would wrap, the second line elided: never more than two lines.
    static QStringList twoLines(const QString &text, const QFont &font, int width);

    static constexpr int kPadding = 6;
};

} // namespace velkaro
