#include "Views/Common/ViewStyle.h"

#include "Views/Common/Accessibility.h"

#include <QLabel>

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTextLayout>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

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

void makeSecondary(QWidget *widget)
{
    widget->setForegroundRole(QPalette::PlaceholderText);
}

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

Card::Card(int radius, QWidget *parent, qreal opacity)
    : QFrame(parent)
    , m_radius(radius)
    , m_opacity(opacity)
{ }

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

FlatButton::FlatButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{
    setFlat(true);
}

LinkButton::LinkButton(const QString &text, QWidget *parent)
    : FlatButton(text, parent)
{
    setCursor(Qt::PointingHandCursor);
    QPalette link = palette();
    link.setColor(QPalette::ButtonText, link.color(QPalette::Link));
    setPalette(link);
}

void FlatButton::paintEvent(QPaintEvent *event)
{
    QPushButton::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
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
    const BadgeColors colors = badgeColors(m_tint, palette());
    const QColor &ink = colors.ink;
    const QColor &fill = colors.fill;
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

ElidedLabel::ElidedLabel(QWidget *parent, Qt::TextElideMode mode, int maxLines)
    : QLabel(parent)
    , m_mode(mode)
    , m_maxLines(std::max(1, maxLines))
{
    setSizePolicy(QSizePolicy::Ignored, m_maxLines > 1 ? QSizePolicy::Fixed : QSizePolicy::Preferred);
    if (m_maxLines > 1)
        setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void ElidedLabel::setFullText(const QString &text)
{
    m_fullText = text;
    setToolTip(text);
    setAccessibleName(text);
    elide();
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {fontMetrics().averageCharWidth() * 4, sizeHint().height()};
}

QSize ElidedLabel::sizeHint() const
{
    const QMargins margins = contentsMargins();
    // Measured as drawn: Japanese text comes from a fallback font whose lines may be taller.
    const int height = m_maxLines > 1
        ? fontMetrics().boundingRect(QRect(0, 0, 100000, 100000), Qt::AlignLeft | Qt::AlignTop, text()).height()
            + margins.top() + margins.bottom()
        : QLabel::sizeHint().height();
    return {fontMetrics().horizontalAdvance(m_fullText), height};
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    elide();
}

// The lines `m_fullText` takes in `room`; the last allowed one is cut at its end when more would follow.
QString ElidedLabel::wrapped(int room, bool &cut) const
{
    QTextLayout layout(m_fullText, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(room);
        if (int(lines.size()) == m_maxLines - 1) {
            const QString rest = m_fullText.mid(line.textStart());
            const QString last = fontMetrics().elidedText(rest, Qt::ElideRight, room);
            cut = last != rest;
            lines << last;
            break;
        }
        lines << m_fullText.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines.join(QLatin1Char('\n'));
}

void ElidedLabel::elide()
{
    const int room = contentsRect().width();
    const int linesBefore = lineCount();
    bool cut = false;
    if (room <= 0)
        setText(m_fullText);
    else if (m_maxLines > 1)
        setText(wrapped(room, cut));
    else
        setText(fontMetrics().elidedText(m_fullText, m_mode, room));
    m_elided = room > 0 && (m_maxLines > 1 ? cut : text() != m_fullText);
    setAccessibleDescription(m_elided ? m_fullText : QString());
    if (lineCount() != linesBefore)
        updateGeometry();
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
    painter.setPen(
        QPen(m_button->palette().color(QPalette::Active, QPalette::ButtonText), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(arc, -m_angle * 16, 270 * 16);
    painter.end();
    m_button->setIcon(QIcon(frame));
    m_angle = (m_angle + 30) % 360;
}

namespace {

double luminance(const QColor &color)
{
    auto channel = [](float c) { return c <= 0.03928f ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    const QColor rgb = color.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) + 0.0722 * channel(rgb.blueF());
}

} // namespace

double contrastRatio(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableOn(const QColor &ink, const QColor &background, double ratio)
{
    const bool darken = luminance(background) > 0.18; // towards whichever end has room
    QColor color = ink.toHsl();
    for (int step = 0; step < 100 && contrastRatio(color, background) < ratio; ++step) {
        const int lightness = color.lightness();
        if ((darken && lightness == 0) || (!darken && lightness == 255))
            break;
        color.setHsl(color.hslHue(), color.hslSaturation(), std::clamp(lightness + (darken ? -4 : 4), 0, 255));
    }
    return color.toRgb();
}

ProminentColors prominentColors(Tint tint, const QPalette &palette)
{
    const QColor text = Qt::white;
    // The tint is the background here: darken it until white text reads on it.
    QColor fill = tintColor(tint, palette).toHsl();
    for (int step = 0; step < 100 && contrastRatio(text, fill) < kReadableContrast; ++step)
        fill.setHsl(fill.hslHue(), fill.hslSaturation(), std::max(0, fill.lightness() - 3));
    return {fill.toRgb(), text};
}

ProminentButton::ProminentButton(const QString &text, Tint tint, QWidget *parent)
    : QPushButton(text, parent)
    , m_tint(tint)
{
    applyColors();
}

// Button and ButtonText carry the pair, so the label, a spinner drawn in ButtonText and the tests all
// read it from the palette; recomputed when the palette around it changes (light to dark).
void ProminentButton::applyColors()
{
    const ProminentColors colors = prominentColors(m_tint, palette());
    QPalette pal = palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        pal.setColor(group, QPalette::Button, colors.fill);
        pal.setColor(group, QPalette::ButtonText, colors.text);
    }
    QColor faded = colors.fill;
    faded.setAlphaF(0.45f);
    pal.setColor(QPalette::Disabled, QPalette::Button, faded);
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(255, 255, 255, 190));
    m_applying = true;
    setPalette(pal);
    m_applying = false;
}

void ProminentButton::changeEvent(QEvent *event)
{
    QPushButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && !m_applying)
        applyColors();
}

void ProminentButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    QColor fill = palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Button);
    // Hover and press only darken, so the text keeps its contrast.
    if (isDown())
        fill = fill.darker(118);
    else if (underMouse() && isEnabled())
        fill = fill.darker(108);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
    painter.drawRoundedRect(box, 6, 6);
    if (hasFocus()) {
        // A ring inside the edge, in the text colour, shows on any tint.
        painter.setPen(QPen(palette().color(QPalette::Active, QPalette::ButtonText), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(box.adjusted(2.5, 2.5, -2.5, -2.5), 4, 4);
    }
    option.palette = palette();
    painter.drawControl(QStyle::CE_PushButtonLabel, option);
}

BadgeColors badgeColors(Tint tint, const QPalette &palette)
{
    const QColor hue = tintColor(tint, palette);
    const QColor base = palette.color(QPalette::Base);
    const QColor fill = QColor::fromRgbF(base.redF() * 0.85f + hue.redF() * 0.15f,
        base.greenF() * 0.85f + hue.greenF() * 0.15f, base.blueF() * 0.85f + hue.blueF() * 0.15f);
    return {fill, readableOn(hue, fill)};
}

QLabel *styledLabel(const QString &text, TextStyle style, QWidget *parent, bool secondary, int weight)
{
    auto *label = new QLabel(text, parent);
    applyTextStyle(label, style, weight);
    if (secondary)
        makeSecondary(label);
    return label;
}

QLabel *secondaryLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    makeSecondary(label);
    label->setWordWrap(true);
    return label;
}

QWidget *labelledField(const QString &text, QWidget *control, QWidget *parent, int spacing)
{
    auto *box = new QWidget(parent);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    auto *label = new QLabel(text, box);
    makeSecondary(label);
    label->setBuddy(control);
    layout->addWidget(label);
    layout->addWidget(control);
    return box;
}

ScrollingPage scrollingPage(QWidget *view, int inset, int spacing)
{
    auto *outer = new QVBoxLayout(view);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(view);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    outer->addWidget(scroll);
    auto *content = new QWidget(scroll);
    content->setBackgroundRole(QPalette::Window);
    QVBoxLayout *page = insetLayout(content, inset, spacing);
    scroll->setWidget(content);
    return {scroll, content, page};
}

void scrollFocusIntoView(QWidget *root)
{
    QObject::connect(qApp, &QApplication::focusChanged, root, [root](QWidget *, QWidget *now) {
        if (!now || !root->isAncestorOf(now))
            return;
        // Each scroll area on the way out shows what holds the focus, the innermost first.
        QWidget *shown = now;
        for (QWidget *w = now->parentWidget(); w && w != root; w = w->parentWidget()) {
            if (auto *area = qobject_cast<QScrollArea *>(w);
                area && area->widget() && area->widget()->isAncestorOf(shown)) {
                area->ensureWidgetVisible(shown, 16, 16);
                shown = area;
            }
        }
    });
}

QVBoxLayout *insetLayout(QWidget *widget, int inset, int spacing)
{
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(inset, inset, inset, inset);
    layout->setSpacing(spacing);
    return layout;
}

TitledCard titledCard(const QString &title, QWidget *parent, int inset, int spacing)
{
    auto *card = new Card(10, parent);
    card->setAccessibleName(title);
    QVBoxLayout *layout = insetLayout(card, inset, spacing);
    layout->addWidget(styledLabel(title, TextStyle::headline, card));
    return {card, layout};
}

namespace {

// The wheel over an unfocused control goes to the scroll area around it, as if the control were not
// there; without one it goes on to the parent widgets.
class WheelToPage : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *control = static_cast<QWidget *>(watched);
        if (event->type() != QEvent::Wheel || control->hasFocus())
            return false;
        auto *wheel = static_cast<QWheelEvent *>(event);
        QWidget *area = control->parentWidget();
        while (area && !qobject_cast<QAbstractScrollArea *>(area))
            area = area->parentWidget();
        if (!area) {
            event->ignore();
            return true;
        }
        QWidget *viewport = static_cast<QAbstractScrollArea *>(area)->viewport();
        QWheelEvent forwarded(control->mapTo(viewport, wheel->position()), wheel->globalPosition(), wheel->pixelDelta(),
            wheel->angleDelta(), wheel->buttons(), wheel->modifiers(), wheel->phase(), wheel->inverted(),
            wheel->source(), wheel->pointingDevice());
        QCoreApplication::sendEvent(viewport, &forwarded);
        return true;
    }
};

} // namespace

void passWheelUnlessFocused(QWidget *page)
{
    auto *filter = new WheelToPage(page);
    QList<QWidget *> controls;
    for (QComboBox *box : page->findChildren<QComboBox *>())
        controls << box;
    for (QAbstractSpinBox *box : page->findChildren<QAbstractSpinBox *>())
        controls << box;
    for (QWidget *control : controls) {
        control->setFocusPolicy(Qt::StrongFocus);
        control->installEventFilter(filter);
    }
}

} // namespace velkaro
