#pragma once

#include "Views/Common/Palette.h"

#include <QPushButton>

namespace velkaro {

// A push button in the prominent form: painted whole with the tint, so the colour that meets the
// text is the one chosen here and not a style's lightened shade of it.
class ProminentButton : public QPushButton
{
    Q_OBJECT

public:
    ProminentButton(const QString &text, Tint tint, QWidget *parent = nullptr);
    Tint tint() const { return m_tint; }

protected:
    void changeEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void applyColors();

    Tint m_tint;
    bool m_applying = false;
};

} // namespace velkaro
