#include "Views/Backups/BackupHistoryView.h"

#include "App/AppState.h"
#include "Views/Backups/FileVersionsPane.h"
#include "Views/Backups/SnapshotListModel.h"
#include "Views/Backups/SnapshotListView.h"
#include "Views/Common/Dialogs.h"
#include "Views/Common/Icons.h"
#include "Views/Common/PageLayout.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Common/Typography.h"
#include "Views/Widgets/ButtonSpinner.h"
#include "Views/Widgets/Card.h"
#include "Views/Widgets/ProminentButton.h"
#include "Views/Widgets/TintedIconLabel.h"

#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace velkaro {
namespace {

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
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

// The file browser asks for no more height than its minimum: the page's scroll area gives a layout
// with wrapped labels its preferred height, and would scroll to give the lists theirs, though they take
// whatever room is left anyway.
class FileBrowserStack : public QStackedWidget
{
public:
    using QStackedWidget::QStackedWidget;
    QSize sizeHint() const override { return {QStackedWidget::sizeHint().width(), minimumSizeHint().height()}; }
};

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
    , m_model(new SnapshotListModel(state, this))
{
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    outer->addWidget(splitter);
    splitter->addWidget(buildListPane(splitter));
    splitter->addWidget(buildDetailPane(splitter));
    // Both panes share what a wider window adds, so the list's ids show whole once there is room.
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 2);
    splitter->setSizes({280, 400});

    connectState();
    rebuildList();
    showDetail();
    updateRestoreButton();
}

// The list pane. Its 280 minimum gives way to 250 so that the window's 860 minimum still leaves the
// detail pane its 400 beside the sidebar.
QWidget *BackupHistoryView::buildListPane(QWidget *parent)
{
    auto *left = new QWidget(parent);
    left->setMinimumWidth(250);
    left->setMaximumWidth(560);
    auto *leftLayout = insetLayout(left, 0, 0);
    leftLayout->addWidget(buildListHeader(left));
    leftLayout->addWidget(divider(left));
    m_listStack = new QStackedWidget(left);
    m_listStack->addWidget(buildEmptyState(m_listStack));
    m_list = new SnapshotListView(m_model, m_listStack);
    m_list->setAccessibleName(QStringLiteral("バックアップ履歴"));
    m_listStack->addWidget(m_list);
    leftLayout->addWidget(m_listStack, 1);
    return left;
}

QWidget *BackupHistoryView::buildListHeader(QWidget *parent)
{
    auto *headerRow = new QWidget(parent);
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
    connect(m_refreshButton, &QToolButton::clicked, this, [this] { m_state.loadHistory(); });
    return headerRow;
}

QWidget *BackupHistoryView::buildEmptyState(QWidget *parent)
{
    m_emptyState = new QWidget(parent);
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
    return m_emptyState;
}

