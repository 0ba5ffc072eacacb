#pragma once

#include <QIcon>
#include <QStyle>

#include <initializer_list>

namespace velkaro {

// The first of `names` that the desktop's icon theme has, else the style's standard icon.
QIcon themedIcon(std::initializer_list<const char *> names, QStyle::StandardPixmap fallback);
// The icon's shape filled with one colour, like a symbol in a text colour.
QPixmap tintedPixmap(const QIcon &icon, int size, const QColor &color, qreal devicePixelRatio);

} // namespace velkaro
