#include "Views/Widgets/ButtonSpinner.h"

#include <QAbstractButton>
#include <QPainter>

namespace velkaro {

ButtonSpinner::ButtonSpinner(QAbstractButton *button, QIcon idleIcon, qreal scale)
    : QObject(button)
    , m_button(button)
    , m_idleIcon(std::move(idleIcon))
    , m_scale(scale)
{
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, &ButtonSpinner::drawFrame);
    m_button->setIcon(m_idleIcon);
}

void ButtonSpinner::setSpinning(bool spinning)
{
    if (spinning == isSpinning())
        return;
    if (spinning) {
        m_angle = 0;
        m_timer.start();
        drawFrame();
    } else {
        m_timer.stop();
        m_button->setIcon(m_idleIcon);
    }
}

void ButtonSpinner::drawFrame()
{
    const QSize box = m_button->iconSize();
    const qreal dpr = m_button->devicePixelRatioF();
    QPixmap frame(box * dpr);
    frame.setDevicePixelRatio(dpr);
    frame.fill(Qt::transparent);
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin(box.width(), box.height()) * m_scale;
    const qreal pen = qMax<qreal>(1.5, side / 7);
    const QRectF arc((box.width() - side) / 2 + pen / 2, (box.height() - side) / 2 + pen / 2, side - pen, side - pen);
    painter.setPen(
        QPen(m_button->palette().color(QPalette::Active, QPalette::ButtonText), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(arc, -m_angle * 16, 270 * 16);
    painter.end();
    m_button->setIcon(QIcon(frame));
    m_angle = (m_angle + 30) % 360;
}

} // namespace velkaro
