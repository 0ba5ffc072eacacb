#include "Views/Templates/TemplateManagerView.h"

#include "App/AppState.h"
#include "Services/TemplateApply.h"
#include "Views/Common/Accessibility.h"
#include "Views/Common/Dialogs.h"
#include "Views/Common/PageLayout.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Common/Typography.h"
#include "Views/Templates/TemplateRowDelegate.h"
#include "Views/Widgets/ElidedLabel.h"
#include "Views/Widgets/FlatButton.h"
#include "Views/Widgets/ProminentButton.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace velkaro {
namespace {

const QString alertTitle = QStringLiteral("テンプレート操作");

QString saveFailedText(const Error &error)
{
    return QStringLiteral("保存失敗: ") + qs(error.description);
}

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    return line;
}

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
    splitter->addWidget(buildListPane(splitter));
    splitter->addWidget(buildEditorPane(splitter));
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);

    setUpTabOrder();
    connectControls();
    rebuildList();
    m_deleteButton->setVisible(true);
    updateHeader();
    passWheelUnlessFocused(this);
}

QWidget *TemplateManagerView::buildListPane(QWidget *parent)
{
    auto *pane = new QWidget(parent);
    // 240 rather than 260: beside the sidebar, the window's minimum width leaves 690 for both panes.
    pane->setMinimumWidth(240);
    pane->setMaximumWidth(320);
    auto *layout = insetLayout(pane, 0, 0);

    auto *header = new QWidget(pane);
    header->setAutoFillBackground(true);
    header->setBackgroundRole(QPalette::Base);
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(14, 14, 14, 14);
    headerLayout->addWidget(styledLabel(QStringLiteral("プロンプト一覧"), TextStyle::headline, header));
    headerLayout->addStretch();
    m_createButton = new QToolButton(header);
    m_createButton->setAutoRaise(true);
    m_createButton->setText(QStringLiteral("+"));
    m_createButton->setIcon(QIcon::fromTheme(QStringLiteral("list-add")));
    m_createButton->setToolTip(QStringLiteral("新しいテンプレートを作成"));
    m_createButton->setAccessibleName(QStringLiteral("新しいテンプレートを作成"));
    headerLayout->addWidget(m_createButton);
    layout->addWidget(header);
    layout->addWidget(divider(pane));

    m_list = new QListWidget(pane);
    m_list->setAccessibleName(QStringLiteral("プロンプト一覧"));
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setItemDelegate(new TemplateRowDelegate(m_list));
    layout->addWidget(m_list, 1);
    layout->addWidget(divider(pane));
    m_importButton = new FlatButton(QStringLiteral("現在の GEMINI.md から取込"), pane);
    m_importButton->setIcon(QIcon::fromTheme(QStringLiteral("document-import")));
    layout->addWidget(m_importButton);
    return pane;
}

QWidget *TemplateManagerView::buildEditorPane(QWidget *parent)
{
    auto *pane = new QWidget(parent);
    pane->setMinimumWidth(440);
    pane->setAutoFillBackground(true);
    pane->setBackgroundRole(QPalette::Window);
    QVBoxLayout *layout = insetLayout(pane, 20, 14);
    layout->addLayout(buildEditorHeader(pane));

    m_titleField = new QLineEdit(pane);
    m_titleField->setPlaceholderText(QStringLiteral("テンプレートタイトル"));
    m_titleField->setAccessibleName(QStringLiteral("タイトル"));
    m_kindChoice = new QComboBox(pane);
    m_kindChoice->setAccessibleName(QStringLiteral("種別"));
    for (TemplateKind kind : allCases<TemplateKind>())
        m_kindChoice->addItem(qs(rawValue(kind)), int(kind));
    m_targetField = new QLineEdit(pane);
    m_targetField->setPlaceholderText(QStringLiteral("GEMINI.md"));
    m_targetField->setAccessibleName(QStringLiteral("反映先ファイル名"));
    m_targetField->setFixedWidth(130);
    // The title has the row to itself: a long Japanese title shows whole beside no other field.
    layout->addWidget(labelledField(QStringLiteral("タイトル"), m_titleField, pane));
    auto *fieldRow = new QHBoxLayout();
    fieldRow->setSpacing(12);
    fieldRow->addWidget(labelledField(QStringLiteral("種別"), m_kindChoice, pane));
    fieldRow->addWidget(labelledField(QStringLiteral("反映先ファイル名"), m_targetField, pane));
    fieldRow->addStretch(1);
    layout->addLayout(fieldRow);

    m_descriptionField = new QLineEdit(pane);
    m_descriptionField->setPlaceholderText(QStringLiteral("テンプレートの説明や用途"));
    m_descriptionField->setAccessibleName(QStringLiteral("説明"));
    layout->addWidget(labelledField(QStringLiteral("説明"), m_descriptionField, pane));
    m_contentEditor = new QPlainTextEdit(pane);
    m_contentEditor->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_contentEditor->setAccessibleName(QStringLiteral("プロンプト本文 (Markdown)"));
    m_contentEditor->setBackgroundRole(QPalette::Base);
    m_contentEditor->document()->setDocumentMargin(8);
    layout->addWidget(labelledField(QStringLiteral("プロンプト本文 (Markdown)"), m_contentEditor, pane, 6), 1);
    return pane;
}

