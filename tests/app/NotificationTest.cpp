#include "AppStateFixture.h"
#include "Services/StoreLock.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

using namespace velkaro;
using namespace velkaro::test;

namespace {

struct Posted
{
    qint64 id = 0;
    std::string appName;
    std::string summary;
    std::string body;
};

std::string runDunstctl(const QStringList &args)
{
    QProcess process; // killed on destruction if it hangs
    process.start(QStringLiteral("dunstctl"), args);
    return process.waitForFinished(10000) ? process.readAllStandardOutput().toStdString() : std::string();
}

// What dunst has shown, oldest first (the server is started afresh for this test). Shown notifications
// are closed first so that they reach history.
std::vector<Posted> dunstHistory()
{
    runDunstctl({QStringLiteral("close-all")});
    const QJsonDocument doc
        = QJsonDocument::fromJson(QByteArray::fromStdString(runDunstctl({QStringLiteral("history")})));
    std::vector<Posted> out;
    for (const QJsonValue entry : doc.object().value(QStringLiteral("data")).toArray().at(0).toArray()) {
        auto field = [&](const char *key) {
            return entry.toObject().value(QString::fromLatin1(key)).toObject().value(QStringLiteral("data"));
        };
        out.push_back({field("id").toInteger(), field("appname").toString().toStdString(),
            field("summary").toString().toStdString(), field("body").toString().toStdString()});
    }
    std::sort(out.begin(), out.end(), [](const Posted &a, const Posted &b) { return a.id < b.id; });
    return out;
}

// AppState's notifications, posted on the private session bus to a real server.
class AppStateNotificationTest : public AppStateFixture
{
protected:
    void SetUp() override
    {
        AppStateFixture::SetUp();
        notifierBus.clear();
        const auto *bus = QDBusConnection::sessionBus().interface();
        if (!bus || !bus->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications")))
            GTEST_SKIP() << "no notification server (run through with-private-bus.sh --dunst)";
    }
};

// How a run is started: from the window (its outcome on screen), from the tray with no window shown,
// or by the schedule.
enum class Start { onScreen, offScreen, scheduled };

struct Step
{
    NotificationSettingMode policy; // in force at once, without saving
    Start start;
    bool storeBusy; // the run fails
    const char *posted; // the summary shown, or nothing
};

} // namespace

TEST_F(AppStateNotificationTest, EachRunPostsWhatThePolicyLetsThrough)
{
    using enum NotificationSettingMode;
    const Step steps[] = {
        {all, Start::onScreen, false, nullptr}, // the status line says it
        {all, Start::scheduled, false, "定期バックアップ完了"},
        {all, Start::scheduled, false, "定期バックアップ完了"}, // a second one, not replacing the first
        {all, Start::offScreen, false, "バックアップ完了"},
        {errorsOnly, Start::scheduled, false, nullptr},
        {errorsOnly, Start::onScreen, true, "バックアップエラー"}, // a failure, whatever the trigger
        {none, Start::scheduled, false, nullptr},
        {none, Start::scheduled, true, nullptr},
        // Arrives after anything the runs above could have posted.
        {all, Start::scheduled, false, "定期バックアップ完了"},
    };
    start();
    std::vector<std::string> expected;
    for (const Step &step : steps) {
        BackupConfig edited = state->config();
        edited.notificationMode = step.policy;
        state->setConfig(edited);
        std::optional<Result<StoreLock>> lock;
        if (step.storeBusy) {
            lock = StoreLock::acquire(dest);
            ASSERT_TRUE(*lock);
        }
        if (step.start == Start::scheduled)
            state->executeScheduledBackup();
        else
            state->performManualBackup(step.start == Start::offScreen ? AppState::SuccessFeedback::notify
                                                                      : AppState::SuccessFeedback::statusOnly);
        settle();
        if (step.posted)
            expected.push_back(step.posted);
    }
    // A scheduled run that could not read a source keeps its snapshot, but is an error to hear of.
    BackupConfig partial = state->config();
    partial.notificationMode = errorsOnly;
    partial.sourceDirectories.push_back((root / "gone").string());
    state->setConfig(partial);
    state->executeScheduledBackup();
    settle();
    expected.push_back("バックアップエラー");
    std::vector<Posted> got;
    waitUntil([&] {
        got = dunstHistory();
        return got.size() >= expected.size();
    });
    std::vector<std::string> summaries;
    for (const Posted &posted : got)
        summaries.push_back(posted.summary);
    ASSERT_EQ(summaries, expected);
    EXPECT_EQ(got[0].appName, DesktopNotifier::kApplicationName);
    EXPECT_EQ(got[0].body, "2 件の設定・プロンプトを保存したよ！");
    EXPECT_EQ(got[3].body, "バックアップ失敗: 別の処理がバックアップ先を使用中です");
    EXPECT_EQ(got.back().body,
        "バックアップ完了 (2 件 • 9 バイト、バックアップ対象フォルダが見つかりません: " + (root / "gone").string()
            + ")");
}
