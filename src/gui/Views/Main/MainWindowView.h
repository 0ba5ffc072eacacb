#pragma once

#include "Models/AppEnums.h"

#include <QPointer>
#include <QWidget>

class QListWidget;
class QStackedWidget;

namespace velkaro {

class AppState;

// The management window's content: the sidebar of the four tabs beside the selected tab's page,
// both bound to AppState's selected tab.
class MainWindowView : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindowView(AppState &state, QWidget *parent = nullptr);

    QListWidget *sidebar() const { return m_sidebar; }
    QWidget *page(NavigationTab tab) const;

private:
    void showSelectedTab();

    AppState &m_state;
    QListWidget *m_sidebar = nullptr;
    QStackedWidget *m_pages = nullptr;
};

} // namespace velkaro
