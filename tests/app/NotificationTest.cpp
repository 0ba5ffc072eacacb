#include "AppTestSupport.h"
#include "Services/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <set>

using namespace velkaro;
using namespace velkaro::test;

namespace {

struct Posted {
    qint64 id = 0;
    std::string appName;
    std::string summary;
    std::string body;
};

std::string runDunstctl(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("dunstctl"), args);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    return process.readAllStandardOutput().toStdString();
}

// What dunst has shown, oldest first. Shown notifications are closed first so that they reach history.
std::vector<Posted> dunstHistory()
{
    runDunstctl({QStringLiteral("close-all")});
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(runDunstctl({QStringLiteral("history")})));
    std::vector<Posted> out;
    for (const QJsonValue entry : doc.object().value(QStringLiteral("data")).toArray().at(0).toArray()) {
        const QJsonObject o = entry.toObject();
        auto field = [&](const char *key) {
            return o.value(QString::fromLatin1(key)).toObject().value(QStringLiteral("data"));
        };
        out.push_back({field("id").toInteger(), field("appname").toString().toStdString(),
                       field("summary").toString().toStdString(), field("body").toString().toStdString()});
    }
    std::sort(out.begin(), out.end(), [](const Posted &a, const Posted &b) { return a.id < b.id; });
    return out;
}

class NotificationTest : public TempDirTest
{
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!QDBusConnection::sessionBus().interface()
            || !QDBusConnection::sessionBus().interface()->isServiceRegistered(
                QStringLiteral("org.freedesktop.Notifications")))
            GTEST_SKIP() << "no notification server (run through with-private-bus.sh --dunst)";
        const auto before = dunstHistory();
        seenUpTo = before.empty() ? 0 : before.back().id;
    }

    // Notifications that arrived since the test began.
    std::vector<Posted> newNotifications()
    {
        auto all = dunstHistory();
        std::erase_if(all, [&](const Posted &p) { return p.id <= seenUpTo; });
        return all;
    }

    // Waits until at least `count` new notifications have arrived; returns them.
    std::vector<Posted> awaitNotifications(std::size_t count)
    {
        std::vector<Posted> got;
        waitUntil([&] {
            got = newNotifications();
            return got.size() >= count;
        });
        return got;
    }

    qint64 seenUpTo = 0;
};

} // namespace

TEST_F(NotificationTest, EachPostIsASeparateNotification)
{
    const DesktopNotifier notifier;
    notifier.post("定期バックアップ完了", "3 件の設定・プロンプトを保存したよ！");
    notifier.post("定期バックアップ完了", "4 件の設定・プロンプトを保存したよ！");
    const auto got = awaitNotifications(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].id, got[1].id);
    EXPECT_EQ(got[0].appName, DesktopNotifier::kApplicationName);
    EXPECT_EQ(got[0].summary, "定期バックアップ完了");
    EXPECT_EQ(got[0].body, "3 件の設定・プロンプトを保存したよ！");
    EXPECT_EQ(got[1].body, "4 件の設定・プロンプトを保存したよ！");
}

TEST(NotificationPolicyTest, FollowsThePolicyTable)
{
    EXPECT_TRUE(notificationAllowed(NotificationSettingMode::all, false));
    EXPECT_TRUE(notificationAllowed(NotificationSettingMode::all, true));
    EXPECT_FALSE(notificationAllowed(NotificationSettingMode::errorsOnly, false));
    EXPECT_TRUE(notificationAllowed(NotificationSettingMode::errorsOnly, true));
    EXPECT_FALSE(notificationAllowed(NotificationSettingMode::none, false));
    EXPECT_FALSE(notificationAllowed(NotificationSettingMode::none, true));
}

TEST(NotificationWithoutBusTest, PostingWithoutABusDoesNothing)
{
    const DesktopNotifier notifier(QDBusConnection(QStringLiteral("no-bus")));
    notifier.post("バックアップエラー", "バックアップ失敗: x"); // must simply return
    SUCCEED();
}
