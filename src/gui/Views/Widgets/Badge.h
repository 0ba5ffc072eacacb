#pragma once

#include "Views/Common/Palette.h"

#include <QLabel>

namespace velkaro {

// A short label on a faint rounded tint of its own colour.
class Badge : public QLabel
{
    Q_OBJECT

public:
    Badge(const QString &text, Tint tint, QWidget *parent = nullptr);
    Tint tint() const { return m_tint; }
    QColor color() const { return badgeColors(m_tint, palette()).ink; }
    QColor fillColor() const { return badgeColors(m_tint, palette()).fill; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Tint m_tint;
};

} // namespace velkaro
