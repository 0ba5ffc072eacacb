#pragma once

#include "Views/Widgets/Card.h"

class QScrollArea;
class QString;
class QVBoxLayout;
class QWidget;

namespace velkaro {

// How a page of the window is laid out: a scrolling column of inset content, titled cards and labelled
// form fields, with the wheel left to the page over its settings.

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

// A card with its content layout, which starts with the title in the headline style; the title also
// names the card for a screen reader.
struct TitledCard
{
    Card *card;
    QVBoxLayout *layout;
};
TitledCard titledCard(const QString &title, QWidget *parent, int inset = 16, int spacing = 12);

// Every combo and spin box below `page` leaves the wheel to the page (its scroll area) unless it has
// the focus, and is no longer focused by the wheel: scrolling over a setting must not change it.
void passWheelUnlessFocused(QWidget *page);

} // namespace velkaro
