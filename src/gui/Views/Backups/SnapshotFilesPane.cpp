#include "Views/Backups/SnapshotFilesPane.h"

#include "Services/AppState.h"
#include "Views/Backups/FileDiffView.h"
#include "Views/Common/ViewStyle.h"

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
    layout->setSpacing(8);
    auto *header = new QHBoxLayout();
    m_filesHeader = styledLabel(QString(), TextStyle::headline, this);
    header->addWidget(m_filesHeader, 1);
    m_restoreChosen = new QPushButton(QStringLiteral("選択したファイルを復元"), this);
    m_restoreChosen->setToolTip(QStringLiteral("一覧で選んだファイルだけを、このスナップショットから戻すよ"));
    header->addWidget(m_restoreChosen);
    layout->addLayout(header);

    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(buildList());
    m_diffView = new FileDiffView(splitter);
    m_diffView->setMinimumHeight(60);
    splitter->addWidget(m_diffView);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);
    // Room for a few files and a dozen lines of diff; the page scrolls for the rest.
    setMinimumHeight(fontMetrics().height() * 22);

    connect(m_restoreChosen, &QPushButton::clicked, this, &SnapshotFilesPane::restoreChosenRequested);
    connect(m_fileList, &QListWidget::itemSelectionChanged, this, &SnapshotFilesPane::updateRestoreButton);
    connect(m_fileList, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *current) {
        loadCurrentFileDiff();
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
    m_onlyNow = styledLabel(QString(), TextStyle::caption, box, true);
    m_onlyNow->setWordWrap(true);
    layout->addWidget(m_onlyNow);
    return box;
}

void SnapshotFilesPane::setSnapshot(const std::optional<BackupSnapshot> &snapshot)
{
    m_snapshot = snapshot;
    fillList();
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
    m_restoreChosen->setEnabled(!m_restoring && !m_fileList->selectedItems().isEmpty());
}

} // namespace velkaro
