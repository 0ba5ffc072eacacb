#include "Views/Backups/BackupHistoryView.h"

#include "Services/AppState.h"
#include "Views/Common/Dialogs.h"
#include "Views/Common/ViewStyle.h"

#include <QButtonGroup>
#include <QFrame>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace velkaro {
namespace {

Tint badgeTint(BackupTriggerType trigger)
{
    switch (trigger) {
    case BackupTriggerType::manual:
        return Tint::blue;
    case BackupTriggerType::scheduled:
        return Tint::green;
    case BackupTriggerType::preRestoreSafety:
        return Tint::orange;
    }
    return Tint::blue;
}

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// The row of one snapshot in the list.
QWidget *snapshotRow(const BackupSnapshot &snapshot, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QVBoxLayout(row);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(4);
    auto *first = new QHBoxLayout();
    first->addWidget(styledLabel(qs(snapshot.formattedDate()), TextStyle::subheadline, row, false, QFont::Medium));
    first->addStretch();
    first->addWidget(new Badge(qs(rawValue(snapshot.triggerType)), badgeTint(snapshot.triggerType), row));
    layout->addLayout(first);
    auto *second = new QHBoxLayout();
    second->setSpacing(4);
    second->addWidget(
        styledLabel(QStringLiteral("%1 ファイル").arg(snapshot.filesCount), TextStyle::caption2, row, true));
    second->addWidget(styledLabel(QStringLiteral("•"), TextStyle::caption2, row, true));
    second->addWidget(styledLabel(qs(snapshot.formattedSize()), TextStyle::caption2, row, true));
    // The id gives way first in a narrow pane; its whole text stays in the tooltip.
    auto *id = new ElidedLabel(row);
    id->setFont(styledFont(QFont(), TextStyle::caption2, true));
    makeSecondary(id);
    id->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    id->setFullText(qs(snapshot.id));
    second->addWidget(id, 1);
    layout->addLayout(second);
    return row;
}

// The files and their diff need room that a 560 high window does not leave under the restore box: the
// detail scrolls rather than squeezing the diff to a few lines.
QScrollArea *verticalScroller(QWidget *content, QWidget *parent)
{
    auto *scroll = new QScrollArea(parent);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFocusPolicy(Qt::NoFocus); // not a stop of its own: a focused control inside scrolls into view
    scroll->setWidget(content);
    return scroll;
}

} // namespace

