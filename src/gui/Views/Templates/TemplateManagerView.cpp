#include "Views/Templates/TemplateManagerView.h"

#include "Platform/Formatters.h"
#include "Services/AppState.h"
#include "Views/Common/Accessibility.h"
#include "Views/Common/Dialogs.h"
#include "Views/Common/ViewStyle.h"

#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

namespace velkaro {
namespace {

std::string ss(const QString &text)
{
    return text.toUtf8().toStdString();
}

const QString alertTitle = QStringLiteral("テンプレート操作");

QWidget *captioned(const QString &caption, QWidget *control, QWidget *parent)
{
    auto *box = new QWidget(parent);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto *label = new QLabel(caption, box);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setBuddy(control);
    layout->addWidget(label);
    layout->addWidget(control);
    return box;
}

// Roles of a row beside its accessible text (Qt::DisplayRole).
constexpr int kTitleRole = Qt::UserRole + 1;
constexpr int kDescriptionRole = Qt::UserRole + 2;
constexpr int kPresetRole = Qt::UserRole + 3;

// A template row: the title in bold with a "プリセット" capsule after it, below it the description in
// the secondary text colour, wrapped to at most two lines and elided.
class TemplateRowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem background = option;
        initStyleOption(&background, index);
        background.text.clear();
        const QWidget *widget = option.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

        const bool selected = option.state & QStyle::State_Selected;
        const QPalette &palette = option.palette;
        const QRect area = option.rect.adjusted(kPadding, kPadding, -kPadding, -kPadding);
        painter->save();

        QFont titleFont = option.font;
        titleFont.setBold(true);
        const QFontMetrics titleMetrics(titleFont);
        const bool preset = index.data(kPresetRole).toBool();
        const QString badge = QStringLiteral("プリセット");
        QFont badgeFont = option.font;
        badgeFont.setPointSizeF(option.font.pointSizeF() * 0.8);
        const QFontMetrics badgeMetrics(badgeFont);
        const int badgeWidth = preset ? badgeMetrics.horizontalAdvance(badge) + 12 : 0;
        const QString title = titleMetrics.elidedText(
            index.data(kTitleRole).toString(), Qt::ElideRight, area.width() - (preset ? badgeWidth + 6 : 0));
        painter->setFont(titleFont);
        painter->setPen(palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        const QRect titleRect(area.left(), area.top(), area.width(), titleMetrics.height());
        painter->drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter, title);

        if (preset) {
            const QRect pill(area.left() + titleMetrics.horizontalAdvance(title) + 6,
                titleRect.center().y() - badgeMetrics.height() / 2 - 1, badgeWidth, badgeMetrics.height() + 2);
            // Opaque, so it reads the same on a selected row.
            const BadgeColors colors = badgeColors(Tint::blue, palette);
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(Qt::NoPen);
            painter->setBrush(colors.fill);
            painter->drawRoundedRect(pill, pill.height() / 2.0, pill.height() / 2.0);
            painter->setFont(badgeFont);
            painter->setPen(colors.ink);
            painter->drawText(pill, Qt::AlignCenter, badge);
        }

        painter->setFont(option.font);
        QColor secondary = palette.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText);
        painter->setPen(secondary);
        const int line = lineHeight(option.font);
        const QStringList lines = twoLines(index.data(kDescriptionRole).toString(), option.font, area.width());
        for (qsizetype i = 0; i < lines.size(); ++i)
            painter->drawText(QRect(area.left(), titleRect.bottom() + 3 + int(i) * line, area.width(), line),
                Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const override
    {
        QFont titleFont = option.font;
        titleFont.setBold(true);
        return {0, 2 * kPadding + QFontMetrics(titleFont).height() + 3 + 2 * lineHeight(option.font)};
    }

private:
    static constexpr int kPadding = 6;

    // Japanese text comes from a fallback font, often taller than the primary one's line.
    static int lineHeight(const QFont &font)
    {
        const QFontMetrics metrics(font);
        return std::max(metrics.lineSpacing(), metrics.boundingRect(QStringLiteral("汎用あg")).height() + 2);
    }

    // The text broken where it would wrap, the second line elided: never more than two lines.
    static QStringList twoLines(const QString &text, const QFont &font, int width)
    {
        const QFontMetrics metrics(font);
        QTextLayout layout(text, font);
        layout.beginLayout();
        QTextLine first = layout.createLine();
        if (!first.isValid()) {
            layout.endLayout();
            return {text};
        }
        first.setLineWidth(width);
        const int rest = first.textStart() + first.textLength();
        layout.endLayout();
        if (rest >= text.size())
            return {text};
        return {text.left(rest).trimmed(), metrics.elidedText(text.mid(rest), Qt::ElideRight, width)};
    }
};

} // namespace

