#include "App/AutoBackupManager.h"
#include "AppTestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QSignalSpy>

#include <memory>

using namespace std::chrono_literals;
using namespace velkaro;
using namespace velkaro::test;

namespace {

class AutoBackupManagerTest : public TempDirTest
{
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        manager = makeManager(QDBusConnection(QStringLiteral("no-bus")));
    }

    std::unique_ptr<AutoBackupManager> makeManager(QDBusConnection wakeBus, std::chrono::milliseconds first = 1ms)
    {
        AutoBackupManager::Options options;
        options.clock = [this] { return clock(); };
        // Real timers, just quick ones: every heartbeat below is a real tick of the manager's timer.
        options.firstHeartbeat = first;
        options.heartbeatPeriod = 5ms;
        options.wakeBus = std::move(wakeBus);
        return std::make_unique<AutoBackupManager>([this] { ++triggers; }, options);
    }

    // Lets the heartbeat tick `count` times, then delivers what the ticks queued.
    void heartbeats(int count = 1)
    {
        QSignalSpy ticks(&manager->heartbeatTimer(), &QTimer::timeout);
        ASSERT_TRUE(waitUntil([&] { return ticks.count() >= count; }));
        drainEvents();
    }

    FakeClock clock;
    int triggers = 0;
    std::unique_ptr<AutoBackupManager> manager;
};

} // namespace

// The wall clock decides, whichever way it moves: each step sets it, lets the heartbeat tick, and
// says how many runs have been triggered by then and at which hour the next is due. (Rescheduling
// from now on a save is AppStateTest's.)
TEST_F(AutoBackupManagerTest, TriggersOnceWhenTheWallClockReachesTheDueTime)
{
    const struct
    {
        int hour, minute, second, beats, triggers, nextHour;
        const char *why;
    } steps[] = {
        {9, 30, 0, 1, 0, 11, "moved back"},
        {10, 30, 0, 2, 0, 11, "an hour of real time later: still not due"},
        {10, 59, 59, 3, 0, 11, "a second early"},
        {11, 0, 0, 3, 1, 12, "equal counts as due, and the next is measured from the check"},
        {11, 0, 40, 2, 1, 12, "once only"},
    };
    manager->updateSchedule(BackupInterval::hourly); // at 10:00:00
    for (const auto &step : steps) {
        SCOPED_TRACE(step.why);
        clock.current = localTime(2025, 3, 4, step.hour, step.minute, step.second);
        heartbeats(step.beats);
        EXPECT_EQ(triggers, step.triggers);
        EXPECT_EQ(manager->nextScheduledDate(), localTime(2025, 3, 4, step.nextHour, 0, 0));
    }
    EXPECT_EQ(manager->heartbeatTimer().intervalAsDuration(), 5ms) << "the quick first beat is followed by the period";

    manager->updateSchedule(BackupInterval::disabled);
    EXPECT_FALSE(manager->heartbeatTimer().isActive());
    EXPECT_EQ(manager->nextScheduledDate(), std::nullopt);

    // The trigger is queued, not called from inside the heartbeat, and dies with the manager.
    manager->updateSchedule(BackupInterval::everyThirtyMinutes);
    clock.advance(31min);
    QSignalSpy ticks(&manager->heartbeatTimer(), &QTimer::timeout);
    ASSERT_TRUE(ticks.wait(5000));
    EXPECT_EQ(triggers, 1);
    manager.reset();
    drainEvents();
    EXPECT_EQ(triggers, 1);
}

// Counts the sleep signals that reached this process, to know when the manager has seen them too.
class SleepSignalCounter : public QObject
{
    Q_OBJECT
public:
    int count = 0;
public slots:
    void onPrepareForSleep(bool) { ++count; }
};

// logind announces the end of a sleep with PrepareForSleep(false). A stand-in owns its bus name on the
// private session bus that the test runs on.
TEST_F(AutoBackupManagerTest, WakeAfterLongSleepTriggersExactlyOnce)
{
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        GTEST_SKIP() << "no private session bus (run through with-private-bus.sh)";
    const QString service = QStringLiteral("org.freedesktop.login1");
    const QString path = QStringLiteral("/org/freedesktop/login1");
    const QString interface = QStringLiteral("org.freedesktop.login1.Manager");
    QDBusConnection logind = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("logind"));
    ASSERT_TRUE(logind.registerService(service));

    // The first heartbeat is an hour away: only a wake can trigger in this test.
    manager = makeManager(session, 1h);
    ASSERT_TRUE(manager->isWatchingWake());
    SleepSignalCounter seen;
    ASSERT_TRUE(session.connect(
        service, path, interface, QStringLiteral("PrepareForSleep"), &seen, SLOT(onPrepareForSleep(bool))));
    int sent = 0;
    auto sleepSignal = [&](bool start) {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, QStringLiteral("PrepareForSleep"));
        signal << start;
        ASSERT_TRUE(logind.send(signal));
        ++sent;
        ASSERT_TRUE(waitUntil([&] { return seen.count == sent; }));
        drainEvents();
    };

    manager->updateSchedule(BackupInterval::hourly); // due 11:00
    clock.advance(5h);
    sleepSignal(true); // going to sleep is no reason to start a run, even when one is due
    EXPECT_EQ(triggers, 0);
    sleepSignal(false);
    EXPECT_EQ(triggers, 1);
    EXPECT_EQ(manager->nextScheduledDate(), localTime(2025, 3, 4, 16, 0, 0));
    sleepSignal(false); // a second wake right away: not due any more
    EXPECT_EQ(triggers, 1);

    manager->updateSchedule(BackupInterval::disabled);
    clock.advance(24h);
    sleepSignal(false);
    EXPECT_EQ(triggers, 1);
    logind.unregisterService(service);
    QDBusConnection::disconnectFromBus(QStringLiteral("logind"));
}

#include "AutoBackupManagerTest.moc"