QHBoxLayout *TemplateManagerView::buildEditorHeader(QWidget *pane)
{
    auto *header = new QHBoxLayout();
    // A long title is cut, never pushing the buttons out of the pane.
    m_header = new ElidedLabel(pane);
    applyTextStyle(m_header, TextStyle::title3, QFont::Bold);
    header->addWidget(m_header, 1);
    m_unsavedMark = new QLabel(QStringLiteral("未保存"), pane);
    m_unsavedMark->setForegroundRole(QPalette::Highlight);
    m_unsavedMark->setVisible(false);
    header->addWidget(m_unsavedMark);
    m_applyButton = new ProminentButton(QStringLiteral("GEMINI.md に適用"), Tint::green, pane);
    m_applyButton->setIcon(
        QIcon::fromTheme(QStringLiteral("emblem-default"), style()->standardIcon(QStyle::SP_DialogApplyButton)));
    m_applyButton->setDefault(true);
    applyTextStyle(m_applyButton, TextStyle::body, QFont::DemiBold);
    m_saveButton = new QPushButton(QStringLiteral("保存"), pane);
    m_deleteButton = new QPushButton(pane);
    m_deleteButton->setIcon(
        QIcon::fromTheme(QStringLiteral("edit-delete"), style()->standardIcon(QStyle::SP_TrashIcon)));
    if (m_deleteButton->icon().isNull())
        m_deleteButton->setText(QStringLiteral("削除"));
    m_deleteButton->setAccessibleName(QStringLiteral("削除"));
    m_deleteButton->setToolTip(QStringLiteral("削除"));
    header->addWidget(m_applyButton);
    header->addWidget(m_saveButton);
    header->addWidget(m_deleteButton);
    return header;
}

void TemplateManagerView::setUpTabOrder()
{
    // As on screen: the editor's header buttons stand above its fields.
    QWidget *const order[] = {m_createButton, m_list, m_importButton, m_applyButton, m_saveButton, m_deleteButton,
        m_titleField, m_kindChoice, m_targetField, m_descriptionField, m_contentEditor};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    makeTabLeave(m_contentEditor);
}

void TemplateManagerView::connectControls()
{
    connect(m_createButton, &QToolButton::clicked, this, &TemplateManagerView::createTemplate);
    connect(m_importButton, &QPushButton::clicked, this, &TemplateManagerView::importTemplate);
    connect(m_applyButton, &QPushButton::clicked, this, &TemplateManagerView::applyTemplate);
    connect(m_saveButton, &QPushButton::clicked, this, &TemplateManagerView::saveTemplate);
    connect(m_deleteButton, &QPushButton::clicked, this, &TemplateManagerView::deleteTemplate);
    connect(m_titleField, &QLineEdit::textChanged, this, &TemplateManagerView::updateHeader);
    for (QLineEdit *field : {m_titleField, m_descriptionField, m_targetField})
        connect(field, &QLineEdit::textChanged, this, &TemplateManagerView::updateUnsavedMark);
    connect(m_contentEditor, &QPlainTextEdit::textChanged, this, &TemplateManagerView::updateUnsavedMark);
    connect(m_kindChoice, &QComboBox::currentIndexChanged, this, &TemplateManagerView::updateUnsavedMark);
    connect(m_list, &QListWidget::currentItemChanged, this, &TemplateManagerView::rowChosen);
    // One apply at a time, wherever it was started (the tray too).
    connect(&m_state, &AppState::templateApplyChanged, this,
        [this] { m_applyButton->setEnabled(!m_state.isApplyingTemplate()); });
    connect(&m_state, &AppState::templatesChanged, this, [this] {
        rebuildList();
        updateUnsavedMark();
    });
}

