#pragma once

#include "Models/AppEnums.h"

#include <QWidget>

class QListWidget;
class QStackedWidget;

namespace velkaro {

class AppState;
class ElidedLabel;
class StatusDot;

// The management window's content: the sidebar of the four tabs with the status banner at its foot,
// beside the selected tab's page. The sidebar and the page follow AppState's selected tab both ways.
class MainWindowView : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindowView(AppState &state, QWidget *parent = nullptr);

    QListWidget *sidebar() const { return m_sidebar; }
    QWidget *page(NavigationTab tab) const;
    QWidget *currentPage() const;
    QWidget *statusBanner() const { return m_banner; }
    StatusDot *statusDot() const { return m_statusDot; }
    ElidedLabel *statusLabel() const { return m_statusLabel; }

    // Settles the unsaved edits of the page shown with the user; false keeps them on it.
    bool mayLeaveCurrentPage();

private:
    QWidget *buildBanner(QWidget *side);
    void showSelectedTab();
    void sidebarRowChanged(int row);
    void updateBanner();

    AppState &m_state;
    QListWidget *m_sidebar = nullptr;
    QStackedWidget *m_pages = nullptr;
    QWidget *m_banner = nullptr;
    StatusDot *m_statusDot = nullptr;
    ElidedLabel *m_statusLabel = nullptr;
};

// The sidebar icon of a tab: the desktop theme's icon of the same meaning, else a standard one.
QIcon tabIcon(NavigationTab tab);

} // namespace velkaro
