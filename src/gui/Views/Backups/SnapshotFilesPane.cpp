#include "Views/Backups/SnapshotFilesPane.h"

#include "App/AppState.h"
#include "Views/Backups/FileDiffView.h"
#include "Views/Common/Icons.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Common/Typography.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace velkaro {
namespace {

QString pendingNote()
{
    return QStringLiteral("ファイルを選ぶと、いまとの違いがここに出るよ。");
}

// The recorded path as the snapshot holds it; the item's text is only its display.
std::string pathOf(const QListWidgetItem *item)
{
    return item->data(SnapshotFilesPane::PathRole).toByteArray().toStdString();
}

std::optional<Tint> markTint(int state)
{
    switch (state) {
    case int(CompareState::unchanged):
        return Tint::secondary;
    case int(CompareState::changed):
        return Tint::orange;
    case int(CompareState::removed):
        return Tint::red;
    case int(CompareState::missing):
    case int(CompareState::unreadable):
        return Tint::purple;
    default:
        return std::nullopt;
    }
}

// Paints a file row as usual, with its mark as a small pill at the right end; the path gives way first.
class FileMarkDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const int state = index.data(SnapshotFilesPane::MarkRole).toInt();
        const auto tint = markTint(state);
        if (!tint) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QFont font = styledFont(option.font, TextStyle::caption2);
        font.setWeight(QFont::Medium);
        const QString text = SnapshotFilesPane::markText(CompareState(state));
        const QFontMetrics metrics(font);
        const int pillWidth = metrics.horizontalAdvance(text) + 12;
        const int pillHeight = metrics.height() + 4;
        // The path's part of the row ends before the pill; the row's highlight still spans it all.
        QStyleOptionViewItem rest = option;
        rest.rect.setRight(option.rect.right() - pillWidth - 8);
        option.widget->style()->drawPrimitive(QStyle::PE_PanelItemViewItem, &option, painter, option.widget);
        QStyledItemDelegate::paint(painter, rest, index);
        const QRect pill(
            option.rect.right() - pillWidth - 4, option.rect.center().y() - pillHeight / 2 + 1, pillWidth, pillHeight);
        const BadgeColors colors = badgeColors(*tint, option.palette);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(colors.fill);
        painter->drawRoundedRect(QRectF(pill), 4, 4);
        painter->setPen(colors.ink);
        painter->setFont(font);
        painter->drawText(pill, Qt::AlignCenter, text);
        painter->restore();
    }
};

} // namespace

QString SnapshotFilesPane::markText(CompareState state)
{
    switch (state) {
    case CompareState::unchanged:
        return QStringLiteral("同じ");
    case CompareState::changed:
        return QStringLiteral("変更あり");
    case CompareState::removed:
        return QStringLiteral("いまはない");
    case CompareState::missing:
        return QStringLiteral("データなし");
    case CompareState::unreadable:
        return QStringLiteral("読み込めない");
    case CompareState::added:
        break;
    }
    return {};
}

SnapshotFilesPane::SnapshotFilesPane(AppState &state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto *header = new QHBoxLayout();
    m_filesHeader = styledLabel(QString(), TextStyle::headline, this);
    header->addWidget(m_filesHeader, 1);
    m_chosenCount = styledLabel(QString(), TextStyle::caption, this, true);
    header->addWidget(m_chosenCount);
    layout->addLayout(header);

    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(buildList());
    m_diffView = new FileDiffView(splitter);
    m_diffView->setMinimumHeight(60);
    splitter->addWidget(m_diffView);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);
    connect(m_restoreChosen, &QPushButton::clicked, this, &SnapshotFilesPane::restoreChosenRequested);
    connect(m_fileList, &QListWidget::itemSelectionChanged, this, &SnapshotFilesPane::updateRestoreButton);
    connect(m_fileList, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *current) {
        loadCurrentFileDiff();
        updateRestoreButton();
        if (current)
            emit fileChosen();
    });
    updateRestoreButton();
}