void TemplateManagerView::rowChosen(QListWidgetItem *item)
{
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
        item->setData(TemplateRowDelegate::kTitleRole, qs(tmpl.title));
        item->setData(TemplateRowDelegate::kDescriptionRole, qs(tmpl.descriptionText));
        item->setData(TemplateRowDelegate::kPresetRole, tmpl.isPresetTemplate);
        item->setToolTip(qs(tmpl.descriptionText));
        if (m_selectedId && tmpl.id == *m_selectedId)
            m_list->setCurrentItem(item);
    }
    m_rebuilding = false;
}

const PromptTemplate *TemplateManagerView::storedTemplate(const std::string &id) const
{
    const auto &all = m_state.templates();
    auto it = std::ranges::find(all, id, &PromptTemplate::id);
    return it != all.end() ? &*it : nullptr;
}

void TemplateManagerView::select(const std::string &id)
{
    const PromptTemplate *it = storedTemplate(id);
    if (!it)
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
    m_header->setFullText(title.isEmpty() ? QStringLiteral("テンプレート編集") : title);
}

bool TemplateManagerView::hasUnsavedEdits() const
{
    if (!m_selectedId)
        return false;
    const PromptTemplate *it = storedTemplate(*m_selectedId);
    if (!it)
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
    const AddedTemplate created = m_state.createTemplate();
    select(created.added.id);
    if (!created.stored)
        showAlert(saveFailedText(created.stored.error()));
}

void TemplateManagerView::saveTemplate()
{
    storeEditingCopy(true);
}

bool TemplateManagerView::storeEditingCopy(bool tell)
{
    if (!m_selectedId)
        return false;
    const TemplateEdits edits {ss(m_titleField->text()), ss(m_descriptionField->text()),
        ss(m_contentEditor->toPlainText()), TemplateKind(m_kindChoice->currentData().toInt()),
        ss(m_targetField->text())};
    const auto written = m_state.saveTemplateEdits(*m_selectedId, edits, m_isPreset);
    if (!written)
        showAlert(saveFailedText(written.error()));
    else if (tell)
        showAlert(QStringLiteral("テンプレートを保存したよ！"));
    return written.has_value();
}

void TemplateManagerView::applyTemplate()
{
    // What is applied is what the editor shows: unsaved edits are saved or dropped first.
    if (!m_selectedId || m_state.isApplyingTemplate() || !settleEdits())
        return;
    const PromptTemplate *it = storedTemplate(*m_selectedId);
    if (!it)
        return;
    const PromptTemplate stored = *it;
    QPointer<TemplateManagerView> self(this);
    m_state.applyTemplateToCurrent(stored, [self, stored](bool applied, const std::string &message) {
        if (!self)
            return;
        if (applied)
            self->showAlert(qs(appliedMessage(stored)));
        else if (message.starts_with("適用失敗: ")) // the reason in full, as the status line cannot show it
            self->showAlert(QStringLiteral("適用に失敗しました。\n\n") + qs(message));
        else
            self->showAlert(QStringLiteral("適用に失敗しました。"));
    });
}

void TemplateManagerView::deleteTemplate()
{
    if (!m_selectedId)
        return;
    if (const PromptTemplate *it = storedTemplate(*m_selectedId); it && it->isPresetTemplate)
        return; // presets stay
    if (!settleEdits())
        return;
    const PromptTemplate *current = storedTemplate(*m_selectedId);
    const QString title = current ? qs(current->title) : m_titleField->text();
    if (m_confirm
        && !m_confirm(
            this, alertTitle, QStringLiteral("テンプレート「") + title + QStringLiteral("」を削除しますか？")))
        return;
    const auto stored = m_state.deleteTemplate(*m_selectedId);
    if (!m_state.templates().empty())
        select(m_state.templates().front().id);
    if (!stored)
        showAlert(saveFailedText(stored.error()));
}

void TemplateManagerView::importTemplate()
{
    if (m_state.config().sourceDirectories.empty() || !settleEdits())
        return;
    if (auto imported = m_state.importCurrentPrompt()) {
        select(imported->added.id);
        if (imported->stored)
            showAlert(QStringLiteral("現在の GEMINI.md をテンプレートとして取り込みました！"));
        else
            showAlert(saveFailedText(imported->stored.error()));
    } else {
        showAlert(QStringLiteral("GEMINI.md が見つかりませんでした。"));
    }
}

} // namespace velkaro
