#include "Views/Widgets/StatusDot.h"

#include <QPainter>

namespace velkaro {

StatusDot::StatusDot(int diameter, QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(diameter, diameter);
}

void StatusDot::setTint(Tint tint)
{
    if (m_tint == tint)
        return;
    m_tint = tint;
    update();
}

void StatusDot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color());
    painter.drawEllipse(QRectF(rect()));
}

} // namespace velkaro
