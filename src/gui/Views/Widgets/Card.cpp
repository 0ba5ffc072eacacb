#include "Views/Widgets/Card.h"

#include <QPainter>

namespace velkaro {

Card::Card(int radius, QWidget *parent, qreal opacity)
    : QFrame(parent)
    , m_radius(radius)
    , m_opacity(opacity)
{ }

void Card::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = palette().color(QPalette::Base);
    fill.setAlphaF(float(m_opacity));
    QColor edge = palette().color(QPalette::Mid);
    edge.setAlphaF(0.35f * float(m_opacity));
    painter.setPen(QPen(edge, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), m_radius, m_radius);
}

} // namespace velkaro
