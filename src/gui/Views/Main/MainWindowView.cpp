#include "Views/Main/MainWindowView.h"

#include "Services/AppState.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Dashboard/DashboardView.h"
#include "Views/Settings/SettingsView.h"
#include "Views/Templates/TemplateManagerView.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QStackedWidget>

namespace velkaro {

MainWindowView::MainWindowView(AppState &state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_sidebar(new QListWidget(this))
    , m_pages(new QStackedWidget(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_sidebar);
    layout->addWidget(m_pages, 1);
    m_sidebar->setFixedWidth(170);

    for (const auto &[tab, label] : EnumLabels<NavigationTab>::table)
        m_sidebar->addItem(QString::fromUtf8(label.data(), qsizetype(label.size())));
    // Pages in the order of the tabs, so a tab's index is its page's index.
    m_pages->addWidget(new DashboardView(state, m_pages));
    m_pages->addWidget(new BackupHistoryView(state, m_pages));
    m_pages->addWidget(new TemplateManagerView(state, m_pages));
    m_pages->addWidget(new SettingsView(state, m_pages));

    connect(m_sidebar, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && row < int(EnumLabels<NavigationTab>::table.size()))
            m_state.setSelectedTab(EnumLabels<NavigationTab>::table[std::size_t(row)].first);
    });
    connect(&m_state, &AppState::selectedTabChanged, this, &MainWindowView::showSelectedTab);
    showSelectedTab();
}

QWidget *MainWindowView::page(NavigationTab tab) const
{
    return m_pages->widget(int(tab));
}

void MainWindowView::showSelectedTab()
{
    const int index = int(m_state.selectedTab());
    if (m_sidebar->currentRow() != index)
        m_sidebar->setCurrentRow(index);
    m_pages->setCurrentIndex(index);
}

} // namespace velkaro
