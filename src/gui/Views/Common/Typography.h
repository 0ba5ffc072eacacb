#pragma once

#include <QFont>

class QLabel;
class QString;
class QWidget;

namespace velkaro {

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

} // namespace velkaro
