#pragma once

#include "Models/BackupConfig.h"
#include "Views/Common/Dialogs.h"
#include "Views/Common/EditingPage.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QVBoxLayout;

namespace velkaro {

class AppState;

// Splits the extension text at commas and trims each piece; empty pieces are dropped, nothing else
// is changed.
std::vector<std::string> parseExtensionList(const QString &text);

// The settings page: edits a working copy of the configuration, stored only by the save button.
class SettingsView : public QWidget, public EditingPage
{
    Q_OBJECT

public:
    using AlertFunction = std::function<void(QWidget *parent, const QString &title, const QString &message)>;
    // Returns the chosen folder, or nothing on cancel; starts at the given folder.
    using FolderChooser = std::function<std::optional<QString>(QWidget *parent, const QString &start)>;
    // Asks what to do with unsaved edits (title); tests replace it.
    using SaveQuestion = std::function<SaveAnswer(QWidget *parent, const QString &title)>;

    explicit SettingsView(AppState &state, QWidget *parent = nullptr);

    void setAlertFunction(AlertFunction alert) { m_alert = std::move(alert); }
    void setFolderChooser(FolderChooser chooser) { m_chooser = std::move(chooser); }
    void setSaveQuestion(SaveQuestion ask) { m_askSave = std::move(ask); }

    // False when a path was refused: then nothing is stored. A file that cannot be written is told,
    // but the running application has taken the settings (true).
    bool save();
    bool hasUnsavedEdits() const override;
    bool mayLeave() override;

    const std::vector<QLineEdit *> &sourceFields() const { return m_sourceFields; }
    const std::vector<QPushButton *> &sourceButtons() const { return m_sourceButtons; }
    QLineEdit *destinationField() const { return m_destinationField; }
    QPushButton *destinationButton() const { return m_destinationButton; }
    QLineEdit *extensionsField() const { return m_extensionsField; }
    QComboBox *intervalChoice() const { return m_intervalChoice; }
    QComboBox *autoLaunchChoice() const { return m_autoLaunchChoice; }
    QComboBox *startupChoice() const { return m_startupChoice; }
    QComboBox *notificationChoice() const { return m_notificationChoice; }
    QSpinBox *maxSnapshotsStepper() const { return m_stepper; }
    // Under the extension field: what the typed list leaves out; hidden when nothing is.
    QLabel *leftOutLine() const { return m_leftOutLine; }
    QPushButton *saveButton() const { return m_saveButton; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildFoldersCard(QWidget *content);
    QWidget *buildScheduleCard(QWidget *content);
    QWidget *buildIntegrationCard(QWidget *content);
    QWidget *buildRetentionCard(QWidget *content);
    QHBoxLayout *buildSaveBar(QWidget *content);
    void load();
    void chooseFolder(QLineEdit *field);
    // The configuration as the page shows it, paths as typed.
    BackupConfig editedConfig() const;
    // Expands "~" in the configuration's paths. On a refused path, the field and why, and `config`
    // is not to be used.
    std::optional<std::pair<QLineEdit *, QString>> expandPaths(BackupConfig &config) const;
    void showAlert(const QString &message);
    QLabel *makeLeftOutLine(QWidget *parent);
    void surveyLeftOutFiles();

    AppState &m_state;
    AlertFunction m_alert;
    FolderChooser m_chooser;
    SaveQuestion m_askSave;
    // The loaded limit, kept when the stepper is not touched even if it lies outside 5 to 100.
    std::int64_t m_loadedLimit = 30;
    bool m_limitTouched = false;

    QVBoxLayout *m_sourceRows = nullptr;
    std::vector<QLineEdit *> m_sourceFields;
    std::vector<QPushButton *> m_sourceButtons;
    QLineEdit *m_destinationField = nullptr;
    QPushButton *m_destinationButton = nullptr;
    QLineEdit *m_extensionsField = nullptr;
    QLabel *m_leftOutLine = nullptr;
    QComboBox *m_intervalChoice = nullptr;
    QComboBox *m_autoLaunchChoice = nullptr;
    QComboBox *m_startupChoice = nullptr;
    QComboBox *m_notificationChoice = nullptr;
    QSpinBox *m_stepper = nullptr;
    QPushButton *m_saveButton = nullptr;
};

} // namespace velkaro
