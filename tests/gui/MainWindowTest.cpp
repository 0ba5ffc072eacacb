#include "AppStateFixture.h"
#include "Views/Main/MainWindowView.h"

#include <QListWidget>
#include <QTest>

namespace velkaro::test {
namespace {

using MainWindowTest = AppStateFixture;

// The sidebar and the state's selected tab follow each other both ways.
TEST_F(MainWindowTest, SidebarAndSelectedTabFollowEachOther)
{
    AppState &app = start();
    MainWindowView view(app);
    EXPECT_EQ(view.sidebar()->count(), 4);
    EXPECT_EQ(view.sidebar()->currentRow(), 0);

    view.sidebar()->setCurrentRow(2);
    EXPECT_EQ(app.selectedTab(), NavigationTab::templates);

    app.setSelectedTab(NavigationTab::history);
    EXPECT_EQ(view.sidebar()->currentRow(), 1);
}

} // namespace
} // namespace velkaro::test
