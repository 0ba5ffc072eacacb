#include "Views/Common/ViewStyle.h"

#include <QLabel>

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>

namespace velkaro {

QColor tintColor(Tint tint, const QPalette &palette)
{
    const bool dark = palette.color(QPalette::Window).lightness() < 128;
    switch (tint) {
    case Tint::blue:
        return dark ? QColor(0x40, 0x9c, 0xff) : QColor(0x00, 0x6a, 0xe0);
    case Tint::green:
        return dark ? QColor(0x32, 0xd7, 0x4b) : QColor(0x1e, 0x9e, 0x3c);
    case Tint::orange:
        return dark ? QColor(0xff, 0x9f, 0x0a) : QColor(0xe0, 0x72, 0x00);
    case Tint::purple:
        return dark ? QColor(0xbf, 0x5a, 0xf2) : QColor(0x8e, 0x44, 0xad);
    case Tint::red:
        return dark ? QColor(0xff, 0x45, 0x3a) : QColor(0xd7, 0x00, 0x15);
    case Tint::secondary:
        return palette.color(QPalette::PlaceholderText);
    case Tint::accent:
        return palette.color(QPalette::Highlight);
    }
    return palette.color(QPalette::WindowText);
}

QFont styledFont(const QFont &base, TextStyle style, bool monospace)
{
    QFont font = monospace ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : base;
    // Sizes keep the order of the usual type scale but stay readable at a 9 or 10 point desktop font.
    qreal factor = 1.0;
    int weight = QFont::Normal;
    switch (style) {
    case TextStyle::title2:
        factor = 1.45;
        weight = QFont::Bold;
        break;
    case TextStyle::title3:
        factor = 1.25;
        weight = QFont::Bold;
        break;
    case TextStyle::headline:
        weight = QFont::DemiBold;
        break;
    case TextStyle::body:
        break;
    case TextStyle::subheadline:
        factor = 0.95;
        break;
    case TextStyle::caption:
        factor = 0.9;
        break;
    case TextStyle::caption2:
        factor = 0.85;
        break;
    }
    if (base.pointSizeF() > 0)
        font.setPointSizeF(base.pointSizeF() * factor);
    else
        font.setPixelSize(qMax(8, int(base.pixelSize() * factor)));
    font.setWeight(QFont::Weight(weight));
    return font;
}

void applyTextStyle(QWidget *widget, TextStyle style, int weight, bool monospace)
{
    QFont font = styledFont(QApplication::font(widget), style, monospace);
    if (weight >= 0)
        font.setWeight(QFont::Weight(weight));
    widget->setFont(font);
}

void makeSecondary(QWidget *widget) { widget->setForegroundRole(QPalette::PlaceholderText); }

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

TintedIconLabel::TintedIconLabel(const QIcon &icon, int size, Tint tint, QWidget *parent)
    : QLabel(parent)
    , m_icon(icon)
    , m_size(size)
    , m_tint(tint)
{
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

void TintedIconLabel::render() { setPixmap(tintedPixmap(m_icon, m_size, tintColor(m_tint, palette()), devicePixelRatioF())); }

Card::Card(int radius, QWidget *parent, qreal opacity)
    : QFrame(parent)
    , m_radius(radius)
    , m_opacity(opacity)
{
}

void Card::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = palette().color(QPalette::Base);
    fill.setAlphaF(float(m_opacity));
    QColor edge = palette().color(QPalette::Mid);
    edge.setAlphaF(0.35f * float(m_opacity));
    painter.setPen(QPen(edge, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), m_radius, m_radius);
}

ActivatableCard::ActivatableCard(int radius, QWidget *parent, qreal opacity)
    : Card(radius, parent, opacity)
    , m_ringRadius(radius)
{
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
}

void ActivatableCard::paintEvent(QPaintEvent *event)
{
    Card::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), m_ringRadius, m_ringRadius);
}

void ActivatableCard::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (!event->isAutoRepeat())
            emit activated();
        return;
    default:
        Card::keyPressEvent(event);
    }
}

void ActivatableCard::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton;
    if (!m_pressed)
        Card::mousePressEvent(event);
}