QWidget *BackupHistoryView::buildDetailPane(QWidget *parent)
{
    m_detailStack = new QStackedWidget(parent);
    m_detailStack->setMinimumWidth(400);
    m_hint = styledLabel(
        QStringLiteral("左側の一覧からスナップショットを選択してね"), TextStyle::body, m_detailStack, true);
    m_hint->setAlignment(Qt::AlignCenter);
    m_hint->setWordWrap(true);
    m_detailStack->addWidget(m_hint);
    auto *detail = new QWidget(m_detailStack);
    detail->setAutoFillBackground(true);
    detail->setBackgroundRole(QPalette::Window);
    // Tight margins and a one-row restore box leave the files and their diff most of the pane.
    auto *detailLayout = new QVBoxLayout(detail);
    detailLayout->setContentsMargins(14, 12, 14, 12);
    detailLayout->setSpacing(8);
    detailLayout->addLayout(buildDetailHeader(detail));
    m_goneLabel = styledLabel(QStringLiteral("このスナップショットは削除されたよ。"), TextStyle::body, detail);
    m_goneLabel->setForegroundRole(QPalette::BrightText);
    m_goneLabel->setAutoFillBackground(false);
    m_goneLabel->setStyleSheet(QStringLiteral("color: %1;").arg(tintColor(Tint::red, palette()).name()));
    m_goneLabel->hide();
    detailLayout->addWidget(m_goneLabel);
    detailLayout->addWidget(divider(detail));
    detailLayout->addWidget(buildRestoreBox(detail));
    m_filesStack = new FileBrowserStack(detail);
    m_filesPane = new SnapshotFilesPane(m_state, m_filesStack);
    m_filesStack->addWidget(m_filesPane);
    m_versionsPane = new FileVersionsPane(m_state, m_filesStack);
    m_filesStack->addWidget(m_versionsPane);
    detailLayout->addWidget(m_filesStack, 1);
    connect(m_filesPane, &SnapshotFilesPane::restoreChosenRequested, this, &BackupHistoryView::performChosenRestore);
    connect(m_filesPane, &SnapshotFilesPane::historyRequested, this, &BackupHistoryView::showFileVersions);
    connect(m_versionsPane, &FileVersionsPane::backRequested, this, &BackupHistoryView::showFiles);
    connect(m_versionsPane, &FileVersionsPane::restoreRequested, this, &BackupHistoryView::performVersionRestore);
    auto *detailScroll = verticalScroller(detail, m_detailStack);
    m_detailStack->addWidget(detailScroll);
    connect(m_filesPane, &SnapshotFilesPane::fileChosen, this,
        [this, detailScroll] { detailScroll->ensureWidgetVisible(m_filesPane, 0, 0); });
    return m_detailStack;
}

QLayout *BackupHistoryView::buildDetailHeader(QWidget *detail)
{
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
    connect(m_deleteButton, &QPushButton::clicked, this, &BackupHistoryView::deleteSelected);
    return top;
}

// One row: the scope and the button, with the reassurance about the safety snapshot under it.
QWidget *BackupHistoryView::buildRestoreBox(QWidget *detail)
{
    auto *box = new Card(8, detail);
    box->setAccessibleName(QStringLiteral("このバックアップから復元する"));
    auto *boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(12, 8, 12, 8);
    boxLayout->setSpacing(4);
    auto *row = new QHBoxLayout();
    row->setSpacing(8);
    auto *scopeTitle = styledLabel(QStringLiteral("復元範囲:"), TextStyle::body, box);
    row->addWidget(scopeTitle);
    m_scopeChoice = new QComboBox(box);
    for (RestoreScopeOption option : allCases<RestoreScopeOption>())
        m_scopeChoice->addItem(qs(rawValue(option)), int(option));
    m_scopeChoice->setAccessibleName(QStringLiteral("復元範囲"));
    // The longest scope is wider than the 400 the pane may shrink to: the choice gives way, not the pane.
    m_scopeChoice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_scopeChoice->setMinimumContentsLength(10);
    scopeTitle->setBuddy(m_scopeChoice);
    row->addWidget(m_scopeChoice, 1);
    connect(m_scopeChoice, &QComboBox::currentIndexChanged, this,
        [this] { m_scope = RestoreScopeOption(m_scopeChoice->currentData().toInt()); });
    m_restoreButton = new ProminentButton(QStringLiteral("復元を実行"), Tint::blue, box);
    applyTextStyle(m_restoreButton, TextStyle::body, QFont::DemiBold);
    m_restoreButton->setMinimumHeight(m_restoreButton->fontMetrics().height() + 12);
    m_restoreSpinner = new ButtonSpinner(
        m_restoreButton, themedIcon({"edit-undo-symbolic", "document-revert", "edit-undo"}, QStyle::SP_ArrowBack), 0.6);
    row->addWidget(m_restoreButton);
    boxLayout->addLayout(row);
    auto *note = styledLabel(
        QStringLiteral(
            "※ 復元を実行する前に、現在の状態が「復元前自動退避」として自動バックアップされるので安心だよ！"),
        TextStyle::caption, box, true);
    note->setWordWrap(true);
    boxLayout->addWidget(note);
    connect(m_restoreButton, &QPushButton::clicked, this, &BackupHistoryView::performRestore);
    return box;
}

