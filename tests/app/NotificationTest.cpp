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

// What dunst has shown after the notification `after`, oldest first. Shown notifications are closed first so
// that they reach history.
std::vector<Posted> dunstHistory(qint64 after = 0)
{
    runDunstctl({QStringLiteral("close-all")});
    const QJsonDocument doc
        = QJsonDocument::fromJson(QByteArray::fromStdString(runDunstctl({QStringLiteral("history")})));
    std::vector<Posted> out;
    for (const QJsonValue entry : doc.object().value(QStringLiteral("data")).toArray().at(0).toArray()) {
        auto field = [&](const char *key) {
            return entry.toObject().value(QString::fromLatin1(key)).toObject().value(QStringLiteral("data"));
        };
        if (field("id").toInteger() > after)
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
        const auto before = dunstHistory();
        seenUpTo = before.empty() ? 0 : before.back().id;
    }

    // Waits until at least `count` notifications have arrived since SetUp; returns all that did.
    std::vector<Posted> await(std::size_t count) const
    {
        std::vector<Posted> got;
        waitUntil([&] {
            got = dunstHistory(seenUpTo);
            return got.size() >= count;
        });
        return got;
    }

    void run(BackupTriggerType trigger)
    {
        trigger == BackupTriggerType::scheduled ? state->executeScheduledBackup() : state->performManualBackup();
        settle();
    }

    void setPolicy(NotificationSettingMode mode)
    {
        BackupConfig edited = state->config();
        edited.notificationMode = mode;
        state->setConfig(edited); // in force at once, without saving
    }

    qint64 seenUpTo = 0;
};

} // namespace

TEST_F(AppStateNotificationTest, ScheduledSuccessAndAnyFailureFollowThePolicy)
{
    start();
    run(BackupTriggerType::manual); // a manual success posts nothing
    run(BackupTriggerType::scheduled);
    run(BackupTriggerType::scheduled);
    auto got = await(2);
    ASSERT_EQ(got.size(), 2u); // two runs, two notifications, neither replacing the other
    EXPECT_EQ(got[0].appName, DesktopNotifier::kApplicationName);
    EXPECT_EQ(got[0].summary, "定期バックアップ完了");
    EXPECT_EQ(got[0].body, "2 件の設定・プロンプトを保存したよ！");
    EXPECT_EQ(got[1].body, got[0].body);
    EXPECT_NE(got[1].id, got[0].id);

    setPolicy(NotificationSettingMode::errorsOnly);
    run(BackupTriggerType::scheduled); // success: dropped
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    run(BackupTriggerType::manual); // failure: posted, whatever the trigger
    got = await(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].summary, "バックアップエラー");
    EXPECT_EQ(got[2].body, "バックアップ失敗: 別の処理がバックアップ先を使用中です");
}

// A manual run whose outcome is not on screen (started from the tray with no window shown) reports its
// success too, under its own title; the policy still decides.
TEST_F(AppStateNotificationTest, ManualRunOffScreenReportsSuccess)
{
    start();
    state->performManualBackup(AppState::SuccessFeedback::notify);
    settle();
    state->performManualBackup(); // on screen: the status line says it
    settle();
    setPolicy(NotificationSettingMode::errorsOnly);
    state->performManualBackup(AppState::SuccessFeedback::notify);
    settle();
    setPolicy(NotificationSettingMode::all);
    run(BackupTriggerType::scheduled); // arrives after anything the runs above could have posted
    const auto got = await(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].summary, "バックアップ完了");
    EXPECT_EQ(got[0].body, "2 件の設定・プロンプトを保存したよ！");
    EXPECT_EQ(got[1].summary, "定期バックアップ完了");
}

TEST_F(AppStateNotificationTest, PolicyNonePostsNothing)
{
    config.notificationMode = NotificationSettingMode::none;
    start();
    run(BackupTriggerType::scheduled);
    {
        auto lock = StoreLock::acquire(dest);
        ASSERT_TRUE(lock);
        run(BackupTriggerType::scheduled);
    }
    // A notification posted after those runs arrives after anything they could have posted.
    setPolicy(NotificationSettingMode::all);
    run(BackupTriggerType::scheduled);
    const auto got = await(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].summary, "定期バックアップ完了");
}
