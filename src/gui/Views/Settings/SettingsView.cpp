#include "Views/Settings/SettingsView.h"

#include "Views/Settings/LimitStepper.h"

#include "App/AppState.h"
#include "Platform/FileSystem.h"
#include "Views/Common/PageLayout.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Common/Typography.h"
#include "Views/Widgets/ProminentButton.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QSpinBox>
#include <QVBoxLayout>

namespace velkaro {
namespace {

constexpr int kFieldButtonSpacing = 6; // between a folder field and its "選択..." button

template<class E> QComboBox *choice(QWidget *parent, int width, const QString &name)
{
    auto *box = new QComboBox(parent);
    for (E value : allCases<E>())
        box->addItem(qs(rawValue(value)), int(value));
    box->setFixedWidth(width);
    box->setAccessibleName(name);
    return box;
}

template<class E> void choose(QComboBox *box, E value)
{
    box->setCurrentIndex(box->findData(int(value)));
}

template<class E> E chosen(const QComboBox *box)
{
    return E(box->currentData().toInt());
}

QHBoxLayout *labelledRow(const QString &text, QWidget *control, QWidget *parent)
{
    auto *row = new QHBoxLayout();
    row->setSpacing(12);
    auto *label = new QLabel(text, parent);
    label->setBuddy(control);
    row->addWidget(label);
    row->addWidget(control);
    row->addStretch();
    return row;
}

} // namespace

std::vector<std::string> parseExtensionList(const QString &text)
{
    std::vector<std::string> list;
    for (const QString &piece : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString trimmed = piece.trimmed();
        if (!trimmed.isEmpty())
            list.push_back(ss(trimmed));
    }
    return list;
}

SettingsView::SettingsView(AppState &state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_alert([](QWidget *p, const QString &title, const QString &message) {
        QMessageBox::information(p, title, message, QMessageBox::Ok);
    })
    , m_chooser([](QWidget *p, const QString &start) -> std::optional<QString> {
        const QString folder = QFileDialog::getExistingDirectory(p, QString(), start, QFileDialog::ShowDirsOnly);
        if (folder.isEmpty())
            return std::nullopt;
        return folder;
    })
    , m_askSave(askToSaveChanges)
{
    const auto [scroll, content, page] = scrollingPage(this, 24, 24);

    page->addWidget(buildFoldersCard(content));
    page->addWidget(buildScheduleCard(content));
    page->addWidget(buildIntegrationCard(content));
    page->addWidget(buildRetentionCard(content));
    page->addLayout(buildSaveBar(content));
    page->addStretch();

    connect(m_destinationButton, &QPushButton::clicked, this, [this] { chooseFolder(m_destinationField); });
    connect(m_saveButton, &QPushButton::clicked, this, &SettingsView::save);
    connect(m_stepper, &QSpinBox::valueChanged, this, [this] { m_limitTouched = true; });

    passWheelUnlessFocused(this);
    load();
}

QWidget *SettingsView::buildFoldersCard(QWidget *content)
{
    const TitledCard card = titledCard(QStringLiteral("バックアップ対象と保存先"), content);
    card.layout->addWidget(secondaryLabel(QStringLiteral("バックアップ対象フォルダ:"), content));
    // Filled by load(), one row per configured source folder.
    m_sourceRows = new QVBoxLayout();
    m_sourceRows->setSpacing(6);
    card.layout->addLayout(m_sourceRows);

    QLabel *destinationCaption = secondaryLabel(QStringLiteral("バックアップ保存先フォルダ:"), content);
    card.layout->addWidget(destinationCaption);
    auto *destinationRow = new QHBoxLayout();
    destinationRow->setSpacing(kFieldButtonSpacing); // as the source rows, so the buttons line up
    m_destinationField = new QLineEdit(content);
    m_destinationField->setPlaceholderText(QStringLiteral("保存先フォルダ"));
    m_destinationField->setAccessibleName(QStringLiteral("バックアップ保存先フォルダ"));
    m_destinationButton = new QPushButton(QStringLiteral("選択..."), content);
    m_destinationButton->setAccessibleName(QStringLiteral("保存先フォルダを選択"));
    destinationRow->addWidget(m_destinationField, 1);
    destinationRow->addWidget(m_destinationButton);
    card.layout->addLayout(destinationRow);
    destinationCaption->setBuddy(m_destinationField);

    QLabel *extensionsCaption = secondaryLabel(QStringLiteral("対象ファイル拡張子 (カンマ区切り):"), content);
    card.layout->addWidget(extensionsCaption);
    m_extensionsField = new QLineEdit(content);
    m_extensionsField->setPlaceholderText(QStringLiteral("md, json, pbtxt, yaml, yml, txt"));
    m_extensionsField->setAccessibleName(QStringLiteral("対象ファイル拡張子"));
    extensionsCaption->setBuddy(m_extensionsField);
    card.layout->addWidget(m_extensionsField);
    card.layout->addWidget(makeLeftOutLine(content));
    return card.card;
}

QWidget *SettingsView::buildScheduleCard(QWidget *content)
{
    const TitledCard card = titledCard(QStringLiteral("定期自動バックアップ"), content);
    m_intervalChoice = choice<BackupInterval>(content, 180, QStringLiteral("実行間隔"));
    card.layout->addLayout(labelledRow(QStringLiteral("実行間隔:"), m_intervalChoice, content));
    card.layout->addWidget(
        secondaryLabel(QStringLiteral("※ "
                                      "アプリがメニューバーに常駐している間、指定した間隔で自動的に日"
                                      "付別フォルダ（YYYY-MM-DD）へスナップショットを作成します。"),
            content));
    return card.card;
}

QWidget *SettingsView::buildIntegrationCard(QWidget *content)
{
    const TitledCard card = titledCard(QStringLiteral("システム連携 & 起動オプション"), content);
    m_autoLaunchChoice = choice<AutoLaunchState>(content, 160, QStringLiteral("ログイン時に自動起動"));
    card.layout->addLayout(labelledRow(QStringLiteral("ログイン時に自動起動:"), m_autoLaunchChoice, content));
    m_startupChoice = choice<StartupWindowMode>(content, 240, QStringLiteral("アプリ起動時の動作"));
    card.layout->addLayout(labelledRow(QStringLiteral("アプリ起動時の動作:"), m_startupChoice, content));
    card.layout->addWidget(
        secondaryLabel(QStringLiteral("※ "
                                      "「メニューバーのみに常駐」を選択すると、ログイン時やアプリ起動"
                                      "時にウィンドウを表示せず、バックグラウンド（メニューバー）だけ"
                                      "で静かに起動します。"),
            content));
    m_notificationChoice = choice<NotificationSettingMode>(content, 220, QStringLiteral("通知設定"));
    card.layout->addLayout(labelledRow(QStringLiteral("通知設定:"), m_notificationChoice, content));
    return card.card;
}

QWidget *SettingsView::buildRetentionCard(QWidget *content)
{
    const TitledCard card = titledCard(QStringLiteral("スナップショット保管上限"), content);
    m_stepper = new LimitStepper(content);
    m_stepper->setSuffix(QStringLiteral(" 世代"));
    m_stepper->setAccessibleName(QStringLiteral("保持する最大世代数"));
    card.layout->addLayout(labelledRow(QStringLiteral("保持する最大世代数:"), m_stepper, content));
    card.layout->addWidget(secondaryLabel(
        QStringLiteral("※ 上限を超えた古いバックアップスナップショットは自動的にクリーンアップされます。"), content));
    // Retention keeps versions, not copies: say which snapshots go first.
    card.layout->addWidget(secondaryLabel(
        QStringLiteral("※ 上限を超えたら、ひとつ新しいスナップショットと中身が同じものから先に消すよ。"), content));
    return card.card;
}

QHBoxLayout *SettingsView::buildSaveBar(QWidget *content)
{
    auto *bar = new QHBoxLayout();
    bar->addStretch();
    m_saveButton = new ProminentButton(QStringLiteral("設定を保存する"), Tint::accent, content);
    applyTextStyle(m_saveButton, TextStyle::body, QFont::DemiBold);
    m_saveButton->setDefault(true);
    bar->addWidget(m_saveButton);
    return bar;
}

void SettingsView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        load();
}

void SettingsView::load()
{
    const BackupConfig &config = m_state.config();
    for (QLineEdit *field : m_sourceFields)
        delete field->parentWidget();
    m_sourceFields.clear();
    m_sourceButtons.clear();
    std::vector<QWidget *> order;
    for (const std::string &source : config.sourceDirectories) {
        auto *row = new QWidget(m_destinationField->parentWidget());
        auto *layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(kFieldButtonSpacing);
        auto *field = new QLineEdit(qs(source), row);
        field->setPlaceholderText(QStringLiteral("対象フォルダ"));
        field->setAccessibleName(QStringLiteral("対象フォルダ %1").arg(m_sourceFields.size() + 1));
        auto *button = new QPushButton(QStringLiteral("選択..."), row);
        button->setAccessibleName(QStringLiteral("対象フォルダ %1 を選択").arg(m_sourceFields.size() + 1));
        layout->addWidget(field, 1);
        layout->addWidget(button);
        m_sourceRows->addWidget(row);
        connect(button, &QPushButton::clicked, this, [this, field] { chooseFolder(field); });
        connect(field, &QLineEdit::textChanged, this, &SettingsView::surveyLeftOutFiles);
        order.insert(order.end(), {field, button});
        m_sourceFields.push_back(field);
        m_sourceButtons.push_back(button);
    }
    // The rows are made after the rest of the page but stand at its top: the rest of the page moves
    // after them in the Tab order, as on screen.
    order.insert(order.end(),
        {m_destinationField, m_destinationButton, m_extensionsField, m_intervalChoice, m_autoLaunchChoice,
            m_startupChoice, m_notificationChoice, m_stepper, m_saveButton});
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    m_destinationField->setText(qs(config.destinationDirectory));
    QStringList extensions;
    for (const std::string &ext : config.targetExtensions)
        extensions << qs(ext);
    m_extensionsField->setText(extensions.join(QStringLiteral(", ")));
    choose(m_intervalChoice, config.backupInterval);
    choose(m_autoLaunchChoice, config.autoLaunchState);
    choose(m_startupChoice, config.startupWindowMode);
    choose(m_notificationChoice, config.notificationMode);
    m_loadedLimit = config.maxSnapshotsLimit;
    // A stored value outside 5-100 (edited by hand) is shown as it is.
    static_cast<LimitStepper *>(m_stepper)->showStoredValue(
        int(std::clamp<std::int64_t>(config.maxSnapshotsLimit, -1000000, 1000000)));
    m_limitTouched = false;
    surveyLeftOutFiles();
}

QLabel *SettingsView::makeLeftOutLine(QWidget *parent)
{
    // What the typed list leaves out, counted by AppState off the main thread; silent when nothing is.
    m_leftOutLine = secondaryLabel(QString(), parent);
    m_leftOutLine->setVisible(false);
    const auto show = [this] {
        const QString text = qs(m_state.leftOutSummary());
        m_leftOutLine->setText(text);
        m_leftOutLine->setVisible(!text.isEmpty());
    };
    connect(&m_state, &AppState::leftOutSummaryChanged, m_leftOutLine, show);
    show();
    connect(m_extensionsField, &QLineEdit::textChanged, this, &SettingsView::surveyLeftOutFiles);
    return m_leftOutLine;
}

void SettingsView::surveyLeftOutFiles()
{
    // Only for the page in view: the window builds every page at start-up.
    if (!isVisible())
        return;
    std::vector<std::string> sources;
    sources.reserve(m_sourceFields.size());
    for (QLineEdit *field : m_sourceFields)
        sources.push_back(FileSystem::expandHome(ss(field->text()))); // counted where saving would put it
    m_state.surveyLeftOutFiles(std::move(sources), parseExtensionList(m_extensionsField->text()));
}

void SettingsView::chooseFolder(QLineEdit *field)
{
    if (!m_chooser)
        return;
    if (auto folder = m_chooser(this, field->text()))
        field->setText(*folder);
}

BackupConfig SettingsView::editedConfig() const
{
    BackupConfig config = m_state.config();
    config.sourceDirectories.clear();
    for (QLineEdit *field : m_sourceFields)
        config.sourceDirectories.push_back(ss(field->text()));
    config.destinationDirectory = ss(m_destinationField->text());
    config.backupInterval = chosen<BackupInterval>(m_intervalChoice);
    config.autoLaunchState = chosen<AutoLaunchState>(m_autoLaunchChoice);
    config.startupWindowMode = chosen<StartupWindowMode>(m_startupChoice);
    config.notificationMode = chosen<NotificationSettingMode>(m_notificationChoice);
    config.maxSnapshotsLimit = m_limitTouched ? m_stepper->value() : m_loadedLimit;
    config.targetExtensions = parseExtensionList(m_extensionsField->text());
    return config;
}

std::optional<std::pair<QLineEdit *, QString>> SettingsView::expandPaths(BackupConfig &config) const
{
    // A relative path would resolve against whatever folder the program was started in.
    auto refused = [](QLineEdit *field) {
        return std::pair {
            field, QStringLiteral("「%1」は / か ~ で始まるフルパスで入力してね。").arg(field->accessibleName())};
    };
    for (std::size_t i = 0; i < config.sourceDirectories.size(); ++i) {
        std::string &path = config.sourceDirectories[i];
        path = FileSystem::expandHome(path);
        // An empty row is left alone: it names no folder and nothing reads or writes through it.
        if (!path.empty() && !std::filesystem::path(path).is_absolute())
            return refused(m_sourceFields[i]);
    }
    std::string &destination = config.destinationDirectory;
    if (destination.empty())
        return std::pair {m_destinationField,
            QStringLiteral("「%1」が空っぽだよ。保存先のフォルダを入力してね。")
                .arg(m_destinationField->accessibleName())};
    destination = FileSystem::expandHome(destination);
    if (!std::filesystem::path(destination).is_absolute())
        return refused(m_destinationField);
    return std::nullopt;
}

void SettingsView::showAlert(const QString &message)
{
    if (m_alert)
        m_alert(this, QStringLiteral("設定保存"), message);
}

bool SettingsView::save()
{
    BackupConfig config = editedConfig();
    if (auto refused = expandPaths(config)) {
        showAlert(refused->second);
        refused->first->setFocus();
        return false;
    }
    // The fields show the paths as stored.
    for (std::size_t i = 0; i < m_sourceFields.size(); ++i)
        m_sourceFields[i]->setText(qs(config.sourceDirectories[i]));
    m_destinationField->setText(qs(config.destinationDirectory));

    m_state.setConfig(config);
    const auto saved = m_state.saveConfig();
    showAlert(
        saved ? QStringLiteral("設定を保存したよ！") : QStringLiteral("保存失敗: ") + qs(saved.error().description));
    return true;
}

bool SettingsView::hasUnsavedEdits() const
{
    return editedConfig() != m_state.config();
}

bool SettingsView::mayLeave()
{
    if (!hasUnsavedEdits())
        return true;
    switch (m_askSave ? m_askSave(this, QStringLiteral("設定保存")) : SaveAnswer::cancel) {
    case SaveAnswer::save:
        return save();
    case SaveAnswer::discard:
        load();
        return true;
    case SaveAnswer::cancel:
        break;
    }
    return false;
}

} // namespace velkaro
