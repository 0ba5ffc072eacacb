#include "AppStateFixture.h"
#include "Views/Settings/SettingsView.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

namespace velkaro::test {
namespace {

class SettingsViewTest : public AppStateFixture
{
protected:
    SettingsView &open()
    {
        AppState &app = start();
        view = std::make_unique<SettingsView>(app);
        view->setAlertFunction([this](QWidget *, const QString &title, const QString &message) {
            alerts.push_back(title + QStringLiteral("|") + message);
        });
        view->setFolderChooser([this](QWidget *, const QString &) { return chooserAnswer; });
        view->resize(860, 560);
        view->show();
        return *view;
    }

    void TearDown() override
    {
        view.reset();
        AppStateFixture::TearDown();
    }

    BackupConfig stored() const { return BackupConfig::readFile(configFile()).value(); }

    std::unique_ptr<SettingsView> view;
    std::vector<QString> alerts;
    std::optional<QString> chooserAnswer;
};

TEST(ExtensionListTest, SplitsAtCommasAndTrimsOnly)
{
    using L = std::vector<std::string>;
    EXPECT_EQ(parseExtensionList(QStringLiteral("md, json,pbtxt")), (L {"md", "json", "pbtxt"}));
    EXPECT_EQ(parseExtensionList(QStringLiteral(",,md, ,json,")), (L {"md", "json"}));
    EXPECT_EQ(parseExtensionList(QStringLiteral("  .MD \n")), (L {".MD"}));
    EXPECT_EQ(parseExtensionList(QStringLiteral("md json")), (L {"md json"}));
    EXPECT_EQ(parseExtensionList(QString()), L {});
}

TEST_F(SettingsViewTest, LoadsJoinedExtensionsAndSavesUnchangedConfig)
{
    config.targetExtensions = {"md", "json"};
    config.maxSnapshotsLimit = 7; // outside the stepper's steps, kept while untouched
    SettingsView &page = open();
    EXPECT_EQ(page.extensionsField()->text(), QStringLiteral("md, json"));
    QTest::mouseClick(page.saveButton(), Qt::LeftButton);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], QStringLiteral("設定保存|設定を保存したよ！"));
    EXPECT_EQ(stored().targetExtensions, (std::vector<std::string> {"md", "json"}));
    EXPECT_EQ(stored().maxSnapshotsLimit, 7);
}

TEST_F(SettingsViewTest, StepperRangeStepAndLabel)
{
    SettingsView &page = open();
    QSpinBox *stepper = page.maxSnapshotsStepper();
    EXPECT_EQ(stepper->text(), QStringLiteral("30 世代"));
    stepper->stepUp();
    EXPECT_EQ(stepper->value(), 35);
    stepper->setValue(100);
    stepper->stepUp();
    EXPECT_EQ(stepper->value(), 100);
    stepper->setValue(5);
    stepper->stepDown();
    EXPECT_EQ(stepper->value(), 5);
    page.intervalChoice()->setCurrentIndex(0);
    page.save();
    EXPECT_EQ(stored().maxSnapshotsLimit, 5);
    EXPECT_EQ(stored().backupInterval, BackupInterval::disabled);
}

TEST_F(SettingsViewTest, SaveAppliesScheduleAndLoginItemAndKeepsAHandEditedLimit)
{
    config.maxSnapshotsLimit = 150;
    config.backupInterval = BackupInterval::disabled;
    SettingsView &page = open();
    EXPECT_EQ(page.maxSnapshotsStepper()->text(), QStringLiteral("150 世代"));
    EXPECT_FALSE(state->nextBackupDate());

    page.intervalChoice()->setCurrentIndex(page.intervalChoice()->findText(QStringLiteral("1時間ごと")));
    page.autoLaunchChoice()->setCurrentIndex(page.autoLaunchChoice()->findText(QStringLiteral("有効")));
    page.save();
    EXPECT_EQ(stored().backupInterval, BackupInterval::hourly);
    EXPECT_EQ(stored().autoLaunchState, AutoLaunchState::enabled);
    EXPECT_EQ(stored().maxSnapshotsLimit, 150) << "a value the user did not touch is not rewritten";
    EXPECT_TRUE(state->nextBackupDate()) << "the schedule runs from the saved interval";
    EXPECT_TRUE(fs::exists(autostartFile()));

    page.autoLaunchChoice()->setCurrentIndex(page.autoLaunchChoice()->findText(QStringLiteral("無効")));
    page.maxSnapshotsStepper()->stepDown();
    page.save();
    EXPECT_FALSE(fs::exists(autostartFile()));
    EXPECT_EQ(stored().maxSnapshotsLimit, 145);
}

TEST_F(SettingsViewTest, FolderPickerReplacesOnlyItsRowAndCancelKeeps)
{
    config.sourceDirectories = {(home / "a").string(), (home / "b").string()};
    SettingsView &page = open();
    ASSERT_EQ(page.sourceFields().size(), 2u);
    chooserAnswer = QStringLiteral("/picked");
    QTest::mouseClick(page.sourceButtons()[1], Qt::LeftButton);
    EXPECT_EQ(page.sourceFields()[0]->text().toStdString(), (home / "a").string());
    EXPECT_EQ(page.sourceFields()[1]->text(), QStringLiteral("/picked"));

    chooserAnswer.reset();
    const QString destination = page.destinationField()->text();
    QTest::mouseClick(page.destinationButton(), Qt::LeftButton);
    EXPECT_EQ(page.destinationField()->text(), destination);

    page.save();
    EXPECT_EQ(stored().sourceDirectories, (std::vector<std::string> {(home / "a").string(), "/picked"}));

    // Shown anew, unsaved edits are gone.
    page.destinationField()->setText(QStringLiteral("/unsaved"));
    page.hide();
    page.show();
    EXPECT_EQ(page.destinationField()->text(), destination);
}

TEST_F(SettingsViewTest, LineUnderTheExtensionsSaysWhatTheTypedListLeavesOut)
{
    writeText(src / "commands/a.toml", "x");
    writeText(src / "commands/b.toml", "x");
    writeText(src / "tools/run.sh", "x");
    config.targetExtensions = {"md", "json"};
    SettingsView &page = open();
    QLabel *line = page.leftOutLine();
    ASSERT_TRUE(waitUntil([&] { return line->isVisible(); }));
    EXPECT_EQ(line->text(), QStringLiteral("対象外: 3 件 (.toml 2、.sh 1)"));

    QLineEdit *field = page.extensionsField();
    field->end(false);
    QTest::keyClicks(field, QStringLiteral(", toml"));
    ASSERT_TRUE(waitUntil([&] { return line->text() == QStringLiteral("対象外: 1 件 (.sh 1)"); }));
    QTest::keyClicks(field, QStringLiteral(", sh"));
    ASSERT_TRUE(waitUntil([&] { return line->isHidden(); }));

    // The source fields count too, before anything is saved.
    page.sourceFields()[0]->setText(QString::fromStdString((src / "commands").string()));
    field->setText(QStringLiteral("md"));
    ASSERT_TRUE(waitUntil([&] { return line->text() == QStringLiteral("対象外: 2 件 (.toml 2)"); }));
    EXPECT_TRUE(line->isVisible());
    EXPECT_EQ(stored().targetExtensions, (std::vector<std::string> {"md", "json"}));
}

} // namespace
} // namespace velkaro::test
