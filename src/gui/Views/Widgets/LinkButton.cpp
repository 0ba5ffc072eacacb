#include "Views/Widgets/LinkButton.h"

namespace velkaro {

LinkButton::LinkButton(const QString &text, QWidget *parent)
    : FlatButton(text, parent)
{
    setCursor(Qt::PointingHandCursor);
    QPalette link = palette();
    link.setColor(QPalette::ButtonText, link.color(QPalette::Link));
    setPalette(link);
}

} // namespace velkaro
