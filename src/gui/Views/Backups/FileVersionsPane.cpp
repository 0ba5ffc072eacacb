#include "Views/Backups/FileVersionsPane.h"

#include "Platform/Formatters.h"
#include "Views/Backups/FileDiffView.h"
#include "Views/Common/Strings.h"
#include "Views/Common/Typography.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSplitter>
#include <QVBoxLayout>

namespace velkaro {

namespace {

constexpr int kRowIndexRole = Qt::UserRole + 1;

QString sizeOf(std::int64_t size, bool exact)
{
    return exact ? QLocale(QLocale::Japanese).toString(qlonglong(size)) + QStringLiteral(" バイト")
                 : qs(formatByteCount(size));
}

} // namespace

FileVersionsPane::FileVersionsPane(AppState &state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto *header = new QHBoxLayout();
    m_back = new QPushButton(QStringLiteral("← ファイル一覧"), this);
    m_back->setToolTip(QStringLiteral("含まれるファイルの一覧に戻るよ (Esc)"));
    header->addWidget(m_back);
    m_title = styledLabel(QString(), TextStyle::headline, this);
    m_title->setTextFormat(Qt::PlainText);
    header->addWidget(m_title, 1);
    layout->addLayout(header);

    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    m_list = new QListWidget(splitter);
    m_list->setAccessibleName(QStringLiteral("このファイルの版"));
    m_list->setFont(styledFont(QFont(), TextStyle::body, true));
    m_list->setMinimumHeight(60);
    splitter->addWidget(m_list);
    auto *lower = new QWidget(splitter);
    auto *lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->setSpacing(4);
    lowerLayout->addWidget(buildCompareRow());
    m_diff = new FileDiffView(lower);
    m_diff->setMinimumHeight(60);
    lowerLayout->addWidget(m_diff, 1);
    splitter->addWidget(lower);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);

    connect(m_back, &QPushButton::clicked, this, &FileVersionsPane::backRequested);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, &FileVersionsPane::backRequested);
    connect(m_list, &QListWidget::currentRowChanged, this, [this] {
        loadDiff();
        updateRestoreButton();
    });
    connect(m_restore, &QPushButton::clicked, this, &FileVersionsPane::restoreRequested);
    updateRestoreButton();
}

QWidget *FileVersionsPane::buildCompareRow()
{
    auto *row = new QWidget(this);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    m_againstNow = new QRadioButton(QStringLiteral("いまと比べる"), row);
    m_againstPrevious = new QRadioButton(QStringLiteral("前の版と比べる"), row);
    m_againstNow->setChecked(true);
    auto *group = new QButtonGroup(row);
    group->addButton(m_againstNow);
    group->addButton(m_againstPrevious);
    layout->addWidget(m_againstNow);
    layout->addWidget(m_againstPrevious);
    layout->addStretch();
    m_restore = new QPushButton(QStringLiteral("この版を復元"), row);
    m_restore->setToolTip(QStringLiteral("選んだ版のこのファイルだけを戻すよ"));
    layout->addWidget(m_restore);
    connect(group, &QButtonGroup::buttonToggled, this, [this](QAbstractButton *, bool checked) {
        if (checked)
            loadDiff();
    });
    return row;
}

QString FileVersionsPane::rowText(const AppState::FileVersionRow &row, bool exactSize)
{
    QString text = qs(row.snapshot.formattedDate()) + QStringLiteral("  ") + qs(rawValue(row.snapshot.triggerType))
        + QStringLiteral("  ") + sizeOf(row.size, exactSize);
    if (row.changes)
        text += QStringLiteral("  +%1 \u2212%2").arg(row.changes->added).arg(row.changes->removed);
    return text;
}

void FileVersionsPane::showFile(const std::string &path)
{
    m_path = path;
    m_keptId.reset();
    m_title->setText(qs(path) + QStringLiteral(" の履歴"));
    m_list->clear();
    m_rows.clear();
    m_diff->showNote(QStringLiteral("版をさがしてるよ…"));
    refresh();
}

