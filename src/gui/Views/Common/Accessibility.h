#pragma once

#include <QString>

class QPlainTextEdit;
class QWidget;

namespace velkaro {

// What a screen reader gets from the window, beyond what the widgets give by themselves:
// - a combo box is named by its label (its buddy), with its current text as the value;
// - a card is a named group; a card that acts as a button is a button;
// - decorative icons are left out of the tree;
// - splitter handles are separators.
// Installed once, before the first window is built.
void installAccessibility();

// Leaves `widget` out of the accessibility tree: it only decorates what its neighbours say.
void markDecorative(QWidget *widget);
bool isDecorative(const QWidget *widget);

// A label's text as a control's name: without the trailing colon that introduces the control.
QString nameFromLabel(const QString &label);

// Tab and Ctrl+Tab (with Shift, backwards) leave the editor instead of typing a tab.
void makeTabLeave(QPlainTextEdit *editor);

} // namespace velkaro