void BackupHistoryView::connectState()
{
    connect(m_list->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex &at) {
        const SnapshotList &rows = m_model->snapshots();
        if (m_rebuilding || !at.isValid() || at.row() >= int(rows.size()))
            return;
        m_selected = rows[std::size_t(at.row())];
        m_selectedGone = false;
        showFiles();
        showDetail();
    });
    connect(&m_state, &AppState::snapshotsChanged, this, &BackupHistoryView::rebuildList);
    connect(&m_state, &AppState::filesChanged, this, &BackupHistoryView::refreshAgainstNow);
    connect(&m_state, &AppState::historySnapshotRequested, this, [this] {
        if (isVisible())
            takeRequest();
    });
}

bool BackupHistoryView::isRestoreSpinnerShown() const
{
    return m_restoreSpinner->isSpinning();
}

// Back at the window, the files may have changed meanwhile (an editor, the command-line tool).
void BackupHistoryView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && isVisible())
        refreshAgainstNow();
}

void BackupHistoryView::refreshAgainstNow()
{
    if (!m_selected || m_selectedGone)
        return;
    m_filesPane->refreshComparison();
    if (isShowingVersions())
        m_versionsPane->refresh();
}

bool BackupHistoryView::isShowingVersions() const
{
    return m_filesStack->currentWidget() == m_versionsPane;
}

void BackupHistoryView::showFileVersions(const std::string &path)
{
    if (!m_selected || path.empty())
        return;
    m_versionsPane->showFile(path);
    m_filesStack->setCurrentWidget(m_versionsPane);
    m_versionsPane->versionList()->setFocus();
}

void BackupHistoryView::showFiles()
{
    const bool wasVersions = isShowingVersions();
    m_filesStack->setCurrentWidget(m_filesPane);
    if (wasVersions)
        m_filesPane->fileList()->setFocus();
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
    m_selectedGone = false;
    showFiles();
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
    m_selectedGone = false;
    m_scope = RestoreScopeOption::allFiles;
    m_scopeChoice->setCurrentIndex(0);
    showFiles();
    highlightSelection();
    showDetail();
}

void BackupHistoryView::rebuildList()
{
    m_rebuilding = true;
    m_model->reload();
    const SnapshotList &rows = m_model->snapshots();
    m_header->setText(QStringLiteral("バックアップ履歴 (%1)").arg(rows.size()));
    m_listStack->setCurrentWidget(rows.empty() ? m_emptyState : static_cast<QWidget *>(m_list));
    m_rebuilding = false;
    // The selection is the snapshot's id: a reload may bring its record back changed (read from the
    // store). One that is gone stays shown, saying so, and offers no restore.
    if (m_selected) {
        const int row = m_model->rowOf(m_selected->id);
        if (row < 0 && !m_selectedGone) {
            m_selectedGone = true;
            showDetail();
        } else if (row >= 0 && (m_selectedGone || !(rows[std::size_t(row)] == *m_selected))) {
            m_selected = rows[std::size_t(row)];
            m_selectedGone = false;
            showDetail();
        }
    }
    highlightSelection();
}

void BackupHistoryView::highlightSelection()
{
    m_rebuilding = true;
    int row = m_selected ? m_model->rowOf(m_selected->id) : -1;
    if (row >= 0 && !(m_model->snapshots()[std::size_t(row)] == *m_selected))
        row = -1; // the detail shows the record as it was; the list holds another one now
    m_list->setCurrentRow(row);
    if (row >= 0)
        m_list->scrollTo(m_model->index(row));
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
    m_goneLabel->setVisible(m_selectedGone);
    m_deleteButton->setEnabled(!m_selectedGone);
    updateRestoreButton();
    if (!m_selectedGone)
        m_filesPane->setSnapshot(s);
    m_detailStack->setCurrentIndex(1);
}

