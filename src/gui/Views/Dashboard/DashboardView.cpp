#include "Views/Dashboard/DashboardView.h"

#include "App/AppState.h"
#include "Platform/Formatters.h"
#include "Views/Common/Icons.h"
#include "Views/Common/PageLayout.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Common/Typography.h"
#include "Views/Widgets/ActivatableCard.h"
#include "Views/Widgets/ButtonSpinner.h"
#include "Views/Widgets/Card.h"
#include "Views/Widgets/ElidedLabel.h"
#include "Views/Widgets/LinkButton.h"
#include "Views/Widgets/ProminentButton.h"
#include "Views/Widgets/TintedIconLabel.h"

#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace velkaro {

DashboardView::DashboardView(AppState &state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_openUrl([](const QUrl &url) { QDesktopServices::openUrl(url); })
{
    const auto [scroll, content, page] = scrollingPage(this, 24, 20);
    // The cards narrow with the window; they never scroll sideways.
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    page->addWidget(buildHeaderCard(content));
    page->addLayout(buildSummaryGrid(content));
    page->addWidget(buildQuickActions(content));
    page->addWidget(buildRecentCard(content));
    // Room to spare goes below the cards, which keep their natural height, at the top of the page.
    page->addStretch(1);

    connect(m_backupButton, &QPushButton::clicked, this, [this] { m_state.performManualBackup(); });
    connect(m_openDestinationButton, &QPushButton::clicked, this, &DashboardView::openBackupDirectory);
    connect(m_openSourceButton, &QPushButton::clicked, this, &DashboardView::openSourceDirectory);
    connect(m_showAllButton, &QPushButton::clicked, this, [this] { m_state.setSelectedTab(NavigationTab::history); });

    // A run reports its progress many times: only the button depends on it.
    connect(&m_state, &AppState::backupStateChanged, this, &DashboardView::refreshBackupButton);
    for (auto signal : {&AppState::lastSuccessDateChanged, &AppState::configChanged, &AppState::nextBackupDateChanged})
        connect(&m_state, signal, this, &DashboardView::refresh);
    connect(&m_state, &AppState::snapshotsChanged, this, [this] {
        refresh();
        rebuildRecent();
    });
    refresh();
    rebuildRecent();
}

QWidget *DashboardView::buildHeaderCard(QWidget *content)
{
    auto *header = new Card(12, content);
    header->setAccessibleName(QStringLiteral("Google Antigravity バックアップマネージャー"));
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(18, 18, 18, 18);
    row->setSpacing(12);
    auto *titles = new QVBoxLayout();
    titles->setSpacing(6);
    auto *title = styledLabel(QStringLiteral("Google Antigravity バックアップマネージャー"), TextStyle::title2, header);
    title->setWordWrap(true);
    titles->addWidget(title);
    auto *subtitle = styledLabel(QStringLiteral("設定ファイル・プロンプト (.md) の安全な保管と同期をサポートするよ！"),
        TextStyle::subheadline, header, true);
    subtitle->setWordWrap(true);
    titles->addWidget(subtitle);
    row->addLayout(titles, 1);
    m_backupButton = new ProminentButton(QStringLiteral("今すぐバックアップ"), Tint::accent, header);
    applyTextStyle(m_backupButton, TextStyle::body, QFont::DemiBold);
    m_backupButton->setIconSize(QSize(20, 20));
    m_backupButton->setMinimumHeight(m_backupButton->fontMetrics().height() + 20);
    m_backupSpinner = new ButtonSpinner(
        m_backupButton, themedIcon({"view-refresh-symbolic", "view-refresh"}, QStyle::SP_BrowserReload), 0.7);
    row->addWidget(m_backupButton, 0, Qt::AlignVCenter);
    return header;
}

QGridLayout *DashboardView::buildSummaryGrid(QWidget *content)
{
    // Three equal columns.
    auto *grid = new QGridLayout();
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(16);
    const std::pair<QIcon, Tint> icons[] = {
        {themedIcon({"preferences-system-time-symbolic", "appointment-soon"}, QStyle::SP_FileDialogInfoView),
            Tint::blue},
        {themedIcon({"alarm-symbolic", "appointment-soon"}, QStyle::SP_BrowserReload), Tint::green},
        {themedIcon({"package-x-generic-symbolic", "package-x-generic"}, QStyle::SP_DriveHDIcon), Tint::purple},
    };
    const QString titles[] = {QStringLiteral("最終バックアップ"), QStringLiteral("定期自動バックアップ"),
        QStringLiteral("保管スナップショット")};
    for (int column = 0; column < 3; ++column) {
        grid->addWidget(buildStatusCard(content, icons[column].first, icons[column].second, titles[column]), 0, column);
        grid->setColumnStretch(column, 1);
    }
    return grid;
}

QWidget *DashboardView::buildStatusCard(QWidget *content, const QIcon &icon, Tint tint, const QString &title)
{
    auto *card = new Card(10, content);
    card->setAccessibleName(title);
    card->setMinimumWidth(10);
    QVBoxLayout *layout = insetLayout(card, 16, 10);
    StatusCard widgets;
    auto *top = new QHBoxLayout();
    top->setSpacing(8);
    widgets.icon = new TintedIconLabel(icon, 20, tint, card);
    widgets.title = styledLabel(title, TextStyle::caption, card, true);
    widgets.title->setWordWrap(true);
    top->addWidget(widgets.icon);
    top->addWidget(widgets.title, 1);
    layout->addLayout(top);
    widgets.value = new ElidedLabel(card);
    applyTextStyle(widgets.value, TextStyle::headline);
    layout->addWidget(widgets.value);
    widgets.subtext = styledLabel(QString(), TextStyle::caption2, card, true);
    widgets.subtext->setWordWrap(true);
    layout->addWidget(widgets.subtext);
    layout->addStretch();
    m_cards.push_back(widgets);
    return card;
}

QWidget *DashboardView::buildQuickActions(QWidget *content)
{
    const TitledCard quick = titledCard(QStringLiteral("クイック操作"), content);
    auto *buttons = new QHBoxLayout();
    buttons->setSpacing(12);
    m_openDestinationButton = new QPushButton(themedIcon({"folder-symbolic", "folder"}, QStyle::SP_DirIcon),
        QStringLiteral("バックアップ先フォルダを開く"), quick.card);
    m_openSourceButton = new QPushButton(
        themedIcon({"emblem-system-symbolic", "preferences-system"}, QStyle::SP_FileDialogDetailedView),
        QStringLiteral("Antigravity 設定フォルダを開く"), quick.card);
    for (QPushButton *button : {m_openDestinationButton, m_openSourceButton}) {
        button->setMinimumHeight(button->fontMetrics().height() + 16);
        buttons->addWidget(button);
    }
    buttons->addStretch();
    quick.layout->addLayout(buttons);
    return quick.card;
}

QWidget *DashboardView::buildRecentCard(QWidget *content)
{
    auto *recent = new Card(10, content);
    recent->setAccessibleName(QStringLiteral("最近のバックアップ履歴"));
    QVBoxLayout *layout = insetLayout(recent, 16, 12);
    auto *header = new QHBoxLayout();
    header->addWidget(styledLabel(QStringLiteral("最近のバックアップ履歴"), TextStyle::headline, recent));
    header->addStretch();
    m_showAllButton = new LinkButton(QStringLiteral("すべて見る"), recent);
    applyTextStyle(m_showAllButton, TextStyle::caption);
    header->addWidget(m_showAllButton);
    layout->addLayout(header);
    m_emptyLabel = styledLabel(
        QStringLiteral("まだバックアップが作成されていません。右上の「今すぐバックアップ」から作成できるよ！"),
        TextStyle::subheadline, recent, true);
    m_emptyLabel->setWordWrap(true);
    m_emptyLabel->setContentsMargins(0, 16, 0, 16);
    layout->addWidget(m_emptyLabel);
    // Filled by rebuildRecent().
    m_recentLayout = new QVBoxLayout();
    m_recentLayout->setSpacing(8);
    layout->addLayout(m_recentLayout);
    return recent;
}

bool DashboardView::isBackupSpinnerShown() const
{
    return m_backupSpinner->isSpinning();
}

void DashboardView::openBackupDirectory()
{
    m_openUrl(QUrl::fromLocalFile(qs(m_state.config().destinationDirectory)));
}

void DashboardView::openSourceDirectory()
{
    const auto &sources = m_state.config().sourceDirectories;
    if (sources.empty())
        return;
    m_openUrl(QUrl::fromLocalFile(qs(sources.front())));
}

void DashboardView::refreshBackupButton()
{
    const bool running = m_state.backupState().isRunning();
    m_backupButton->setEnabled(!running);
    m_backupButton->setText(running ? QStringLiteral("バックアップ中...") : QStringLiteral("今すぐバックアップ"));
    m_backupSpinner->setSpinning(running);
}

void DashboardView::refresh()
{
    refreshBackupButton();
    const SnapshotList &snapshots = m_state.snapshots();
    const BackupConfig &config = m_state.config();

    const StatusCard &last = m_cards[0];
    const OptionalDate &lastDate = m_state.lastSuccessDate();
    last.value->setFullText(lastDate ? qs(formatDate(*lastDate, "yyyy/MM/dd HH:mm")) : QStringLiteral("未実行"));
    last.subtext->setText(snapshots.empty() ? QStringLiteral("データなし")
                                            : QStringLiteral("%1 ファイル (%2)")
                                                  .arg(snapshots.front().filesCount)
                                                  .arg(qs(snapshots.front().formattedSize())));

    const StatusCard &schedule = m_cards[1];
    schedule.icon->setTint(config.backupInterval == BackupInterval::disabled ? Tint::secondary : Tint::green);
    schedule.value->setFullText(qs(rawValue(config.backupInterval)));
    const OptionalDate next = m_state.nextBackupDate();
    schedule.subtext->setText(
        next ? QStringLiteral("次回: ") + qs(formatDate(*next, "HH:mm")) : QStringLiteral("自動実行停止中"));

    const StatusCard &stored = m_cards[2];
    stored.value->setFullText(QStringLiteral("%1 世代").arg(snapshots.size()));
    stored.subtext->setText(QStringLiteral("上限設定: %1 世代").arg(config.maxSnapshotsLimit));
}

void DashboardView::rebuildRecent()
{
    for (const RecentRow &row : m_recentRows)
        delete row.frame;
    m_recentRows.clear();
    const SnapshotList &snapshots = m_state.snapshots();
    m_emptyLabel->setVisible(snapshots.empty());
    const QIcon icon
        = themedIcon({"document-send-symbolic", "document-save-symbolic", "document-save"}, QStyle::SP_FileIcon);
    for (std::size_t i = 0; i < std::min<std::size_t>(3, snapshots.size()); ++i) {
        const BackupSnapshot &snapshot = snapshots[i];
        RecentRow row;
        auto *card = new ActivatableCard(6, m_emptyLabel->parentWidget(), 0.6);
        row.frame = card;
        connect(
            card, &ActivatableCard::activated, this, [this, id = snapshot.id] { m_state.showSnapshotInHistory(id); });
        auto *line = new QHBoxLayout(row.frame);
        line->setContentsMargins(10, 10, 10, 10);
        line->setSpacing(10);
        line->addWidget(new TintedIconLabel(icon, 18, Tint::accent, row.frame));
        auto *texts = new QVBoxLayout();
        texts->setSpacing(2);
        row.id = new QLabel(qs(snapshot.id), row.frame);
        applyTextStyle(row.id, TextStyle::subheadline, QFont::Medium, true);
        row.detail = styledLabel(qs(formatDate(snapshot.createdAt, "yyyy/MM/dd HH:mm:ss")) + QStringLiteral(" • ")
                + qs(rawValue(snapshot.triggerType)),
            TextStyle::caption2, row.frame, true);
        texts->addWidget(row.id);
        texts->addWidget(row.detail);
        if (snapshot.note) {
            auto *note = new ElidedLabel(row.frame);
            applyTextStyle(note, TextStyle::caption2);
            makeSecondary(note);
            note->setFullText(qs(*snapshot.note));
            texts->addWidget(note);
            row.note = note;
        }
        line->addLayout(texts, 1);
        row.files
            = styledLabel(QStringLiteral("%1 ファイル • %2").arg(snapshot.filesCount).arg(qs(snapshot.formattedSize())),
                TextStyle::caption, row.frame, true);
        line->addWidget(row.files);
        card->setAccessibleName(row.id->text() + QLatin1Char(' ') + row.detail->text()
            + (row.note ? QLatin1Char(' ') + row.note->fullText() : QString()) + QLatin1Char(' ') + row.files->text());
        m_recentLayout->addWidget(row.frame);
        // Rows come after "すべて見る" for Tab, as on screen, however late they were made.
        setTabOrder(m_recentRows.empty() ? static_cast<QWidget *>(m_showAllButton) : m_recentRows.back().frame, card);
        m_recentRows.push_back(row);
    }
}

} // namespace velkaro
