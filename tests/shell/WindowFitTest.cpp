#include "AppStateFixture.h"
#include "Shell/MainWindow.h"
#include "ShellTestSupport.h"
#include "Views/Main/MainWindowView.h"

#include <QAbstractScrollArea>
#include <QTest>

namespace velkaro::test {
namespace {

using WindowFitTest = AppStateFixture;

// Whether `widget` lies in what a scroll area scrolls: it may stand outside until scrolled to.
bool isScrolled(const QWidget *widget)
{
    for (const QWidget *w = widget; w && w->parentWidget(); w = w->parentWidget()) {
        const auto *area = qobject_cast<const QAbstractScrollArea *>(w->parentWidget());
        if (area && w == area->viewport())
            return true;
    }
    return false;
}

// At its minimum size the window, menu bar included, shows every page whole: nothing of a page stands
// outside the window but what its scroll areas hold, and the content keeps its 860 × 560.
TEST_F(WindowFitTest, EveryPageFitsAtTheMinimumSize)
{
    config.sourceDirectories = {src.string(), (home / "b").string()};
    AppState &app = start();
    manualBackups(2);
    MainWindow window(app);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.resize(100, 100);
    ASSERT_TRUE(waitUntil([&] { return window.size() == window.minimumSize(); }));
    EXPECT_EQ(window.width(), 860);
    EXPECT_GE(window.view()->height(), 560);

    for (NavigationTab tab : allCases<NavigationTab>()) {
        app.setSelectedTab(tab);
        drainEvents();
        QTest::qWait(50);
        int checked = 0;
        for (QWidget *widget : window.view()->findChildren<QWidget *>()) {
            if (!widget->isVisible() || isScrolled(widget))
                continue;
            ++checked;
            const QRect rect(widget->mapTo(&window, QPoint(0, 0)), widget->size());
            EXPECT_TRUE(window.rect().contains(rect))
                << rawValue(tab) << ": " << widget->metaObject()->className() << " "
                << widget->accessibleName().toStdString() << " at " << rect.y() << "+" << rect.height()
                << " in a window of " << window.height();
        }
        EXPECT_GT(checked, 5);
    }
}

} // namespace
} // namespace velkaro::test
