#pragma once

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QStyle>
#include <QTimer>

#include <initializer_list>
#include <string>
#include <string_view>

class QAbstractButton;
class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace velkaro {

// Small building blocks shared by the window's pages: text styles relative to the application font,
// the few accent colours of the interface, themed icons with a fallback, cards, badges and the busy
// spinner of a button.

inline QString qs(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

inline std::string ss(const QString &text)
{
    return text.toUtf8().toStdString();
}

// Named colours of the interface. `secondary` is the palette's dimmed text, `accent` its highlight;
// the others are fixed hues in a lighter shade on a dark window so they stay readable.
enum class Tint { blue, green, orange, purple, red, secondary, accent };
QColor tintColor(Tint tint, const QPalette &palette);

// Normal text needs 4.5:1; a little more leaves room for anti-aliased edges.
inline constexpr double kReadableContrast = 4.6;
// The contrast ratio of two colours as WCAG 2 defines it: 1 (the same) to 21 (black on white).
double contrastRatio(const QColor &a, const QColor &b);
// `ink`, darkened or lightened (away from `background`) until it reaches `ratio` against it.
QColor readableOn(const QColor &ink, const QColor &background, double ratio = kReadableContrast);

// A badge's pill is opaque, so a selected row's highlight never shows through and swallows its text.
struct BadgeColors
{
    QColor fill;
    QColor ink;
};
BadgeColors badgeColors(Tint tint, const QPalette &palette);

// Text styles, sized relative to the application font.
enum class TextStyle { title2, title3, headline, body, subheadline, caption, caption2 };
QFont styledFont(const QFont &base, TextStyle style, bool monospace = false);
// Sets the widget's font to the style; a weight other than -1 replaces the style's own.
void applyTextStyle(QWidget *widget, TextStyle style, int weight = -1, bool monospace = false);
// Dimmed text, as for captions and subtexts.
void makeSecondary(QWidget *widget);

// A label in `style`, in the secondary colour when asked.
QLabel *styledLabel(const QString &text, TextStyle style, QWidget *parent, bool secondary = false, int weight = -1);

// Word-wrapped text in the secondary colour at the body size: field labels and notes of a form.
QLabel *secondaryLabel(const QString &text, QWidget *parent);
// A secondary label over `control`, naming it (its buddy), in a box of its own.
QWidget *labelledField(const QString &text, QWidget *control, QWidget *parent, int spacing = 4);
// A page that scrolls vertically (its bar always shown) over the window background; `page` is the
// inset layout of its content. Tab goes to the controls inside, the area follows the focused one.
struct ScrollingPage
{
    QScrollArea *scroll;
    QWidget *content;
    QVBoxLayout *page;
};
ScrollingPage scrollingPage(QWidget *view, int inset, int spacing);
// Whatever below `root` takes the keyboard focus (Tab, a click, a field an alert points to) is scrolled
// into view in every scroll area around it.
void scrollFocusIntoView(QWidget *root);
// A layout for `widget`'s content, inset on all sides.
QVBoxLayout *insetLayout(QWidget *widget, int inset, int spacing);

// The first of `names` that the desktop's icon theme has, else the style's standard icon.
QIcon themedIcon(std::initializer_list<const char *> names, QStyle::StandardPixmap fallback);
// The icon's shape filled with one colour, like a symbol in a text colour.
QPixmap tintedPixmap(const QIcon &icon, int size, const QColor &color, qreal devicePixelRatio);

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

// A rounded panel filled with a palette role, optionally translucent.
class Card : public QFrame
{
    Q_OBJECT

public:
    explicit Card(int radius, QWidget *parent = nullptr, qreal opacity = 1.0);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_radius;
    qreal m_opacity;
};

// A card with its content layout, which starts with the title in the headline style; the title also
// names the card for a screen reader.
struct TitledCard
{
    Card *card;
    QVBoxLayout *layout;
};
TitledCard titledCard(const QString &title, QWidget *parent, int inset = 16, int spacing = 12);

// A card that acts as one button: a click, Return, Enter or Space activates it; it takes the keyboard
// focus and shows it with a ring in the highlight colour.
class ActivatableCard : public Card
{
    Q_OBJECT

public:
    explicit ActivatableCard(int radius, QWidget *parent = nullptr, qreal opacity = 1.0);
    void activate() { emit activated(); }

signals:
    void activated();

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    int m_ringRadius;
    bool m_pressed = false;
};

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

// A flat button in the link colour ("すべて見る").
class LinkButton : public FlatButton
{
    Q_OBJECT

public:
    explicit LinkButton(const QString &text, QWidget *parent = nullptr);
};

// A short label on a faint rounded tint of its own colour.
class Badge : public QLabel
{
    Q_OBJECT

public:
    Badge(const QString &text, Tint tint, QWidget *parent = nullptr);
    Tint tint() const { return m_tint; }
    QColor color() const { return badgeColors(m_tint, palette()).ink; }
    QColor fillColor() const { return badgeColors(m_tint, palette()).fill; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Tint m_tint;
};

// A filled circle; the status banner's dot.
class StatusDot : public QWidget
{
    Q_OBJECT

public:
    explicit StatusDot(int diameter, QWidget *parent = nullptr);
    void setTint(Tint tint);
    Tint tint() const { return m_tint; }
    QColor color() const { return tintColor(m_tint, palette()); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Tint m_tint = Tint::green;
};

// Text on at most `maxLines` lines (wrapped anywhere, as Japanese text breaks), cut with an ellipsis
// only beyond them; the full text stays in the tooltip and the accessible name, and while cut also in
// the accessible description, so a narrow sidebar never hides it from a screen reader.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr, Qt::TextElideMode mode = Qt::ElideRight, int maxLines = 1);
    void setFullText(const QString &text);
    QString fullText() const { return m_fullText; }
    bool isElided() const { return m_elided; }
    // The lines shown, as many as the width needs and `maxLines` allows.
    int lineCount() const { return int(text().count(QLatin1Char('\n'))) + 1; }
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void elide();
    QString wrapped(int room, bool &cut) const;

    QString m_fullText;
    Qt::TextElideMode m_mode;
    int m_maxLines;
    bool m_elided = false;
};

// Turns a button's icon into a turning arc while busy, and back into its own icon afterwards.
class ButtonSpinner : public QObject
{
    Q_OBJECT

public:
    // `scale` sizes the arc relative to the button's icon size.
    ButtonSpinner(QAbstractButton *button, QIcon idleIcon, qreal scale);
    void setSpinning(bool spinning);
    bool isSpinning() const { return m_timer.isActive(); }

private:
    void drawFrame();

    QAbstractButton *m_button;
    QIcon m_idleIcon;
    qreal m_scale;
    QTimer m_timer;
    int m_angle = 0;
};

// The colours of a prominent button in `tint`: white text on the tint, darkened where needed.
struct ProminentColors
{
    QColor fill;
    QColor text;
};
ProminentColors prominentColors(Tint tint, const QPalette &palette);

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

// Every combo and spin box below `page` leaves the wheel to the page (its scroll area) unless it has
// the focus, and is no longer focused by the wheel: scrolling over a setting must not change it.
void passWheelUnlessFocused(QWidget *page);

} // namespace velkaro