void BackupHistoryView::updateRestoreButton()
{
    // A snapshot gone from the store has nothing left to restore.
    const bool blocked = m_isRestoring || m_selectedGone;
    m_restoreButton->setEnabled(!blocked);
    m_restoreButton->setText(m_isRestoring ? QStringLiteral("復元中...") : QStringLiteral("復元を実行"));
    m_restoreSpinner->setSpinning(m_isRestoring);
    m_filesPane->setRestoring(blocked);
    m_versionsPane->setRestoring(m_isRestoring);
}

void BackupHistoryView::performRestore()
{
    if (!m_selected || m_isRestoring || m_selectedGone)
        return;
    // The scope of the question is the one restored, whatever the picker shows afterwards.
    const RestoreScopeOption scope = m_scope;
    if (!m_confirmRestore || !m_confirmRestore(this, *m_selected, scope))
        return;
    startRestore(*m_selected, std::nullopt);
}

void BackupHistoryView::performChosenRestore()
{
    const std::vector<std::string> paths = m_filesPane->chosenPaths();
    if (!m_selected || m_isRestoring || m_selectedGone || paths.empty())
        return;
    if (!m_confirmChosenRestore || !m_confirmChosenRestore(this, *m_selected, paths))
        return;
    startRestore(*m_selected, paths);
}

void BackupHistoryView::performVersionRestore()
{
    const auto version = m_versionsPane->chosenVersion();
    if (!version || m_isRestoring || !isShowingVersions())
        return;
    const std::vector<std::string> paths {m_versionsPane->path()};
    if (!m_confirmChosenRestore || !m_confirmChosenRestore(this, *version, paths))
        return;
    startRestore(*version, paths);
}

// The whole snapshot by the chosen scope, or the given paths only.
void BackupHistoryView::startRestore(const BackupSnapshot &snapshot, std::optional<std::vector<std::string>> paths)
{
    m_isRestoring = true;
    updateRestoreButton();
    QPointer<BackupHistoryView> self(this);
    auto done = [self](RestoreOutcome outcome, const std::string &message) {
        if (self)
            self->finishRestore(outcome, message);
    };
    if (paths)
        m_state.restoreFiles(snapshot, std::move(*paths), std::move(done));
    else
        m_state.restore(snapshot, m_scope, std::move(done));
}

void BackupHistoryView::finishRestore(RestoreOutcome outcome, const std::string &message)
{
    m_isRestoring = false;
    updateRestoreButton();
    switch (outcome) {
    case RestoreOutcome::complete:
        m_restoreMessage = QStringLiteral("正常に復元が完了したよ！");
        break;
    case RestoreOutcome::partial: // the counts of both kinds, as the restore gave them
        m_restoreMessage = QString::fromStdString(message);
        break;
    case RestoreOutcome::failed: // with the reason in full, which the status line may not hold
        m_restoreMessage = QStringLiteral("復元中にエラーが発生しました。\n\n") + QString::fromStdString(message);
        break;
    }
    if (m_alert)
        m_alert(this, QStringLiteral("復元結果"), m_restoreMessage);
}

void BackupHistoryView::deleteSelected()
{
    if (!m_selected || !m_confirm || !m_confirm(this, *m_selected))
        return;
    // A refused or failed deletion leaves the snapshot listed and selected; AppState gives the reason.
    m_state.deleteSnapshot(*m_selected, [page = QPointer<BackupHistoryView>(this)](const Result<void> &deleted) {
        if (BackupHistoryView *view = page.data(); view && deleted)
            view->selectNewest();
    });
}

void BackupHistoryView::selectNewest()
{
    const auto &left = m_state.snapshots();
    m_selected = left.empty() ? std::nullopt : std::optional<BackupSnapshot>(left.front());
    m_selectedGone = false;
    showFiles();
    highlightSelection();
    showDetail();
}

} // namespace velkaro
