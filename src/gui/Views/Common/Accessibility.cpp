#include "Views/Common/Accessibility.h"

#include "Views/Widgets/ActivatableCard.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QEvent>
#include <QFocusFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>

namespace velkaro {
namespace {

const char *const kDecorative = "velkaroDecorative";

// The accessible children of a container: its child widgets, less windows, menus and decorations.
QList<QWidget *> spokenChildren(const QWidget *widget)
{
    QList<QWidget *> list;
    for (QObject *object : widget->children()) {
        auto *child = qobject_cast<QWidget *>(object);
        if (!child || child->isWindow() || qobject_cast<QFocusFrame *>(child) || qobject_cast<QMenu *>(child)
            || isDecorative(child) || child->objectName() == QLatin1String("qt_rubberband"))
            continue;
        list.append(child);
    }
    return list;
}

// A container (a card or a plain panel) whose decorative children are not spoken.
class ContainerAccessible : public QAccessibleWidget
{
public:
    ContainerAccessible(QWidget *widget, QAccessible::Role role)
        : QAccessibleWidget(widget, role)
    { }
    int childCount() const override { return int(spokenChildren(widget()).size()); }
    QAccessibleInterface *child(int index) const override
    {
        const QList<QWidget *> list = spokenChildren(widget());
        return index >= 0 && index < list.size() ? QAccessible::queryAccessibleInterface(list.at(index)) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (!child || !child->object())
            return -1;
        return int(spokenChildren(widget()).indexOf(qobject_cast<QWidget *>(child->object())));
    }
};

// A card that acts as one button: its name says everything, its parts are not spoken apart.
class ActivatableCardAccessible : public QAccessibleWidget
{
public:
    explicit ActivatableCardAccessible(QWidget *widget)
        : QAccessibleWidget(widget, QAccessible::Button)
    { }
    int childCount() const override { return 0; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QStringList actionNames() const override { return QStringList {pressAction()} + QAccessibleWidget::actionNames(); }
    void doAction(const QString &action) override
    {
        if (action == pressAction())
            static_cast<ActivatableCard *>(widget())->activate();
        else
            QAccessibleWidget::doAction(action);
    }
};

// A combo box named by its label: Qt names one on Linux by its current text, so "実行間隔" was never
// read, only "30分ごと". The current text is the value; the list is the one child, as Qt has it.
class ComboBoxAccessible : public QAccessibleWidget
{
public:
    explicit ComboBoxAccessible(QComboBox *box)
        : QAccessibleWidget(box, QAccessible::ComboBox)
    { }
    QComboBox *box() const { return static_cast<QComboBox *>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return box()->currentText();
        if (t == QAccessible::Name && box()->accessibleName().isEmpty()) {
            for (const auto &[label, relation] : relations(QAccessible::Label)) { // the buddy
                QString text = nameFromLabel(label->text(QAccessible::Name));
                if (!text.isEmpty())
                    return text;
            }
        }
        return QAccessibleWidget::text(t);
    }
    int childCount() const override { return 1; }
    QAccessibleInterface *child(int index) const override
    {
        return index == 0 ? QAccessible::queryAccessibleInterface(box()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child && child->object() == box()->view() ? 0 : -1;
    }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.expandable = true;
        state.expanded = box()->view()->isVisible();
        state.collapsed = !state.expanded;
        return state;
    }
    QStringList actionNames() const override
    {
        return QStringList {showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &action) override
    {
        if (action == showMenuAction() || action == pressAction())
            box()->view()->isVisible() ? box()->hidePopup() : box()->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    auto *widget = qobject_cast<QWidget *>(object);
    if (!widget)
        return nullptr;
    if (className == QLatin1String("QComboBox"))
        return new ComboBoxAccessible(static_cast<QComboBox *>(widget));
    if (className == QLatin1String("velkaro::ActivatableCard"))
        return new ActivatableCardAccessible(widget);
    if (className == QLatin1String("velkaro::Card"))
        return new ContainerAccessible(widget, QAccessible::Grouping);
    if (className == QLatin1String("QSplitterHandle"))
        return new QAccessibleWidget(widget, QAccessible::Separator);
    // A plain panel holding a decoration (the empty history's picture).
    if (className == QLatin1String("QWidget")) {
        for (QObject *child : widget->children()) {
            if (auto *w = qobject_cast<QWidget *>(child); w && isDecorative(w))
                return new ContainerAccessible(widget, QAccessible::Client);
        }
    }
    return nullptr;
}

// Tab and Ctrl+Tab out of a plain-text editor (Qt leaves Ctrl+Tab to the editor, which ignores it).
class TabLeaver : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        const bool control = key->modifiers() & Qt::ControlModifier;
        if (!control || (key->key() != Qt::Key_Tab && key->key() != Qt::Key_Backtab))
            return false;
        const bool back = key->key() == Qt::Key_Backtab || (key->modifiers() & Qt::ShiftModifier);
        auto *editor = static_cast<QWidget *>(watched);
        QWidget *next = back ? editor->previousInFocusChain() : editor->nextInFocusChain();
        // The chain includes widgets that cannot take focus now; walk to the first that can.
        for (int guard = 0; next && next != editor && guard < 1000; ++guard) {
            if (next->isVisible() && next->isEnabled() && (next->focusPolicy() & Qt::TabFocus) && !next->focusProxy())
                break;
            next = back ? next->previousInFocusChain() : next->nextInFocusChain();
        }
        if (next && next != editor)
            next->setFocus(back ? Qt::BacktabFocusReason : Qt::TabFocusReason);
        return true;
    }
};

} // namespace

void installAccessibility()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QAccessible::installFactory(factory);
}

void markDecorative(QWidget *widget)
{
    widget->setProperty(kDecorative, true);
}

bool isDecorative(const QWidget *widget)
{
    return widget->property(kDecorative).toBool();
}

QString nameFromLabel(const QString &label)
{
    QString name = label.trimmed();
    while (name.endsWith(QLatin1Char(':')) || name.endsWith(QChar(0xff1a)))
        name.chop(1);
    return name.trimmed();
}

void makeTabLeave(QPlainTextEdit *editor)
{
    editor->setTabChangesFocus(true);
    editor->installEventFilter(new TabLeaver(editor));
}

} // namespace velkaro
