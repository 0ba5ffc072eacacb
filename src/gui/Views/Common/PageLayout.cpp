#include "Views/Common/PageLayout.h"

#include "Views/Common/Typography.h"

#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace velkaro {

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
