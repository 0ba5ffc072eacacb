#include "Views/Settings/SettingsView.h"
#include "ViewFixture.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QWheelEvent>

namespace velkaro::test {
namespace {

class SettingsViewTest : public ViewFixture<SettingsView>
{
protected:
    SettingsView &open()
    {
        start();
        make().setFolderChooser([this](QWidget *, const QString &) { return chooserAnswer; });
        view->setSaveQuestion([this](QWidget *, const QString &) {
            ++saveQuestions;
            return saveAnswer;
        });
        return show(860, 560);
    }

    BackupConfig stored() const { return BackupConfig::readFile(configFile()).value(); }

    std::optional<QString> chooserAnswer;
    int saveQuestions = 0;
    SaveAnswer saveAnswer = SaveAnswer::cancel;
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

// The stepper keeps to 5..100 (its step of 5 is saved in LeavingAsksAboutUnsavedEdits).
TEST_F(SettingsViewTest, StepperKeepsToItsRange)
{
    SettingsView &page = open();
    QSpinBox *stepper = page.maxSnapshotsStepper();
    EXPECT_EQ(stepper->text(), QStringLiteral("30 世代"));
    stepper->setValue(100);
    stepper->stepUp();
    EXPECT_EQ(stepper->value(), 100);
    stepper->setValue(5);
    stepper->stepDown();
    EXPECT_EQ(stepper->value(), 5);
    page.save();
    EXPECT_EQ(stored().maxSnapshotsLimit, 5);

    // Typed values keep to the steps too: another one becomes the nearest allowed value.
    auto type = [&](const QString &digits) {
        stepper->setFocus();
        stepper->selectAll();
        QTest::keyClicks(stepper, digits);
        QTest::keyClick(stepper, Qt::Key_Return);
        return stepper->value();
    };
    EXPECT_EQ(type(QStringLiteral("35")), 35);
    EXPECT_EQ(type(QStringLiteral("12")), 10);
    EXPECT_EQ(type(QStringLiteral("98")), 100);
    EXPECT_EQ(type(QStringLiteral("3")), 5);
    EXPECT_EQ(type(QStringLiteral("47")), 45);

    // Under the limit, which snapshots go first.
    const QString rule
        = QStringLiteral("※ 上限を超えたら、ひとつ新しいスナップショットと中身が同じものから先に消すよ。");
    const auto labels = page.findChildren<QLabel *>();
    EXPECT_TRUE(
        std::ranges::any_of(labels, [&](QLabel *label) { return label->text() == rule && label->isVisible(); }));
}

TEST_F(SettingsViewTest, SaveAppliesScheduleAndLoginItemAndKeepsAHandEditedLimit)
{
    config.targetExtensions = {"md", "json"};
    config.maxSnapshotsLimit = 3000000; // more than the stepper holds
    config.backupInterval = BackupInterval::disabled;
    SettingsView &page = open();
    EXPECT_EQ(page.extensionsField()->text(), QStringLiteral("md, json"));
    EXPECT_EQ(page.maxSnapshotsStepper()->text(), QStringLiteral("1000000 世代"));
    EXPECT_FALSE(state->nextBackupDate());

    page.intervalChoice()->setCurrentIndex(page.intervalChoice()->findText(QStringLiteral("1時間ごと")));
    page.autoLaunchChoice()->setCurrentIndex(page.autoLaunchChoice()->findText(QStringLiteral("有効")));
    QTest::mouseClick(page.saveButton(), Qt::LeftButton);
    EXPECT_EQ(alerts, std::vector<QString> {QStringLiteral("設定保存|設定を保存したよ！")});
    EXPECT_EQ(stored().targetExtensions, (std::vector<std::string> {"md", "json"}));
    EXPECT_EQ(stored().backupInterval, BackupInterval::hourly);
    EXPECT_EQ(stored().autoLaunchState, AutoLaunchState::enabled);
    EXPECT_EQ(stored().maxSnapshotsLimit, 3000000) << "a value the user did not touch is not rewritten";
    EXPECT_TRUE(state->nextBackupDate()) << "the schedule runs from the saved interval";
    EXPECT_TRUE(fs::exists(autostartFile()));

    page.autoLaunchChoice()->setCurrentIndex(page.autoLaunchChoice()->findText(QStringLiteral("無効")));
    page.maxSnapshotsStepper()->stepDown();
    page.save();
    EXPECT_FALSE(fs::exists(autostartFile()));
    EXPECT_EQ(stored().maxSnapshotsLimit, 999995);
}

// The folder picker replaces only its row, and cancelled keeps it. "~" becomes the home folder; a relative path or an
// empty destination is refused, naming the field, and then nothing is stored, in the file or in the running
// application.
TEST_F(SettingsViewTest, PathsArePickedExpandedOrRefused)
{
    config.sourceDirectories = {src.string(), (home / "b").string()};
    SettingsView &page = open();
    ASSERT_EQ(page.sourceFields().size(), 2u);
    chooserAnswer = QStringLiteral("/picked");
    QTest::mouseClick(page.sourceButtons()[1], Qt::LeftButton);
    EXPECT_EQ(page.sourceFields()[0]->text().toStdString(), src.string());
    EXPECT_EQ(page.sourceFields()[1]->text(), QStringLiteral("/picked"));
    chooserAnswer.reset();
    const QString destination = page.destinationField()->text();
    QTest::mouseClick(page.destinationButton(), Qt::LeftButton);
    EXPECT_EQ(page.destinationField()->text(), destination);
    page.save();
    EXPECT_EQ(stored().sourceDirectories, (std::vector<std::string> {src.string(), "/picked"}));

    page.destinationField()->setText(QStringLiteral("~/store"));
    page.sourceFields()[1]->setText(QStringLiteral("~"));
    EXPECT_TRUE(page.save());
    EXPECT_EQ(stored().destinationDirectory, (home / "store").string());
    EXPECT_EQ(stored().sourceDirectories[1], home.string());
    EXPECT_EQ(page.destinationField()->text().toStdString(), (home / "store").string());

    const BackupConfig before = state->config();
    const std::string file = readText(configFile());
    // Shown anew, the page drops unsaved edits and rebuilds the source rows: the field is looked up after.
    const std::tuple<int, QString, QString> refused[] = {
        {1, QStringLiteral("relative/dir"),
            QStringLiteral("「対象フォルダ 2」は / か ~ で始まるフルパスで入力してね。")},
        {-1, QStringLiteral("~other/x"),
            QStringLiteral("「バックアップ保存先フォルダ」は / か ~ で始まるフルパスで入力してね。")},
        {-1, QString(), QStringLiteral("「バックアップ保存先フォルダ」が空っぽだよ。保存先のフォルダを入力してね。")},
    };
    for (const auto &[row, typed, message] : refused) {
        alerts.clear();
        page.hide();
        page.show();
        QLineEdit *field = row < 0 ? page.destinationField() : page.sourceFields()[std::size_t(row)];
        field->setText(typed);
        EXPECT_FALSE(page.save());
        EXPECT_EQ(alerts, std::vector<QString> {QStringLiteral("設定保存|") + message});
        EXPECT_EQ(state->config(), before);
        EXPECT_EQ(readText(configFile()), file);
    }
}

// A file that cannot be written is told instead of the success, while the running application takes
// the change.
TEST_F(SettingsViewTest, AFailedWriteIsToldInsteadOfTheSuccess)
{
    SettingsView &page = open();
    const fs::path folder = configFile().parent_path();
    fs::remove_all(folder);
    writeText(folder, "not a folder");
    page.intervalChoice()->setCurrentIndex(0);
    EXPECT_TRUE(page.save());
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_TRUE(alerts[0].startsWith(QStringLiteral("設定保存|保存失敗: "))) << alerts[0].toStdString();
    EXPECT_EQ(QString::fromStdString(status()), alerts[0].mid(5));
    EXPECT_EQ(state->config().backupInterval, BackupInterval::disabled);
}

// Leaving with unsaved edits: キャンセル stays and keeps them, 破棄 shows the stored settings again,
// 保存 stores them. Unedited, nothing is asked.
TEST_F(SettingsViewTest, LeavingAsksAboutUnsavedEdits)
{
    SettingsView &page = open();
    EXPECT_TRUE(page.mayLeave());
    page.extensionsField()->setText(page.extensionsField()->text().remove(QLatin1Char(' ')));
    EXPECT_FALSE(page.hasUnsavedEdits()) << "the same list typed differently";
    page.extensionsField()->setText(QStringLiteral("md"));
    EXPECT_FALSE(page.mayLeave());
    EXPECT_EQ(page.extensionsField()->text(), QStringLiteral("md"));
    saveAnswer = SaveAnswer::discard;
    EXPECT_TRUE(page.mayLeave());
    EXPECT_NE(page.extensionsField()->text(), QStringLiteral("md"));
    page.maxSnapshotsStepper()->stepUp();
    saveAnswer = SaveAnswer::save;
    EXPECT_TRUE(page.mayLeave());
    EXPECT_EQ(stored().maxSnapshotsLimit, 35);
    EXPECT_EQ(saveQuestions, 3);

    // A refused path keeps the user on the page.
    page.destinationField()->clear();
    EXPECT_FALSE(page.mayLeave());
}

// The wheel over an unfocused combo or spin box scrolls the page and changes nothing; focused, it
// changes the value.
TEST_F(SettingsViewTest, WheelScrollsThePageUnlessTheControlHasFocus)
{
    SettingsView &page = open();
    page.resize(600, 300);
    QScrollBar *bar = page.findChild<QScrollArea *>()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    auto wheel = [](QWidget *target) {
        const QPointF at(target->width() / 2.0, target->height() / 2.0);
        QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
            Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &event);
    };
    QComboBox *startup = page.startupChoice();
    const int index = startup->currentIndex();
    wheel(startup);
    EXPECT_EQ(startup->currentIndex(), index);
    EXPECT_GT(bar->value(), 0);
    EXPECT_FALSE(startup->hasFocus());
    const int limit = page.maxSnapshotsStepper()->value();
    wheel(page.maxSnapshotsStepper());
    EXPECT_EQ(page.maxSnapshotsStepper()->value(), limit);

    page.activateWindow();
    startup->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return startup->hasFocus(); }));
    wheel(startup);
    EXPECT_NE(startup->currentIndex(), index);
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