BackupHistoryView::BackupHistoryView(AppState &state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_alert([](QWidget *p, const QString &title, const QString &message) {
        QMessageBox::information(p, title, message, QMessageBox::Ok);
    })
    , m_confirm([](QWidget *p, const BackupSnapshot &snapshot) {
        return askBeforeDeleting(p, QMessageBox::Warning, QStringLiteral("スナップショットを削除しますか？"),
            QStringLiteral("スナップショットを削除しますか？"),
            qs(snapshot.id) + QLatin1Char('\n') + qs(snapshot.formattedDate()));
    })
    , m_confirmRestore([](QWidget *p, const BackupSnapshot &snapshot, RestoreScopeOption scope) {
        return askBeforeRestoring(p, snapshot, scope);
    })
    , m_confirmChosenRestore([](QWidget *p, const BackupSnapshot &snapshot, const std::vector<std::string> &paths) {
        return askBeforeRestoring(p, snapshot, paths);
    })
{
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    outer->addWidget(splitter);

    // List pane. Its 280 minimum gives way to 250 so that the window's 860 minimum still leaves the
    // detail pane its 400 beside the sidebar.
    auto *left = new QWidget(splitter);
    left->setMinimumWidth(250);
    left->setMaximumWidth(360);
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->setSpacing(0);
    auto *headerRow = new QWidget(left);
    headerRow->setAutoFillBackground(true);
    headerRow->setBackgroundRole(QPalette::Base);
    auto *headerLayout = new QHBoxLayout(headerRow);
    headerLayout->setContentsMargins(14, 14, 14, 14);
    m_header = styledLabel(QString(), TextStyle::headline, headerRow);
    headerLayout->addWidget(m_header);
    headerLayout->addStretch();
    m_refreshButton = new QToolButton(headerRow);
    m_refreshButton->setAutoRaise(true);
    m_refreshButton->setText(QStringLiteral("履歴を更新"));
    m_refreshButton->setIcon(themedIcon({"view-refresh-symbolic", "view-refresh"}, QStyle::SP_BrowserReload));
    m_refreshButton->setToolTip(QStringLiteral("履歴を更新"));
    m_refreshButton->setAccessibleName(QStringLiteral("履歴を更新"));
    headerLayout->addWidget(m_refreshButton);
    leftLayout->addWidget(headerRow);
    leftLayout->addWidget(divider(left));
    m_listStack = new QStackedWidget(left);
    m_emptyState = new QWidget(m_listStack);
    auto *emptyLayout = new QVBoxLayout(m_emptyState);
    emptyLayout->setSpacing(12);
    emptyLayout->addStretch();
    auto *emptyIcon
        = new TintedIconLabel(themedIcon({"package-x-generic-symbolic", "package-x-generic"}, QStyle::SP_DriveHDIcon),
            36, Tint::secondary, m_emptyState);
    emptyLayout->addWidget(emptyIcon, 0, Qt::AlignHCenter);
    auto *emptyText = styledLabel(QStringLiteral("履歴がありません"), TextStyle::body, m_emptyState, true);
    emptyLayout->addWidget(emptyText, 0, Qt::AlignHCenter);
    emptyLayout->addStretch();
    m_listStack->addWidget(m_emptyState);
    m_list = new QListWidget(m_listStack);
    m_list->setAccessibleName(QStringLiteral("バックアップ履歴"));
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setResizeMode(QListView::Adjust);
    m_listStack->addWidget(m_list);
    leftLayout->addWidget(m_listStack, 1);

    // Detail pane.
    m_detailStack = new QStackedWidget(splitter);
    m_detailStack->setMinimumWidth(400);
    m_hint = styledLabel(
        QStringLiteral("左側の一覧からスナップショットを選択してね"), TextStyle::body, m_detailStack, true);
    m_hint->setAlignment(Qt::AlignCenter);
    m_hint->setWordWrap(true);
    m_detailStack->addWidget(m_hint);
    auto *detail = new QWidget(m_detailStack);
    detail->setAutoFillBackground(true);
    detail->setBackgroundRole(QPalette::Window);
    auto *detailLayout = new QVBoxLayout(detail);
    detailLayout->setContentsMargins(20, 20, 20, 20);
    detailLayout->setSpacing(16);
    auto *top = new QHBoxLayout();
    auto *titles = new QVBoxLayout();
    titles->setSpacing(4);
    m_idLabel = new QLabel(detail);
    m_idLabel->setFont(styledFont(QFont(), TextStyle::title3, true));
    m_idLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_idLabel->setWordWrap(true);
    m_dateLabel = styledLabel(QString(), TextStyle::caption, detail, true);
    titles->addWidget(m_idLabel);
    titles->addWidget(m_dateLabel);
    top->addLayout(titles, 1);
    m_deleteButton
        = new QPushButton(themedIcon({"user-trash-symbolic", "user-trash", "edit-delete"}, QStyle::SP_TrashIcon),
            QStringLiteral("削除"), detail);
    top->addWidget(m_deleteButton, 0, Qt::AlignVCenter);
    detailLayout->addLayout(top);
    detailLayout->addWidget(divider(detail));

    auto *box = new Card(8, detail);
    box->setAccessibleName(QStringLiteral("このバックアップから復元する"));
    auto *boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(16, 16, 16, 16);
    boxLayout->setSpacing(12);
    boxLayout->addWidget(styledLabel(QStringLiteral("このバックアップから復元する"), TextStyle::headline, box));
    auto *note = styledLabel(
        QStringLiteral(
            "※ 復元を実行する前に、現在の状態が「復元前自動退避」として自動バックアップされるので安心だよ！"),
        TextStyle::caption, box, true);
    note->setWordWrap(true);
    boxLayout->addWidget(note);
    // Three long labels do not fit side by side in a 400 wide pane: the choices stand one above
    // the other, with the restore button under them.
    auto *scopeTitle = styledLabel(QStringLiteral("復元範囲:"), TextStyle::body, box);
    boxLayout->addWidget(scopeTitle);
    auto *group = new QButtonGroup(this);
    for (RestoreScopeOption option : allCases<RestoreScopeOption>()) {
        auto *radio = new QRadioButton(qs(rawValue(option)), box);
        radio->setChecked(option == m_scope);
        group->addButton(radio, int(option));
        boxLayout->addWidget(radio);
        m_scopeButtons.push_back(radio);
    }
    m_restoreButton = new ProminentButton(QStringLiteral("復元を実行"), Tint::blue, box);
    applyTextStyle(m_restoreButton, TextStyle::body, QFont::DemiBold);
    m_restoreButton->setMinimumHeight(m_restoreButton->fontMetrics().height() + 12);
    m_restoreSpinner = new ButtonSpinner(
        m_restoreButton, themedIcon({"edit-undo-symbolic", "document-revert", "edit-undo"}, QStyle::SP_ArrowBack), 0.6);
    boxLayout->addWidget(m_restoreButton, 0, Qt::AlignLeft);
    detailLayout->addWidget(box);

    m_filesPane = new SnapshotFilesPane(m_state, detail);
    detailLayout->addWidget(m_filesPane, 1);
    connect(m_filesPane, &SnapshotFilesPane::restoreChosenRequested, this, &BackupHistoryView::performChosenRestore);
    auto *detailScroll = verticalScroller(detail, m_detailStack);
    m_detailStack->addWidget(detailScroll);
    connect(m_filesPane, &SnapshotFilesPane::fileChosen, this,
        [this, detailScroll] { detailScroll->ensureWidgetVisible(m_filesPane, 0, 0); });

    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({280, 400});

    connect(m_refreshButton, &QToolButton::clicked, this, [this] { m_state.loadHistory(); });
    connect(m_deleteButton, &QPushButton::clicked, this, &BackupHistoryView::deleteSelected);
    connect(m_restoreButton, &QPushButton::clicked, this, &BackupHistoryView::performRestore);
    connect(group, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked)
            m_scope = RestoreScopeOption(id);
    });
    connect(m_list, &QListWidget::currentRowChanged, this, [this](int row) {
        if (m_rebuilding || row < 0 || row >= int(m_rows.size()))
            return;
        m_selected = m_rows[std::size_t(row)];
        showDetail();
    });
    connect(&m_state, &AppState::snapshotsChanged, this, &BackupHistoryView::rebuildList);
    connect(&m_state, &AppState::historySnapshotRequested, this, [this] {
        if (isVisible())
            takeRequest();
    });
    rebuildList();
    showDetail();
    updateRestoreButton();
}

