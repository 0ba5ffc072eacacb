#include "Views/Widgets/ProminentButton.h"

#include <QEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace velkaro {

ProminentButton::ProminentButton(const QString &text, Tint tint, QWidget *parent)
    : QPushButton(text, parent)
    , m_tint(tint)
{
    applyColors();
}

// Button and ButtonText carry the pair, so the label, a spinner drawn in ButtonText and the tests all
// read it from the palette; recomputed when the palette around it changes (light to dark).
void ProminentButton::applyColors()
{
    const ProminentColors colors = prominentColors(m_tint, palette());
    QPalette pal = palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        pal.setColor(group, QPalette::Button, colors.fill);
        pal.setColor(group, QPalette::ButtonText, colors.text);
    }
    QColor faded = colors.fill;
    faded.setAlphaF(0.45f);
    pal.setColor(QPalette::Disabled, QPalette::Button, faded);
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(255, 255, 255, 190));
    m_applying = true;
    setPalette(pal);
    m_applying = false;
}

void ProminentButton::changeEvent(QEvent *event)
{
    QPushButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && !m_applying)
        applyColors();
}

void ProminentButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    QColor fill = palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Button);
    // Hover and press only darken, so the text keeps its contrast.
    if (isDown())
        fill = fill.darker(118);
    else if (underMouse() && isEnabled())
        fill = fill.darker(108);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
    painter.drawRoundedRect(box, 6, 6);
    if (hasFocus()) {
        // A ring inside the edge, in the text colour, shows on any tint.
        painter.setPen(QPen(palette().color(QPalette::Active, QPalette::ButtonText), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(box.adjusted(2.5, 2.5, -2.5, -2.5), 4, 4);
    }
    option.palette = palette();
    painter.drawControl(QStyle::CE_PushButtonLabel, option);
}

} // namespace velkaro