TemplateManagerView::TemplateManagerView(AppState &state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_alert([](QWidget *p, const QString &title, const QString &message) {
        QMessageBox::information(p, title, message, QMessageBox::Ok);
    })
    , m_confirm([](QWidget *p, const QString &title, const QString &message) {
        return askBeforeDeleting(p, QMessageBox::Question, title, message);
    })
    , m_askSave(askToSaveChanges)
{
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *splitter = new QSplitter(Qt::Horizontal, this);
    outer->addWidget(splitter);

    // The list pane.
    auto *left = new QWidget(splitter);
    // 240 rather than 260: beside the sidebar, the window's minimum width leaves 690 for both panes.
    left->setMinimumWidth(240);
    left->setMaximumWidth(320);
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->setSpacing(0);
    auto *headerRow = new QWidget(left);
    headerRow->setAutoFillBackground(true);
    headerRow->setBackgroundRole(QPalette::Base);
    auto *headerLayout = new QHBoxLayout(headerRow);
    headerLayout->setContentsMargins(14, 14, 14, 14);
    auto *listTitle = new QLabel(QStringLiteral("プロンプト一覧"), headerRow);
    QFont headline = listTitle->font();
    headline.setBold(true);
    listTitle->setFont(headline);
    headerLayout->addWidget(listTitle);
    headerLayout->addStretch();
    m_createButton = new QToolButton(headerRow);
    m_createButton->setAutoRaise(true);
    m_createButton->setText(QStringLiteral("+"));
    m_createButton->setIcon(QIcon::fromTheme(QStringLiteral("list-add")));
    m_createButton->setToolTip(QStringLiteral("新しいテンプレートを作成"));
    m_createButton->setAccessibleName(QStringLiteral("新しいテンプレートを作成"));
    headerLayout->addWidget(m_createButton);
    leftLayout->addWidget(headerRow);
    auto *line1 = new QFrame(left);
    line1->setFrameShape(QFrame::HLine);
    leftLayout->addWidget(line1);
    m_list = new QListWidget(left);
    m_list->setAccessibleName(QStringLiteral("プロンプト一覧"));
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setItemDelegate(new TemplateRowDelegate(m_list));
    leftLayout->addWidget(m_list, 1);
    auto *line2 = new QFrame(left);
    line2->setFrameShape(QFrame::HLine);
    leftLayout->addWidget(line2);
    m_importButton = new FlatButton(QStringLiteral("現在の GEMINI.md から取込"), left);
    m_importButton->setIcon(QIcon::fromTheme(QStringLiteral("document-import")));
    leftLayout->addWidget(m_importButton);

    // The editor pane.
    auto *right = new QWidget(splitter);
    right->setMinimumWidth(440);
    right->setAutoFillBackground(true);
    right->setBackgroundRole(QPalette::Window);
    auto *rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(20, 20, 20, 20);
    rightLayout->setSpacing(14);
    auto *editorHeader = new QHBoxLayout();
    m_header = new QLabel(right);
    QFont title3 = m_header->font();
    title3.setBold(true);
    title3.setPointSizeF(title3.pointSizeF() * 1.3);
    m_header->setFont(title3);
    editorHeader->addWidget(m_header);
    m_unsavedMark = new QLabel(QStringLiteral("未保存"), right);
    m_unsavedMark->setForegroundRole(QPalette::Highlight);
    m_unsavedMark->setVisible(false);
    editorHeader->addWidget(m_unsavedMark);
    editorHeader->addStretch(1);
    m_applyButton = new ProminentButton(QStringLiteral("GEMINI.md に適用"), Tint::green, right);
    m_applyButton->setIcon(
        QIcon::fromTheme(QStringLiteral("emblem-default"), style()->standardIcon(QStyle::SP_DialogApplyButton)));
    m_applyButton->setDefault(true);
    QFont semibold = m_applyButton->font();
    semibold.setWeight(QFont::DemiBold);
    m_applyButton->setFont(semibold);
    m_saveButton = new QPushButton(QStringLiteral("保存"), right);
    m_deleteButton = new QPushButton(right);
    m_deleteButton->setIcon(
        QIcon::fromTheme(QStringLiteral("edit-delete"), style()->standardIcon(QStyle::SP_TrashIcon)));
    if (m_deleteButton->icon().isNull())
        m_deleteButton->setText(QStringLiteral("削除"));
    m_deleteButton->setAccessibleName(QStringLiteral("削除"));
    m_deleteButton->setToolTip(QStringLiteral("削除"));
    editorHeader->addWidget(m_applyButton);
    editorHeader->addWidget(m_saveButton);
    editorHeader->addWidget(m_deleteButton);
    rightLayout->addLayout(editorHeader);

    m_titleField = new QLineEdit(right);
    m_titleField->setPlaceholderText(QStringLiteral("テンプレートタイトル"));
    m_titleField->setAccessibleName(QStringLiteral("タイトル"));
    m_kindChoice = new QComboBox(right);
    m_kindChoice->setAccessibleName(QStringLiteral("種別"));
    for (TemplateKind kind : allCases<TemplateKind>())
        m_kindChoice->addItem(qs(rawValue(kind)), int(kind));
    m_targetField = new QLineEdit(right);
    m_targetField->setPlaceholderText(QStringLiteral("GEMINI.md"));
    m_targetField->setAccessibleName(QStringLiteral("反映先ファイル名"));
    m_targetField->setFixedWidth(130);
    auto *fieldRow = new QHBoxLayout();
    fieldRow->setSpacing(12);
    fieldRow->addWidget(captioned(QStringLiteral("タイトル"), m_titleField, right), 1);
    fieldRow->addWidget(captioned(QStringLiteral("種別"), m_kindChoice, right));
    fieldRow->addWidget(captioned(QStringLiteral("反映先ファイル名"), m_targetField, right));
    rightLayout->addLayout(fieldRow);
    m_descriptionField = new QLineEdit(right);
    m_descriptionField->setPlaceholderText(QStringLiteral("テンプレートの説明や用途"));
    m_descriptionField->setAccessibleName(QStringLiteral("説明"));
    rightLayout->addWidget(captioned(QStringLiteral("説明"), m_descriptionField, right));
    m_contentEditor = new QPlainTextEdit(right);
    m_contentEditor->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_contentEditor->setAccessibleName(QStringLiteral("プロンプト本文 (Markdown)"));
    m_contentEditor->setBackgroundRole(QPalette::Base);
    m_contentEditor->document()->setDocumentMargin(8);
    auto *body = captioned(QStringLiteral("プロンプト本文 (Markdown)"), m_contentEditor, right);
    static_cast<QVBoxLayout *>(body->layout())->setSpacing(6);
    rightLayout->addWidget(body, 1);

    splitter->addWidget(left);
    splitter->addWidget(right);
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);

    setTabOrder(m_createButton, m_list);
    setTabOrder(m_list, m_importButton);
    // As on screen: the editor's header buttons stand above its fields.
    setTabOrder(m_importButton, m_applyButton);
    setTabOrder(m_applyButton, m_saveButton);
    setTabOrder(m_saveButton, m_deleteButton);
    setTabOrder(m_deleteButton, m_titleField);
    setTabOrder(m_titleField, m_kindChoice);
    setTabOrder(m_kindChoice, m_targetField);
    setTabOrder(m_targetField, m_descriptionField);
    setTabOrder(m_descriptionField, m_contentEditor);
    makeTabLeave(m_contentEditor);

    connect(m_createButton, &QToolButton::clicked, this, &TemplateManagerView::createTemplate);
    connect(m_importButton, &QPushButton::clicked, this, &TemplateManagerView::importTemplate);
    connect(m_applyButton, &QPushButton::clicked, this, &TemplateManagerView::applyTemplate);
    connect(m_saveButton, &QPushButton::clicked, this, &TemplateManagerView::saveTemplate);
    connect(m_deleteButton, &QPushButton::clicked, this, &TemplateManagerView::deleteTemplate);
    connect(m_titleField, &QLineEdit::textChanged, this, &TemplateManagerView::updateHeader);
    connect(m_titleField, &QLineEdit::textChanged, this, &TemplateManagerView::updateUnsavedMark);
    connect(m_descriptionField, &QLineEdit::textChanged, this, &TemplateManagerView::updateUnsavedMark);
    connect(m_targetField, &QLineEdit::textChanged, this, &TemplateManagerView::updateUnsavedMark);
    connect(m_contentEditor, &QPlainTextEdit::textChanged, this, &TemplateManagerView::updateUnsavedMark);
    connect(m_kindChoice, &QComboBox::currentIndexChanged, this, &TemplateManagerView::updateUnsavedMark);
    connect(m_list, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *item) {
        if (m_rebuilding || !item)
            return;
        const std::string id = ss(item->data(Qt::UserRole).toString());
        if (!hasUnsavedEdits()) {
            select(id);
            return;
        }
        // Asked once the click or key press is through, with the row put back first, so that
        // キャンセル leaves the list as it was.
        QMetaObject::invokeMethod(
            this,
            [this, id] {
                highlightSelected();
                if (settleEdits())
                    select(id);
            },
            Qt::QueuedConnection);
    });
    connect(&m_state, &AppState::templatesChanged, this, [this] {
        rebuildList();
        updateUnsavedMark();
    });

    rebuildList();
    m_deleteButton->setVisible(true);
    updateHeader();
    passWheelUnlessFocused(this);
}