bool BackupHistoryView::isRestoreSpinnerShown() const
{
    return m_restoreSpinner->isSpinning();
}

void BackupHistoryView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_state.requestedHistorySnapshot())
        takeRequest();
    else if (!m_selected && !m_state.snapshots().empty())
        select(m_state.snapshots().front());
}

void BackupHistoryView::select(std::optional<BackupSnapshot> snapshot)
{
    m_selected = std::move(snapshot);
    highlightSelection();
    showDetail();
}

// A snapshot asked for from elsewhere (the dashboard), by id.
void BackupHistoryView::takeRequest()
{
    const auto id = m_state.takeRequestedHistorySnapshot();
    if (!id)
        return;
    const auto &all = m_state.snapshots();
    const auto found = std::ranges::find(all, *id, &BackupSnapshot::id);
    select(found == all.end() ? std::nullopt : std::optional<BackupSnapshot>(*found));
}

void BackupHistoryView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // Leaving the tab starts the page afresh next time; a restore still running keeps its busy button.
    if (event->spontaneous())
        return;
    m_selected.reset();
    m_scope = RestoreScopeOption::allFiles;
    m_scopeButtons.front()->setChecked(true);
    highlightSelection();
    showDetail();
}

void BackupHistoryView::rebuildList()
{
    m_rebuilding = true;
    m_rows = m_state.snapshots();
    m_header->setText(QStringLiteral("バックアップ履歴 (%1)").arg(m_rows.size()));
    m_list->clear();
    for (const BackupSnapshot &snapshot : m_rows) {
        auto *item = new QListWidgetItem(m_list);
        // What a screen reader says for the row; the painted row is the widget below.
        item->setData(Qt::AccessibleTextRole,
            qs(snapshot.formattedDate()) + QLatin1Char(' ') + qs(rawValue(snapshot.triggerType)) + QLatin1Char(' ')
                + QStringLiteral("%1 ファイル • ").arg(snapshot.filesCount) + qs(snapshot.formattedSize()));
        QWidget *row = snapshotRow(snapshot, m_list);
        item->setSizeHint(QSize(0, row->sizeHint().height())); // as wide as the pane, never wider
        m_list->setItemWidget(item, row);
    }
    m_listStack->setCurrentWidget(m_rows.empty() ? m_emptyState : static_cast<QWidget *>(m_list));
    m_rebuilding = false;
    // The selection is the snapshot's id: a reload may bring its record back changed (read from the
    // store), and one that is gone takes the detail with it.
    if (m_selected) {
        const auto found = std::ranges::find(m_rows, m_selected->id, &BackupSnapshot::id);
        if (found == m_rows.end() || !(*found == *m_selected)) {
            m_selected = found == m_rows.end() ? std::nullopt : std::optional<BackupSnapshot>(*found);
            showDetail();
        }
    }
    highlightSelection();
}