QWidget *SnapshotFilesPane::buildList()
{
    auto *box = new QWidget(this);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    m_fileList = new QListWidget(box);
    m_fileList->setAlternatingRowColors(true);
    m_fileList->setAccessibleName(QStringLiteral("含まれるファイル"));
    m_fileList->setFont(styledFont(QFont(), TextStyle::body, true));
    m_fileList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_fileList->setItemDelegate(new FileMarkDelegate(m_fileList));
    m_fileList->setMinimumHeight(60);
    layout->addWidget(m_fileList, 1);
    layout->addLayout(buildButtons());
    m_onlyNow = styledLabel(QString(), TextStyle::caption, box, true);
    m_onlyNow->setWordWrap(true);
    layout->addWidget(m_onlyNow);
    return box;
}

// Under the list: the current file's versions and the restore of the chosen files, also in the list's
// context menu; Ctrl+H opens the versions from the keyboard.
QLayout *SnapshotFilesPane::buildButtons()
{
    auto *row = new QHBoxLayout();
    row->setSpacing(8);
    m_historyButton = new QPushButton(QStringLiteral("このファイルの履歴"), this);
    m_historyButton->setToolTip(QStringLiteral("選んだファイルの版を、新しい順に見るよ (Ctrl+H)"));
    row->addWidget(m_historyButton);
    m_restoreChosen = new QPushButton(QStringLiteral("選択したファイルを復元"), this);
    m_restoreChosen->setToolTip(QStringLiteral("一覧で選んだファイルだけを、このスナップショットから戻すよ"));
    row->addWidget(m_restoreChosen);
    row->addStretch();
    m_historyAction = new QAction(QStringLiteral("このファイルの履歴"), m_fileList);
    m_historyAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    m_historyAction->setShortcutContext(Qt::WidgetShortcut);
    auto *restoreAction = new QAction(QStringLiteral("選択したファイルを復元"), m_fileList);
    m_fileList->addAction(m_historyAction);
    m_fileList->addAction(restoreAction);
    m_fileList->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_historyButton, &QPushButton::clicked, this, &SnapshotFilesPane::requestHistory);
    connect(m_historyAction, &QAction::triggered, this, &SnapshotFilesPane::requestHistory);
    connect(restoreAction, &QAction::triggered, this, &SnapshotFilesPane::restoreChosenRequested);
    return row;
}

std::string SnapshotFilesPane::currentPath() const
{
    const QListWidgetItem *item = m_fileList->currentItem();
    return item ? pathOf(item) : std::string();
}

void SnapshotFilesPane::requestHistory()
{
    if (const std::string path = currentPath(); !path.empty())
        emit historyRequested(path);
}

void SnapshotFilesPane::setSnapshot(const std::optional<BackupSnapshot> &snapshot)
{
    const bool another = !snapshot || !m_snapshot || snapshot->id != m_snapshot->id;
    m_snapshot = snapshot;
    fillList();
    // Another snapshot's files start at the top, not where the last one's list was left.
    if (another)
        m_fileList->scrollToTop();
    refreshComparison();
}

void SnapshotFilesPane::fillList()
{
    m_fileList->clear();
    if (!m_snapshot)
        return;
    const BackupSnapshot &s = *m_snapshot;
    m_filesHeader->setText(QStringLiteral("含まれるファイル (%1 件)").arg(s.relativeFilePaths.size()));
    const QIcon doc = themedIcon({"text-x-generic-symbolic", "text-x-generic"}, QStyle::SP_FileIcon);
    const QIcon gear = themedIcon({"emblem-system-symbolic", "preferences-system"}, QStyle::SP_FileDialogDetailedView);
    const int size = m_fileList->fontMetrics().height() - 2;
    for (const std::string &path : s.relativeFilePaths) {
        const bool markdown = path.ends_with(".md");
        const Tint tint = markdown ? Tint::blue : Tint::secondary;
        auto *item = new QListWidgetItem(
            QIcon(tintedPixmap(markdown ? doc : gear, size, tintColor(tint, palette()), devicePixelRatioF())), qs(path),
            m_fileList);
        item->setData(FileTintRole, int(tint));
        item->setData(MarkRole, -1);
        item->setData(PathRole, QByteArray::fromStdString(path));
        item->setSizeHint(QSize(item->sizeHint().width(), m_fileList->fontMetrics().height() + 8));
    }
}

