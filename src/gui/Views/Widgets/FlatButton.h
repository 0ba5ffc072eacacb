#pragma once

#include <QPushButton>

namespace velkaro {

// A flat button. The style draws no focus for a flat button; this one draws a ring while it has the
// keyboard focus.
class FlatButton : public QPushButton
{
    Q_OBJECT

public:
    explicit FlatButton(const QString &text, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace velkaro
