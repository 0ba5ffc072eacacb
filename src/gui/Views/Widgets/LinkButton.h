#pragma once

#include "Views/Widgets/FlatButton.h"

namespace velkaro {

// A flat button in the link colour ("すべて見る").
class LinkButton : public FlatButton
{
    Q_OBJECT

public:
    explicit LinkButton(const QString &text, QWidget *parent = nullptr);
};

} // namespace velkaro
