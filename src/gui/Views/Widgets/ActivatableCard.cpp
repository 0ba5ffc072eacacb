#include "Views/Widgets/ActivatableCard.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace velkaro {

ActivatableCard::ActivatableCard(int radius, QWidget *parent, qreal opacity)
    : Card(radius, parent, opacity)
    , m_ringRadius(radius)
{
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
}

void ActivatableCard::paintEvent(QPaintEvent *event)
{
    Card::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), m_ringRadius, m_ringRadius);
}

void ActivatableCard::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (!event->isAutoRepeat())
            emit activated();
        return;
    default:
        Card::keyPressEvent(event);
    }
}

void ActivatableCard::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton;
    if (!m_pressed)
        Card::mousePressEvent(event);
}

void ActivatableCard::mouseReleaseEvent(QMouseEvent *event)
{
    // Only a press and release inside the card count, as for a button.
    const bool click = m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_pressed = false;
    if (click)
        emit activated();
}

void ActivatableCard::focusInEvent(QFocusEvent *event)
{
    Card::focusInEvent(event);
    update();
}

void ActivatableCard::focusOutEvent(QFocusEvent *event)
{
    Card::focusOutEvent(event);
    update();
}

} // namespace velkaro
