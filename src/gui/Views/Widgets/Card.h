#pragma once

#include <QFrame>

namespace velkaro {

// A rounded panel filled with a palette role, optionally translucent.
class Card : public QFrame
{
    Q_OBJECT

public:
    explicit Card(int radius, QWidget *parent = nullptr, qreal opacity = 1.0);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_radius;
    qreal m_opacity;
};

} // namespace velkaro
