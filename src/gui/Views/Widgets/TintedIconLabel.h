#pragma once

#include "Views/Common/Palette.h"

#include <QIcon>
#include <QLabel>

namespace velkaro {

// A label showing a tinted icon; re-tints itself when the palette changes.
class TintedIconLabel : public QLabel
{
    Q_OBJECT

public:
    TintedIconLabel(QIcon icon, int size, Tint tint, QWidget *parent = nullptr);
    void setTint(Tint tint);
    Tint tint() const { return m_tint; }

protected:
    void changeEvent(QEvent *event) override;

private:
    void render();

    QIcon m_icon;
    int m_size;
    Tint m_tint;
};

} // namespace velkaro
