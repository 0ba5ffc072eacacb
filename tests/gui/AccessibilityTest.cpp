#include "Views/Common/Accessibility.h"
#include "AppStateFixture.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Backups/FileDiffView.h"
#include "Views/Dashboard/DashboardView.h"
#include "Views/Main/MainWindowView.h"
#include "Views/Settings/SettingsView.h"
#include "Views/Templates/TemplateManagerView.h"
#include "Views/Widgets/ActivatableCard.h"
#include "Views/Widgets/Card.h"
#include "Views/Widgets/TintedIconLabel.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <QToolButton>
#include <functional>
#include <ostream>

namespace velkaro {

// A page by its name in test names and in gtest's messages, not as the bytes of an enumeration.
static const char *pageName(NavigationTab tab)
{
    switch (tab) {
    case NavigationTab::dashboard:
        return "dashboard";
    case NavigationTab::history:
        return "history";
    case NavigationTab::templates:
        return "templates";
    case NavigationTab::settings:
        return "settings";
    }
    return "unknown";
}

static void PrintTo(NavigationTab tab, std::ostream *out)
{
    *out << pageName(tab);
}

} // namespace velkaro

namespace velkaro::test {
namespace {

// Every page at the window's minimum size, as the keyboard and a screen reader meet it.
class AccessibilityTest : public AppStateFixture, public ::testing::WithParamInterface<NavigationTab>
{
protected:
    // The window over two sources and two snapshots, at its minimum size, active, on `tab`.
    MainWindowView &openWindow(NavigationTab tab)
    {
        config.sourceDirectories.push_back((home / "second").string());
        AppState &app = start();
        manualBackups(2);
        mainWindow = std::make_unique<MainWindowView>(app);
        mainWindow->resize(860, 560);
        mainWindow->show();
        mainWindow->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(mainWindow.get()));
        app.setSelectedTab(tab);
        QCoreApplication::processEvents(); // rows made on showing appear on the next turn of the loop
        return *mainWindow;
    }

    void TearDown() override
    {
        mainWindow.reset();
        AppStateFixture::TearDown();
    }

    std::unique_ptr<MainWindowView> mainWindow;
};

std::string describe(const QWidget *w)
{
    const QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(const_cast<QWidget *>(w));
    return w->metaObject()->className() + std::string(" \"")
        + (accessible ? accessible->text(QAccessible::Name).toStdString() : "<no interface>") + "\"";
}

// The page's controls in the order Tab reaches them from the sidebar, pressing Tab as a user does;
// `shown` gets, for each, whether it looked different while it had the focus than once Tab left it.
std::vector<QWidget *> tabThrough(MainWindowView &window, std::vector<bool> &shown)
{
    QWidget *page = window.currentPage();
    window.sidebar()->setFocus(Qt::TabFocusReason);
    std::vector<QWidget *> reached;
    QImage focusedLook;
    for (int guard = 0; guard < 60; ++guard) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (!reached.empty())
            shown.push_back(reached.back()->grab().toImage() != focusedLook);
        QWidget *focused = QApplication::focusWidget();
        if (!focused || !page->isAncestorOf(focused))
            break;
        reached.push_back(focused);
        focusedLook = focused->grab().toImage();
    }
    return reached;
}

std::vector<QWidget *> expectedOrder(MainWindowView &window, NavigationTab tab)
{
    switch (tab) {
    case NavigationTab::dashboard: {
        auto *page = qobject_cast<DashboardView *>(window.page(tab));
        std::vector<QWidget *> order {page->backupButton(), page->openBackupDirectoryButton(),
            page->openSourceDirectoryButton(), page->showAllButton()};
        for (const auto &row : page->recentRows())
            order.push_back(row.frame);
        return order;
    }
    case NavigationTab::history: {
        auto *page = qobject_cast<BackupHistoryView *>(window.page(tab));
        // The file list takes its first row as current when it gets the focus: its history button opens.
        return {page->refreshButton(), page->list(), page->deleteButton(), page->scopeChoice(), page->restoreButton(),
            page->fileList(), page->filesPane()->historyButton(), page->filesPane()->diffView()};
    }
    case NavigationTab::templates: {
        auto *page = qobject_cast<TemplateManagerView *>(window.page(tab));
        // The first template is a preset: no delete button.
        return {page->createButton(), page->list(), page->importButton(), page->applyButton(), page->saveButton(),
            page->titleField(), page->kindChoice(), page->targetField(), page->descriptionField(),
            page->contentEditor()};
    }
    case NavigationTab::settings: {
        auto *page = qobject_cast<SettingsView *>(window.page(tab));
        return {page->sourceFields()[0], page->sourceButtons()[0], page->sourceFields()[1], page->sourceButtons()[1],
            page->destinationField(), page->destinationButton(), page->extensionsField(), page->intervalChoice(),
            page->autoLaunchChoice(), page->startupChoice(), page->notificationChoice(), page->maxSnapshotsStepper(),
            page->saveButton()};
    }
    }
    return {};
}