void SnapshotFilesPane::refreshComparison()
{
    m_diffView->showNote(pendingNote());
    if (!m_snapshot)
        return;
    m_onlyNow->setText(QStringLiteral("いまのファイルと比べてるよ…"));
    QPointer<SnapshotFilesPane> self(this);
    const std::string id = m_snapshot->id;
    m_state.compareWithCurrentFiles(*m_snapshot, [self, id](const CurrentFilesComparison &comparison) {
        if (self)
            self->showComparison(id, comparison);
    });
    loadCurrentFileDiff();
}

void SnapshotFilesPane::showComparison(const std::string &id, const CurrentFilesComparison &comparison)
{
    // AppState drops superseded requests; this drops what is for a snapshot no longer shown.
    if (!m_snapshot || m_snapshot->id != id)
        return;
    for (int i = 0; i < m_fileList->count(); ++i) {
        QListWidgetItem *item = m_fileList->item(i);
        const auto found = comparison.marks.find(pathOf(item));
        const int state = found == comparison.marks.end() ? -1 : int(found->second);
        item->setData(MarkRole, state);
        const QString mark = state < 0 ? QString() : markText(CompareState(state));
        item->setData(
            Qt::AccessibleTextRole, mark.isEmpty() ? item->text() : item->text() + QStringLiteral("、") + mark);
        item->setToolTip(item->data(Qt::AccessibleTextRole).toString());
    }
    m_onlyNow->setText(comparison.onlyNowCount == 0
            ? QStringLiteral("いまのファイルは、ぜんぶこのスナップショットに入ってるよ。")
            : QStringLiteral(
                "このスナップショットにない今のファイルが %1 件あるよ。復元してもそのまま残るから安心してね。")
                  .arg(comparison.onlyNowCount));
}

void SnapshotFilesPane::loadCurrentFileDiff()
{
    QListWidgetItem *item = m_fileList->currentItem();
    if (!m_snapshot || !item) {
        m_diffView->showNote(pendingNote());
        return;
    }
    m_diffView->showNote(QStringLiteral("読み込み中…"));
    QPointer<SnapshotFilesPane> self(this);
    const std::string id = m_snapshot->id;
    const std::string path = pathOf(item);
    m_state.diffWithCurrentFile(*m_snapshot, path, [self, id, path](const CurrentFileDiff &diff) {
        if (self)
            self->showFileDiff(id, path, diff);
    });
}

void SnapshotFilesPane::showFileDiff(const std::string &id, const std::string &path, const CurrentFileDiff &diff)
{
    const QListWidgetItem *item = m_fileList->currentItem();
    if (!m_snapshot || m_snapshot->id != id || !item || pathOf(item) != path)
        return;
    m_diffView->showDiff(diff);
}

void SnapshotFilesPane::setRestoring(bool restoring)
{
    m_restoring = restoring;
    updateRestoreButton();
}

std::vector<std::string> SnapshotFilesPane::chosenPaths() const
{
    std::vector<std::string> paths;
    for (int i = 0; i < m_fileList->count(); ++i) {
        if (m_fileList->item(i)->isSelected())
            paths.push_back(pathOf(m_fileList->item(i)));
    }
    return paths;
}

void SnapshotFilesPane::updateRestoreButton()
{
    const auto chosen = m_fileList->selectedItems().size();
    m_restoreChosen->setEnabled(!m_restoring && chosen > 0);
    m_restoreChosen->setText(
        chosen > 0 ? QStringLiteral("選択した %1 件を復元").arg(chosen) : QStringLiteral("選択したファイルを復元"));
    m_chosenCount->setText(chosen > 0 ? QStringLiteral("%1 件選択中").arg(chosen) : QString());
    for (QAction *action : m_fileList->actions()) {
        if (action != m_historyAction)
            action->setEnabled(m_restoreChosen->isEnabled());
    }
    m_historyButton->setEnabled(m_fileList->currentItem() != nullptr);
    m_historyAction->setEnabled(m_historyButton->isEnabled());
}

} // namespace velkaro