void TemplateManagerView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    // Shown anew: the editing copy starts over from the first template.
    m_selectedId.reset();
    m_isPreset = false;
    m_titleField->clear();
    m_descriptionField->clear();
    m_contentEditor->clear();
    m_kindChoice->setCurrentIndex(m_kindChoice->findData(int(TemplateKind::custom)));
    m_targetField->setText(QStringLiteral("GEMINI.md"));
    m_deleteButton->setVisible(true);
    rebuildList();
    if (!m_state.templates().empty())
        select(m_state.templates().front().id);
}

void TemplateManagerView::rebuildList()
{
    m_rebuilding = true;
    m_list->clear();
    for (const PromptTemplate &tmpl : m_state.templates()) {
        // The display text is what a screen reader reads; the delegate paints the parts.
        QString text = qs(tmpl.title);
        if (tmpl.isPresetTemplate)
            text += QStringLiteral(" プリセット");
        text += QLatin1Char('\n') + qs(tmpl.descriptionText);
        auto *item = new QListWidgetItem(text, m_list);
        item->setData(Qt::UserRole, qs(tmpl.id));
        item->setData(kTitleRole, qs(tmpl.title));
        item->setData(kDescriptionRole, qs(tmpl.descriptionText));
        item->setData(kPresetRole, tmpl.isPresetTemplate);
        item->setToolTip(qs(tmpl.descriptionText));
        if (m_selectedId && tmpl.id == *m_selectedId)
            m_list->setCurrentItem(item);
    }
    m_rebuilding = false;
}