// Tab goes through each page in the order it is laid out, and every stop has a name a screen reader
// can read, shows that it has the focus, and is not squeezed below the size its text needs.
TEST_P(AccessibilityTest, TabFollowsTheLayoutThroughNamedControlsThatFit)
{
    MainWindowView &window = openWindow(GetParam());
    EXPECT_LE(window.minimumSizeHint().width(), 860) << "the page does not fit the minimum window";
    EXPECT_LE(window.minimumSizeHint().height(), 560) << "the page does not fit the minimum window";
    EXPECT_EQ(window.size(), QSize(860, 560));
    std::vector<bool> shown;
    const std::vector<QWidget *> reached = tabThrough(window, shown);
    const std::vector<QWidget *> expected = expectedOrder(window, GetParam());
    auto names = [](const std::vector<QWidget *> &list) {
        std::string out;
        for (QWidget *w : list)
            out += describe(w) + " / ";
        return out;
    };
    EXPECT_EQ(reached, expected) << "reached: " << names(reached) << "\nexpected: " << names(expected);
    for (std::size_t i = 0; i < reached.size(); ++i) {
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(reached[i]);
        ASSERT_NE(accessible, nullptr);
        EXPECT_FALSE(accessible->text(QAccessible::Name).trimmed().isEmpty())
            << describe(reached[i]) << " has no accessible name";
        EXPECT_TRUE(i < shown.size() && shown[i]) << describe(reached[i]) << " shows no focus";
        if (auto *button = qobject_cast<QAbstractButton *>(reached[i]); button && !button->text().isEmpty()) {
            EXPECT_GE(button->width(), button->minimumSizeHint().width())
                << button->text().toStdString() << " is cut at 860 × 560";
        }
    }
}

// Cards are named groups and no decorative icon is in the tree that a screen reader walks; a combo box
// tells its current text as its value. (Names from labels are read over the bus by atspi/walk.py.)
TEST_P(AccessibilityTest, CardsAreGroupsAndDecorationsStayOut)
{
    QWidget *page = openWindow(GetParam()).currentPage();
    for (QComboBox *box : page->findChildren<QComboBox *>())
        EXPECT_EQ(QAccessible::queryAccessibleInterface(box)->text(QAccessible::Value), box->currentText());

    int groups = 0;
    std::function<void(QAccessibleInterface *)> walk = [&](QAccessibleInterface *node) {
        for (int i = 0; i < node->childCount(); ++i) {
            QAccessibleInterface *child = node->child(i);
            ASSERT_NE(child, nullptr);
            auto *widget = qobject_cast<QWidget *>(child->object());
            if (widget) {
                EXPECT_FALSE(isDecorative(widget)) << describe(widget) << " is spoken";
                EXPECT_FALSE(qobject_cast<TintedIconLabel *>(widget)) << "an unnamed icon is spoken";
            }
            if (qobject_cast<Card *>(widget) && !qobject_cast<ActivatableCard *>(widget)) {
                ++groups;
                EXPECT_EQ(child->role(), QAccessible::Grouping);
                EXPECT_FALSE(child->text(QAccessible::Name).isEmpty()) << "an unnamed card";
            }
            walk(child);
        }
    };
    walk(QAccessible::queryAccessibleInterface(page));
    const int cards = int(page->findChildren<Card *>().size()) - int(page->findChildren<ActivatableCard *>().size());
    EXPECT_EQ(groups, cards) << "a card is missing from the tree";
}

INSTANTIATE_TEST_SUITE_P(Pages, AccessibilityTest,
    ::testing::Values(
        NavigationTab::dashboard, NavigationTab::history, NavigationTab::templates, NavigationTab::settings),
    [](const auto &page) { return std::string(pageName(page.param)); });

// In the template body Tab and Ctrl+Tab move on instead of typing, and Shift+Tab moves back.
TEST_F(AccessibilityTest, TemplateBodyLetsTabThrough)
{
    auto *page = qobject_cast<TemplateManagerView *>(openWindow(NavigationTab::templates).currentPage());
    QPlainTextEdit *body = page->contentEditor();
    const QString text = body->toPlainText();
    for (Qt::KeyboardModifiers modifiers :
        {Qt::KeyboardModifiers(Qt::NoModifier), Qt::KeyboardModifiers(Qt::ControlModifier)}) {
        body->setFocus(Qt::TabFocusReason);
        QTest::keyClick(body, Qt::Key_Tab, modifiers);
        EXPECT_NE(QApplication::focusWidget(), body) << int(modifiers);
        body->setFocus(Qt::TabFocusReason);
        QTest::keyClick(body, Qt::Key_Backtab, modifiers | Qt::ShiftModifier);
        EXPECT_EQ(QApplication::focusWidget(), page->descriptionField()) << int(modifiers);
    }
    EXPECT_EQ(body->toPlainText(), text);
    EXPECT_FALSE(page->unsavedMark()->isVisible());
}

} // namespace
} // namespace velkaro::test
