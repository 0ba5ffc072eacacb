#pragma once

#include "Views/Widgets/Card.h"

namespace velkaro {

// A card that acts as one button: a click, Return, Enter or Space activates it; it takes the keyboard
// focus and shows it with a ring in the highlight colour.
class ActivatableCard : public Card
{
    Q_OBJECT

public:
    explicit ActivatableCard(int radius, QWidget *parent = nullptr, qreal opacity = 1.0);
    void activate() { emit activated(); }

signals:
    void activated();

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    int m_ringRadius;
    bool m_pressed = false;
};

} // namespace velkaro
