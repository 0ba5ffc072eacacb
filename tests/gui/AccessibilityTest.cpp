#include "AppStateFixture.h"
#include "Views/Main/MainWindowView.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QListWidget>
#include <QTest>

namespace velkaro::test {
namespace {

// Every page at the window's minimum size: each control that Tab reaches has a name a screen reader
// can read, and no button is squeezed below the size its text needs.
class AccessibilityTest : public AppStateFixture, public ::testing::WithParamInterface<NavigationTab>
{
};

QString describe(const QWidget *w)
{
    return QString::fromLatin1(w->metaObject()->className()) + QStringLiteral(" ") + w->objectName();
}

TEST_P(AccessibilityTest, TabReachesNamedControlsThatFitAtTheMinimumSize)
{
    AppState &app = start();
    manualBackups(2);
    MainWindowView window(app);
    window.resize(860, 560);
    window.show();
    app.setSelectedTab(GetParam());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QWidget *page = window.page(GetParam());
    EXPECT_LE(window.minimumSizeHint().width(), 860) << "the page does not fit the minimum window";
    EXPECT_LE(window.minimumSizeHint().height(), 560) << "the page does not fit the minimum window";
    EXPECT_EQ(window.size(), QSize(860, 560));

    // The Tab chain from the sidebar through the page, once around.
    window.sidebar()->setFocus();
    std::vector<QWidget *> reached;
    QWidget *w = window.sidebar();
    for (int guard = 0; guard < 500; ++guard) {
        w = w->nextInFocusChain();
        if (w == window.sidebar())
            break;
        // A spin box's or combo box's own line edit speaks for its owner, which is named.
        const bool part = qobject_cast<QAbstractSpinBox *>(w->parentWidget()) || qobject_cast<QComboBox *>(w->parentWidget());
        if (!part && w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) && page->isAncestorOf(w))
            reached.push_back(w);
    }
    EXPECT_FALSE(reached.empty()) << "nothing on the page takes the keyboard";

    for (QWidget *control : reached) {
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
        ASSERT_NE(accessible, nullptr);
        EXPECT_FALSE(accessible->text(QAccessible::Name).trimmed().isEmpty())
            << describe(control).toStdString() << " has no accessible name";
        if (auto *button = qobject_cast<QAbstractButton *>(control); button && !button->text().isEmpty()) {
            EXPECT_GE(button->width(), button->minimumSizeHint().width())
                << button->text().toStdString() << " is cut at 860 × 560";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pages, AccessibilityTest,
                         ::testing::Values(NavigationTab::dashboard, NavigationTab::history, NavigationTab::templates,
                                           NavigationTab::settings),
                         [](const auto &page) { return std::to_string(int(page.param)); });

} // namespace
} // namespace velkaro::test
