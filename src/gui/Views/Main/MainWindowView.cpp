#include "Views/Main/MainWindowView.h"

#include "App/AppState.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Common/Accessibility.h"
#include "Views/Common/EditingPage.h"
#include "Views/Common/Icons.h"
#include "Views/Common/PageLayout.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Common/Typography.h"
#include "Views/Dashboard/DashboardView.h"
#include "Views/Settings/SettingsView.h"
#include "Views/Templates/TemplateManagerView.h"
#include "Views/Widgets/ElidedLabel.h"
#include "Views/Widgets/StatusDot.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QListWidget>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace velkaro {

QIcon tabIcon(NavigationTab tab)
{
    switch (tab) {
    case NavigationTab::dashboard:
        return themedIcon({"view-grid-symbolic", "view-app-grid-symbolic", "go-home"}, QStyle::SP_DesktopIcon);
    case NavigationTab::history:
        return themedIcon({"document-open-recent-symbolic", "document-open-recent"}, QStyle::SP_BrowserReload);
    case NavigationTab::templates:
        return themedIcon({"text-x-generic-symbolic", "text-x-generic"}, QStyle::SP_FileIcon);
    case NavigationTab::settings:
        return themedIcon({"preferences-system-symbolic", "preferences-system"}, QStyle::SP_FileDialogDetailedView);
    }
    return {};
}

MainWindowView::MainWindowView(AppState &state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
{
    installAccessibility();
    setMinimumSize(860, 560);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    layout->addWidget(splitter);

    auto *side = new QWidget(splitter);
    // 160 at least: beside it, the template page needs 690 of the 860 the window may be narrowed to.
    side->setMinimumWidth(160);
    side->setMaximumWidth(280);
    auto *sideLayout = insetLayout(side, 0, 0);
    m_sidebar = new QListWidget(side);
    m_sidebar->setFrameShape(QFrame::NoFrame);
    m_sidebar->setAccessibleName(QStringLiteral("ナビゲーション"));
    m_sidebar->setIconSize(QSize(18, 18));
    m_sidebar->setSpacing(2);
    // The sidebar reads as a surface of its own beside the pages.
    m_sidebar->setBackgroundRole(QPalette::Window);
    for (const auto &[tab, label] : EnumLabels<NavigationTab>::table) {
        auto *item = new QListWidgetItem(tabIcon(tab), qs(label), m_sidebar);
        const QSize hint = item->sizeHint();
        item->setSizeHint(QSize(hint.width(), m_sidebar->fontMetrics().height() + 16));
    }
    sideLayout->addWidget(m_sidebar, 1);
    sideLayout->addWidget(buildBanner(side));

    // Pages in the order of the tabs, so a tab's index is its page's index.
    m_pages = new QStackedWidget(splitter);
    m_pages->addWidget(new DashboardView(state, m_pages));
    m_pages->addWidget(new BackupHistoryView(state, m_pages));
    m_pages->addWidget(new TemplateManagerView(state, m_pages));
    m_pages->addWidget(new SettingsView(state, m_pages));
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({170, 730});

    connect(m_sidebar, &QListWidget::currentRowChanged, this, &MainWindowView::sidebarRowChanged);
    connect(&m_state, &AppState::selectedTabChanged, this, &MainWindowView::showSelectedTab);
    connect(&m_state, &AppState::backupStateChanged, this, &MainWindowView::updateBanner);
    connect(&m_state, &AppState::statusMessageChanged, this, &MainWindowView::updateBanner);
    showSelectedTab();
    updateBanner();
    scrollFocusIntoView(this);
}

// The banner stays at the sidebar's foot, outside the list: a dot and the status line.
QWidget *MainWindowView::buildBanner(QWidget *side)
{
    auto *banner = new QWidget(side);
    m_banner = banner;
    banner->setAccessibleName(QStringLiteral("状態"));
    banner->setAutoFillBackground(true);
    banner->setBackgroundRole(QPalette::Base);
    auto *bannerLayout = new QVBoxLayout(banner);
    bannerLayout->setContentsMargins(0, 0, 0, 0);
    bannerLayout->setSpacing(4);
    auto *divider = new QFrame(banner);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    bannerLayout->addWidget(divider);
    auto *line = new QHBoxLayout();
    line->setContentsMargins(10, 10, 10, 10);
    line->setSpacing(6);
    m_statusDot = new StatusDot(8, banner);
    markDecorative(m_statusDot); // the text beside it says the same
    // Up to three lines: the program's own messages show whole in the narrow sidebar.
    m_statusLabel = new ElidedLabel(banner, Qt::ElideRight, 3);
    applyTextStyle(m_statusLabel, TextStyle::caption2);
    makeSecondary(m_statusLabel);
    line->addWidget(m_statusDot, 0, Qt::AlignTop);
    line->addWidget(m_statusLabel, 1);
    bannerLayout->addLayout(line);
    return banner;
}

QWidget *MainWindowView::page(NavigationTab tab) const
{
    return m_pages->widget(int(tab));
}

QWidget *MainWindowView::currentPage() const
{
    return m_pages->currentWidget();
}

bool MainWindowView::mayLeaveCurrentPage()
{
    auto *page = dynamic_cast<EditingPage *>(m_pages->currentWidget());
    return !page || page->mayLeave();
}

void MainWindowView::sidebarRowChanged(int row)
{
    if (row < 0 || row >= int(EnumLabels<NavigationTab>::table.size()))
        return;
    const NavigationTab tab = EnumLabels<NavigationTab>::table[std::size_t(row)].first;
    auto *page = dynamic_cast<EditingPage *>(m_pages->currentWidget());
    if (row == m_pages->currentIndex() || !page || !page->hasUnsavedEdits()) {
        m_state.setSelectedTab(tab);
        return;
    }
    // Asked once the click or key press is through, with the highlight put back first, so that
    // キャンセル leaves the sidebar as it was.
    QMetaObject::invokeMethod(
        this,
        [this, tab] {
            m_sidebar->setCurrentRow(m_pages->currentIndex());
            if (mayLeaveCurrentPage())
                m_state.setSelectedTab(tab);
        },
        Qt::QueuedConnection);
}

void MainWindowView::showSelectedTab()
{
    const int index = int(m_state.selectedTab());
    // Another page asked for from elsewhere: the edits of this one are settled first.
    if (index != m_pages->currentIndex() && !mayLeaveCurrentPage()) {
        m_state.setSelectedTab(NavigationTab(m_pages->currentIndex()));
        return;
    }
    if (m_sidebar->currentRow() != index)
        m_sidebar->setCurrentRow(index);
    m_pages->setCurrentIndex(index);
}

void MainWindowView::updateBanner()
{
    const BackupExecutionState &state = m_state.backupState();
    const bool running = state.isRunning();
    // A failure must not look like success: red until the next run.
    m_statusDot->setTint(running                        ? Tint::accent
            : state.is<BackupExecutionState::Failed>()  ? Tint::red
            : state.is<BackupExecutionState::Success>() ? Tint::green
                                                        : Tint::secondary);
    const OptionalText &message = m_state.statusMessage();
    const QString text = message ? qs(*message) : running ? QStringLiteral("処理中...") : QStringLiteral("準備完了");
    // Called for every progress update: an unchanged line is neither laid out nor announced again.
    if (text == m_statusLabel->fullText())
        return;
    m_statusLabel->setFullText(text);
    m_banner->setAccessibleDescription(text);
}

} // namespace velkaro