void TemplateManagerView::select(const std::string &id)
{
    const auto &all = m_state.templates();
    auto it = std::ranges::find(all, id, &PromptTemplate::id);
    if (it == all.end())
        return;
    m_selectedId = id;
    m_isPreset = it->isPresetTemplate;
    m_titleField->setText(qs(it->title));
    m_descriptionField->setText(qs(it->descriptionText));
    m_contentEditor->setPlainText(qs(it->promptContent));
    m_kindChoice->setCurrentIndex(m_kindChoice->findData(int(it->kind)));
    m_targetField->setText(qs(it->targetFileName));
    m_deleteButton->setVisible(!m_isPreset);
    highlightSelected();
    updateHeader();
    updateUnsavedMark();
}

void TemplateManagerView::highlightSelected()
{
    if (!m_selectedId)
        return;
    m_rebuilding = true;
    for (int row = 0; row < m_list->count(); ++row) {
        if (m_list->item(row)->data(Qt::UserRole).toString() == qs(*m_selectedId))
            m_list->setCurrentRow(row);
    }
    m_rebuilding = false;
}

bool TemplateManagerView::settleEdits()
{
    if (!hasUnsavedEdits())
        return true;
    switch (m_askSave ? m_askSave(this, alertTitle) : SaveAnswer::cancel) {
    case SaveAnswer::save:
        // A library file that cannot be written is told; the running application has the edits.
        storeEditingCopy(false);
        return true;
    case SaveAnswer::discard:
        select(*m_selectedId); // the stored record again
        return true;
    case SaveAnswer::cancel:
        break;
    }
    return false;
}

void TemplateManagerView::updateHeader()
{
    const QString title = m_titleField->text();
    m_header->setText(title.isEmpty() ? QStringLiteral("テンプレート編集") : title);
}

bool TemplateManagerView::hasUnsavedEdits() const
{
    if (!m_selectedId)
        return false;
    const auto &all = m_state.templates();
    auto it = std::ranges::find(all, *m_selectedId, &PromptTemplate::id);
    if (it == all.end())
        return true;
    return ss(m_titleField->text()) != it->title || ss(m_descriptionField->text()) != it->descriptionText
        || ss(m_contentEditor->toPlainText()) != it->promptContent
        || TemplateKind(m_kindChoice->currentData().toInt()) != it->kind
        || ss(m_targetField->text()) != it->targetFileName;
}

