#include "Views/Common/Icons.h"

#include <QApplication>
#include <QPainter>

namespace velkaro {

QIcon themedIcon(std::initializer_list<const char *> names, QStyle::StandardPixmap fallback)
{
    for (const char *name : names) {
        QIcon icon = QIcon::fromTheme(QString::fromLatin1(name));
        if (!icon.isNull() && !icon.availableSizes().isEmpty())
            return icon;
        if (!icon.isNull() && !icon.pixmap(16).isNull())
            return icon;
    }
    return QApplication::style()->standardIcon(fallback);
}

QPixmap tintedPixmap(const QIcon &icon, int size, const QColor &color, qreal devicePixelRatio)
{
    QPixmap shape = icon.pixmap(QSize(size, size), devicePixelRatio);
    if (shape.isNull())
        return shape;
    QPixmap result(shape.size());
    result.setDevicePixelRatio(shape.devicePixelRatio());
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.drawPixmap(0, 0, shape);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(QRect(QPoint(0, 0), shape.size()), color);
    return result;
}

} // namespace velkaro
