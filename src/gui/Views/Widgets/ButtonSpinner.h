#pragma once

#include <QIcon>
#include <QObject>
#include <QTimer>

class QAbstractButton;

namespace velkaro {

// Turns a button's icon into a turning arc while busy, and back into its own icon afterwards.
class ButtonSpinner : public QObject
{
    Q_OBJECT

public:
    // `scale` sizes the arc relative to the button's icon size.
    ButtonSpinner(QAbstractButton *button, QIcon idleIcon, qreal scale);
    void setSpinning(bool spinning);
    bool isSpinning() const { return m_timer.isActive(); }

private:
    void drawFrame();

    QAbstractButton *m_button;
    QIcon m_idleIcon;
    qreal m_scale;
    QTimer m_timer;
    int m_angle = 0;
};

} // namespace velkaro
