#pragma once

#include "Views/Common/Palette.h"

#include <QWidget>

namespace velkaro {

// A filled circle; the status banner's dot.
class StatusDot : public QWidget
{
    Q_OBJECT

public:
    explicit StatusDot(int diameter, QWidget *parent = nullptr);
    void setTint(Tint tint);
    Tint tint() const { return m_tint; }
    QColor color() const { return tintColor(m_tint, palette()); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Tint m_tint = Tint::green;
};

} // namespace velkaro