void TemplateManagerView::updateUnsavedMark()
{
    m_unsavedMark->setVisible(hasUnsavedEdits());
}

void TemplateManagerView::showAlert(const QString &message)
{
    if (m_alert)
        m_alert(this, alertTitle, message);
}

void TemplateManagerView::createTemplate()
{
    if (!settleEdits())
        return;
    const TimePoint now = currentTime();
    PromptTemplate tmpl(makeUUID(), "新規プロンプトテンプレート", "カスタムプロンプトの説明を入力してね",
        "# カスタムプロンプト\n\nここにルールや指示を記述します。", TemplateKind::custom, "GEMINI.md", false, now, now);
    const auto stored = m_state.saveTemplate(tmpl);
    select(tmpl.id);
    if (!stored)
        showAlert(QStringLiteral("保存失敗: ") + qs(stored.error().description));
}

void TemplateManagerView::saveTemplate()
{
    storeEditingCopy(true);
}

bool TemplateManagerView::storeEditingCopy(bool tell)
{
    if (!m_selectedId)
        return false;
    const TimePoint now = currentTime();
    // A stored template keeps the time it was created.
    const auto &all = m_state.templates();
    auto stored = std::ranges::find(all, *m_selectedId, &PromptTemplate::id);
    const TimePoint createdAt = stored != all.end() ? stored->createdAt : now;
    PromptTemplate tmpl(*m_selectedId, ss(m_titleField->text()), ss(m_descriptionField->text()),
        ss(m_contentEditor->toPlainText()), TemplateKind(m_kindChoice->currentData().toInt()),
        ss(m_targetField->text()), m_isPreset, createdAt, now);
    const auto written = m_state.saveTemplate(tmpl);
    if (!written)
        showAlert(QStringLiteral("保存失敗: ") + qs(written.error().description));
    else if (tell)
        showAlert(QStringLiteral("テンプレートを保存したよ！"));
    return written.has_value();
}

void TemplateManagerView::applyTemplate()
{
    // What is applied is what the editor shows: unsaved edits are saved or dropped first.
    if (!m_selectedId || !settleEdits())
        return;
    const auto &all = m_state.templates();
    auto it = std::ranges::find(all, *m_selectedId, &PromptTemplate::id);
    if (it == all.end())
        return;
    const PromptTemplate stored = *it;
    if (m_state.applyTemplateToCurrent(stored))
        showAlert(QStringLiteral("「") + qs(stored.title) + QStringLiteral("」を ") + qs(stored.targetFileName)
            + QStringLiteral(" に適用したよ！"));
    else
        showAlert(QStringLiteral("適用に失敗しました。"));
}

void TemplateManagerView::deleteTemplate()
{
    if (!m_selectedId)
        return;
    const auto &all = m_state.templates();
    auto it = std::ranges::find(all, *m_selectedId, &PromptTemplate::id);
    if (it != all.end() && it->isPresetTemplate)
        return; // presets stay
    if (!settleEdits())
        return;
    const auto &now = m_state.templates();
    auto current = std::ranges::find(now, *m_selectedId, &PromptTemplate::id);
    const QString title = current != now.end() ? qs(current->title) : m_titleField->text();
    if (m_confirm
        && !m_confirm(
            this, alertTitle, QStringLiteral("テンプレート「") + title + QStringLiteral("」を削除しますか？")))
        return;
    const auto stored = m_state.deleteTemplate(*m_selectedId);
    if (!m_state.templates().empty())
        select(m_state.templates().front().id);
    if (!stored)
        showAlert(QStringLiteral("保存失敗: ") + qs(stored.error().description));
}

void TemplateManagerView::importTemplate()
{
    if (m_state.config().sourceDirectories.empty() || !settleEdits())
        return;
    if (auto imported = m_state.importCurrentPrompt()) {
        select(imported->imported.id);
        if (imported->stored)
            showAlert(QStringLiteral("現在の GEMINI.md をテンプレートとして取り込みました！"));
        else
            showAlert(QStringLiteral("保存失敗: ") + qs(imported->stored.error().description));
    } else {
        showAlert(QStringLiteral("GEMINI.md が見つかりませんでした。"));
    }
}

} // namespace velkaro
