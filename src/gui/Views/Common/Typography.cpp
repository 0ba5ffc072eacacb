#include "Views/Common/Typography.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>

namespace velkaro {

QFont styledFont(const QFont &base, TextStyle style, bool monospace)
{
    QFont font = monospace ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : base;
    // Sizes keep the order of the usual type scale but stay readable at a 9 or 10 point desktop font.
    qreal factor = 1.0;
    int weight = QFont::Normal;
    switch (style) {
    case TextStyle::title2:
        factor = 1.45;
        weight = QFont::Bold;
        break;
    case TextStyle::title3:
        factor = 1.25;
        weight = QFont::Bold;
        break;
    case TextStyle::headline:
        weight = QFont::DemiBold;
        break;
    case TextStyle::body:
        break;
    case TextStyle::subheadline:
        factor = 0.95;
        break;
    case TextStyle::caption:
        factor = 0.9;
        break;
    case TextStyle::caption2:
        factor = 0.85;
        break;
    }
    if (base.pointSizeF() > 0)
        font.setPointSizeF(base.pointSizeF() * factor);
    else
        font.setPixelSize(qMax(8, int(base.pixelSize() * factor)));
    font.setWeight(QFont::Weight(weight));
    return font;
}

void applyTextStyle(QWidget *widget, TextStyle style, int weight, bool monospace)
{
    QFont font = styledFont(QApplication::font(widget), style, monospace);
    if (weight >= 0)
        font.setWeight(QFont::Weight(weight));
    widget->setFont(font);
}

void makeSecondary(QWidget *widget)
{
    widget->setForegroundRole(QPalette::PlaceholderText);
}

QLabel *styledLabel(const QString &text, TextStyle style, QWidget *parent, bool secondary, int weight)
{
    auto *label = new QLabel(text, parent);
    applyTextStyle(label, style, weight);
    if (secondary)
        makeSecondary(label);
    return label;
}

QLabel *secondaryLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    makeSecondary(label);
    label->setWordWrap(true);
    return label;
}

} // namespace velkaro