void FileVersionsPane::refresh()
{
    if (m_path.empty())
        return;
    QPointer<FileVersionsPane> self(this);
    m_state.loadFileVersions(m_path, [self, path = m_path](const std::vector<AppState::FileVersionRow> &rows) {
        if (self)
            self->showVersions(path, rows);
    });
}

void FileVersionsPane::showVersions(const std::string &path, const std::vector<AppState::FileVersionRow> &rows)
{
    if (path != m_path)
        return;
    // The version chosen when the list comes back stays chosen (a refresh while the user moves on).
    if (const auto chosen = chosenVersion())
        m_keptId = chosen->id;
    m_rows = rows;
    const QSignalBlocker quiet(m_list);
    m_list->clear();
    int keep = m_rows.empty() ? -1 : 0;
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        // Exact bytes where a neighbour's rounded size reads the same but is not.
        bool exact = false;
        for (const std::size_t j : {i - 1, i + 1}) {
            if (j < m_rows.size() && m_rows[j].size != m_rows[i].size
                && formatByteCount(m_rows[j].size) == formatByteCount(m_rows[i].size))
                exact = true;
        }
        auto *item = new QListWidgetItem(rowText(m_rows[i], exact), m_list);
        item->setData(kRowIndexRole, int(i));
        item->setData(Qt::AccessibleTextRole, item->text());
        if (m_keptId && m_rows[i].snapshot.id == *m_keptId)
            keep = int(i);
    }
    m_list->setCurrentRow(keep);
    if (m_rows.empty())
        m_diff->showNote(QStringLiteral("このファイルはどのスナップショットにも残ってないよ。"));
    else
        loadDiff();
    updateRestoreButton();
}

std::optional<BackupSnapshot> FileVersionsPane::chosenVersion() const
{
    const int row = m_list->currentRow();
    if (row < 0 || std::size_t(row) >= m_rows.size())
        return std::nullopt;
    return m_rows[std::size_t(row)].snapshot;
}

void FileVersionsPane::loadDiff()
{
    const int row = m_list->currentRow();
    if (row < 0 || std::size_t(row) >= m_rows.size())
        return;
    std::optional<BackupSnapshot> previous;
    const bool againstPrevious = m_againstPrevious->isChecked();
    if (againstPrevious) {
        if (std::size_t(row) + 1 >= m_rows.size()) {
            m_diff->showNote(QStringLiteral("これがいちばん古い版だよ。前の版はないよ。"));
            return;
        }
        previous = m_rows[std::size_t(row) + 1].snapshot;
    }
    m_diff->setSideNames(againstPrevious ? QStringLiteral("前の版") : QStringLiteral("この版"),
        againstPrevious ? QStringLiteral("この版") : QStringLiteral("いま"));
    m_diff->showNote(QStringLiteral("読み込み中…"));
    QPointer<FileVersionsPane> self(this);
    const std::string id = m_rows[std::size_t(row)].snapshot.id;
    m_state.diffFileVersion(
        m_rows[std::size_t(row)].snapshot, previous, m_path, [self, id, againstPrevious](const CurrentFileDiff &diff) {
            if (FileVersionsPane *pane = self.data())
                pane->showDiffFor(id, againstPrevious, diff);
        });
}

void FileVersionsPane::showDiffFor(const std::string &id, bool againstPrevious, const CurrentFileDiff &diff)
{
    const auto chosen = chosenVersion();
    if (chosen && chosen->id == id && m_againstPrevious->isChecked() == againstPrevious)
        m_diff->showDiff(diff);
}

void FileVersionsPane::setRestoring(bool restoring)
{
    m_restoring = restoring;
    updateRestoreButton();
}

void FileVersionsPane::updateRestoreButton()
{
    m_restore->setEnabled(!m_restoring && chosenVersion().has_value());
}

} // namespace velkaro
