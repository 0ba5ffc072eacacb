#pragma once

#include "Models/AppEnums.h"
#include "Models/PromptTemplate.h"
#include "Views/Common/Dialogs.h"
#include "Views/Common/EditingPage.h"
#include "Views/Widgets/ElidedLabel.h"

#include <QWidget>

#include <functional>
#include <optional>
#include <string>

class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace velkaro {

class AppState;

// The templates page: the library on the left, the editing copy of one template on the right.
// Every change goes through AppState; the page keeps only the copy being edited.
class TemplateManagerView : public QWidget, public EditingPage
{
    Q_OBJECT

public:
    // Shows a result dialog (title, message); tests replace it.
    using AlertFunction = std::function<void(QWidget *parent, const QString &title, const QString &message)>;

    explicit TemplateManagerView(AppState &state, QWidget *parent = nullptr);

    // Asks a yes/no question (title, message); true to go on. Tests replace it.
    using ConfirmFunction = std::function<bool(QWidget *parent, const QString &title, const QString &message)>;
    // Asks what to do with unsaved edits (title). Tests replace it.
    using SaveQuestion = std::function<SaveAnswer(QWidget *parent, const QString &title)>;

    void setAlertFunction(AlertFunction alert) { m_alert = std::move(alert); }
    void setConfirmFunction(ConfirmFunction confirm) { m_confirm = std::move(confirm); }
    void setSaveQuestion(SaveQuestion ask) { m_askSave = std::move(ask); }
    // True while the editing copy differs from the stored template.
    bool hasUnsavedEdits() const override;
    bool mayLeave() override { return settleEdits(); }
    QLabel *unsavedMark() const { return m_unsavedMark; }

    void createTemplate();
    void saveTemplate();
    void applyTemplate();
    void deleteTemplate();
    void importTemplate();

    const std::optional<std::string> &selectedTemplateId() const { return m_selectedId; }
    QListWidget *list() const { return m_list; }
    QLabel *headerLabel() const { return m_header; }
    QLineEdit *titleField() const { return m_titleField; }
    QComboBox *kindChoice() const { return m_kindChoice; }
    QLineEdit *targetField() const { return m_targetField; }
    QLineEdit *descriptionField() const { return m_descriptionField; }
    QPlainTextEdit *contentEditor() const { return m_contentEditor; }
    QPushButton *applyButton() const { return m_applyButton; }
    QPushButton *saveButton() const { return m_saveButton; }
    QPushButton *deleteButton() const { return m_deleteButton; }
    QToolButton *createButton() const { return m_createButton; }
    QPushButton *importButton() const { return m_importButton; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildListPane(QWidget *parent);
    QWidget *buildEditorPane(QWidget *parent);
    QHBoxLayout *buildEditorHeader(QWidget *pane);
    void setUpTabOrder();
    void connectControls();
    // A row chosen with the pointer or the keys: unsaved edits are settled before the selection moves.
    void rowChosen(QListWidgetItem *item);
    void rebuildList();
    // The library's record of `id`, or null when it is no longer listed.
    const PromptTemplate *storedTemplate(const std::string &id) const;
    void select(const std::string &id);
    void highlightSelected();
    // Before the editing copy is left: asks about unsaved edits and saves or drops them. False keeps
    // the user where they are.
    bool settleEdits();
    // Stores the editing copy; tells a failed write, and the success only when `tell` is set.
    bool storeEditingCopy(bool tell);
    void updateHeader();
    void updateUnsavedMark();
    void showAlert(const QString &message);

    AppState &m_state;
    AlertFunction m_alert;
    ConfirmFunction m_confirm;
    SaveQuestion m_askSave;
    std::optional<std::string> m_selectedId;
    bool m_isPreset = false;
    bool m_rebuilding = false;

    QListWidget *m_list = nullptr;
    QToolButton *m_createButton = nullptr;
    QPushButton *m_importButton = nullptr;
    ElidedLabel *m_header = nullptr;
    QLabel *m_unsavedMark = nullptr;
    QPushButton *m_applyButton = nullptr;
    QPushButton *m_saveButton = nullptr;
    QPushButton *m_deleteButton = nullptr;
    QLineEdit *m_titleField = nullptr;
    QComboBox *m_kindChoice = nullptr;
    QLineEdit *m_targetField = nullptr;
    QLineEdit *m_descriptionField = nullptr;
    QPlainTextEdit *m_contentEditor = nullptr;
};

} // namespace velkaro