void ActivatableCard::mouseReleaseEvent(QMouseEvent *event)
{
    // Only a press and release inside the card count, as for a button.
    const bool click = m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_pressed = false;
    if (click)
        emit activated();
}

void ActivatableCard::focusInEvent(QFocusEvent *event)
{
    Card::focusInEvent(event);
    update();
}

void ActivatableCard::focusOutEvent(QFocusEvent *event)
{
    Card::focusOutEvent(event);
    update();
}

Badge::Badge(const QString &text, Tint tint, QWidget *parent)
    : QLabel(text, parent)
    , m_tint(tint)
{
    applyTextStyle(this, TextStyle::caption2, QFont::Medium);
    setContentsMargins(6, 2, 6, 2);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

// Painted whole, so the text colour follows the palette without a palette of its own.
void Badge::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink = color();
    QColor fill = ink;
    fill.setAlphaF(0.15f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()), 4, 4);
    painter.setPen(ink);
    painter.setFont(font());
    painter.drawText(contentsRect(), Qt::AlignCenter, text());
}

StatusDot::StatusDot(int diameter, QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(diameter, diameter);
}

void StatusDot::setTint(Tint tint)
{
    if (m_tint == tint)
        return;
    m_tint = tint;
    update();
}

void StatusDot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color());
    painter.drawEllipse(QRectF(rect()));
}

ElidedLabel::ElidedLabel(QWidget *parent, Qt::TextElideMode mode)
    : QLabel(parent)
    , m_mode(mode)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString &text)
{
    m_fullText = text;
    setToolTip(text);
    setAccessibleName(text);
    elide();
}

QSize ElidedLabel::minimumSizeHint() const { return {fontMetrics().averageCharWidth() * 4, QLabel::minimumSizeHint().height()}; }

QSize ElidedLabel::sizeHint() const { return {fontMetrics().horizontalAdvance(m_fullText), QLabel::sizeHint().height()}; }

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide()
{
    const int room = contentsRect().width();
    setText(room > 0 ? fontMetrics().elidedText(m_fullText, m_mode, room) : m_fullText);
    setAccessibleDescription(isElided() ? m_fullText : QString());
}

ButtonSpinner::ButtonSpinner(QAbstractButton *button, QIcon idleIcon, qreal scale)
    : QObject(button)
    , m_button(button)
    , m_idleIcon(std::move(idleIcon))
    , m_scale(scale)
{
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, &ButtonSpinner::drawFrame);
    m_button->setIcon(m_idleIcon);
}

void ButtonSpinner::setSpinning(bool spinning)
{
    if (spinning == isSpinning())
        return;
    if (spinning) {
        m_angle = 0;
        m_timer.start();
        drawFrame();
    } else {
        m_timer.stop();
        m_button->setIcon(m_idleIcon);
    }
}

void ButtonSpinner::drawFrame()
{
    const QSize box = m_button->iconSize();
    const qreal dpr = m_button->devicePixelRatioF();
    QPixmap frame(box * dpr);
    frame.setDevicePixelRatio(dpr);
    frame.fill(Qt::transparent);
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin(box.width(), box.height()) * m_scale;
    const qreal pen = qMax<qreal>(1.5, side / 7);
    const QRectF arc((box.width() - side) / 2 + pen / 2, (box.height() - side) / 2 + pen / 2, side - pen, side - pen);
    painter.setPen(QPen(m_button->palette().color(QPalette::Active, QPalette::ButtonText), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(arc, -m_angle * 16, 270 * 16);
    painter.end();
    m_button->setIcon(QIcon(frame));
    m_angle = (m_angle + 30) % 360;
}

void makeProminent(QAbstractButton *button, Tint tint)
{
    QPalette palette = button->palette();
    const QColor fill = tintColor(tint, palette);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Button, fill);
        palette.setColor(group, QPalette::ButtonText, Qt::white);
    }
    button->setPalette(palette);
}

QLabel *styledLabel(const QString &text, TextStyle style, QWidget *parent, bool secondary, int weight)
{
    auto *label = new QLabel(text, parent);
    applyTextStyle(label, style, weight);
    if (secondary)
        makeSecondary(label);
    return label;
}

} // namespace velkaro
