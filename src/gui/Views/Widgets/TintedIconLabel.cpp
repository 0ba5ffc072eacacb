#include "Views/Widgets/TintedIconLabel.h"

#include "Views/Common/Accessibility.h"
#include "Views/Common/Icons.h"

#include <QEvent>
#include <utility>

namespace velkaro {

TintedIconLabel::TintedIconLabel(QIcon icon, int size, Tint tint, QWidget *parent)
    : QLabel(parent)
    , m_icon(std::move(icon))
    , m_size(size)
    , m_tint(tint)
{
    // Every icon of this kind stands beside a text that says the same.
    markDecorative(this);
    setFixedSize(size, size);
    render();
}

void TintedIconLabel::setTint(Tint tint)
{
    m_tint = tint;
    render();
}

void TintedIconLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        render();
}

void TintedIconLabel::render()
{
    setPixmap(tintedPixmap(m_icon, m_size, tintColor(m_tint, palette()), devicePixelRatioF()));
}

} // namespace velkaro
