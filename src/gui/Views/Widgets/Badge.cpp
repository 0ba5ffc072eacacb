#include "Views/Widgets/Badge.h"

#include "Views/Common/Typography.h"

#include <QPainter>

namespace velkaro {

Badge::Badge(const QString &text, Tint tint, QWidget *parent)
    : QLabel(text, parent)
    , m_tint(tint)
{
    applyTextStyle(this, TextStyle::caption2, QFont::Medium);
    setContentsMargins(6, 2, 6, 2);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

// Painted whole, so the text colour follows the palette without a palette of its own.
void Badge::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const BadgeColors colors = badgeColors(m_tint, palette());
    const QColor &ink = colors.ink;
    const QColor &fill = colors.fill;
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()), 4, 4);
    painter.setPen(ink);
    painter.setFont(font());
    painter.drawText(contentsRect(), Qt::AlignCenter, text());
}

} // namespace velkaro