void BackupHistoryView::highlightSelection()
{
    m_rebuilding = true;
    int row = -1;
    if (m_selected) {
        const auto found = std::find(m_rows.begin(), m_rows.end(), *m_selected);
        if (found != m_rows.end())
            row = int(found - m_rows.begin());
    }
    m_list->setCurrentRow(row);
    if (row < 0)
        m_list->clearSelection();
    m_rebuilding = false;
}

void BackupHistoryView::showDetail()
{
    if (!m_selected) {
        m_filesPane->setSnapshot(std::nullopt);
        m_detailStack->setCurrentWidget(m_hint);
        return;
    }
    const BackupSnapshot &s = *m_selected;
    m_idLabel->setText(qs(s.id));
    m_dateLabel->setText(QStringLiteral("バックアップ日時: ") + qs(s.formattedDate()) + QStringLiteral(" (")
        + qs(rawValue(s.triggerType)) + QStringLiteral(")"));
    m_filesPane->setSnapshot(s);
    m_detailStack->setCurrentIndex(1);
}

void BackupHistoryView::updateRestoreButton()
{
    m_restoreButton->setEnabled(!m_isRestoring);
    m_restoreButton->setText(m_isRestoring ? QStringLiteral("復元中...") : QStringLiteral("復元を実行"));
    m_restoreSpinner->setSpinning(m_isRestoring);
    m_filesPane->setRestoring(m_isRestoring);
}

void BackupHistoryView::performRestore()
{
    if (!m_selected || m_isRestoring)
        return;
    // The scope of the question is the one restored, whatever the picker shows afterwards.
    const RestoreScopeOption scope = m_scope;
    if (!m_confirmRestore || !m_confirmRestore(this, *m_selected, scope))
        return;
    m_isRestoring = true;
    updateRestoreButton();
    QPointer<BackupHistoryView> self(this);
    m_state.restore(*m_selected, scope, [self](RestoreOutcome outcome, const std::string &message) {
        if (self)
            self->finishRestore(outcome, message);
    });
}

void BackupHistoryView::performChosenRestore()
{
    const std::vector<std::string> paths = m_filesPane->chosenPaths();
    if (!m_selected || m_isRestoring || paths.empty())
        return;
    if (!m_confirmChosenRestore || !m_confirmChosenRestore(this, *m_selected, paths))
        return;
    m_isRestoring = true;
    updateRestoreButton();
    QPointer<BackupHistoryView> self(this);
    m_state.restoreFiles(*m_selected, paths, [self](RestoreOutcome outcome, const std::string &message) {
        if (self)
            self->finishRestore(outcome, message);
    });
}

void BackupHistoryView::finishRestore(RestoreOutcome outcome, const std::string &message)
{
    m_isRestoring = false;
    updateRestoreButton();
    // The current files have changed: the marks and the diff follow.
    m_filesPane->refreshComparison();
    switch (outcome) {
    case RestoreOutcome::complete:
        m_restoreMessage = QStringLiteral("正常に復元が完了したよ！");
        break;
    case RestoreOutcome::partial: // the counts of both kinds, as the restore gave them
        m_restoreMessage = QString::fromStdString(message);
        break;
    case RestoreOutcome::failed:
        m_restoreMessage = QStringLiteral("復元中にエラーが発生しました。");
        break;
    }
    m_showingAlert = true;
    if (m_alert)
        m_alert(this, QStringLiteral("復元結果"), m_restoreMessage);
    m_showingAlert = false;
}

void BackupHistoryView::deleteSelected()
{
    if (!m_selected || !m_confirm || !m_confirm(this, *m_selected))
        return;
    // A refused or failed deletion leaves the snapshot listed and selected; AppState gives the reason.
    if (!m_state.deleteSnapshot(*m_selected))
        return;
    const auto &left = m_state.snapshots();
    m_selected = left.empty() ? std::nullopt : std::optional<BackupSnapshot>(left.front());
    highlightSelection();
    showDetail();
}

} // namespace velkaro
