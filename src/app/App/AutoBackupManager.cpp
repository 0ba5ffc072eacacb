#include "App/AutoBackupManager.h"

#include <QMetaObject>

#include <algorithm>

namespace velkaro {

namespace {

constexpr auto kLogindService = "org.freedesktop.login1";
constexpr auto kLogindPath = "/org/freedesktop/login1";
constexpr auto kLogindInterface = "org.freedesktop.login1.Manager";
constexpr auto kPrepareForSleep = "PrepareForSleep";

TimePoint::duration toDuration(double seconds)
{
    return std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

AutoBackupManager::AutoBackupManager(std::function<void()> onTriggerBackup, Options options, QObject *parent)
    : QObject(parent)
    , m_onTriggerBackup(std::move(onTriggerBackup))
    , m_options(std::move(options))
{
    // One timer, restarted by every updateSchedule, so there is never more than one heartbeat.
    m_heartbeatTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_heartbeatTimer, &QTimer::timeout, this, &AutoBackupManager::onHeartbeat);

    QDBusConnection bus = m_options.wakeBus ? *m_options.wakeBus : QDBusConnection::systemBus();
    if (bus.isConnected()) {
        m_watchingWake = bus.connect(QString::fromLatin1(kLogindService), QString::fromLatin1(kLogindPath),
            QString::fromLatin1(kLogindInterface), QString::fromLatin1(kPrepareForSleep), this,
            SLOT(onPrepareForSleep(bool)));
        if (m_watchingWake)
            m_wakeBus = bus;
    }
}

AutoBackupManager::~AutoBackupManager()
{
    m_heartbeatTimer.stop();
    if (m_wakeBus && m_watchingWake) {
        m_wakeBus->disconnect(QString::fromLatin1(kLogindService), QString::fromLatin1(kLogindPath),
            QString::fromLatin1(kLogindInterface), QString::fromLatin1(kPrepareForSleep), this,
            SLOT(onPrepareForSleep(bool)));
    }
}

std::optional<TimePoint> AutoBackupManager::dueTime(
    BackupInterval interval, std::optional<TimePoint> lastRun, TimePoint now)
{
    const auto seconds = timeIntervalInSeconds(interval);
    if (!seconds)
        return std::nullopt;
    const TimePoint oneIntervalFromNow = now + toDuration(*seconds);
    if (!lastRun)
        return oneIntervalFromNow;
    // A snapshot dated in the future (a clock set back since) must not hold the schedule off.
    const TimePoint due = std::min(*lastRun + toDuration(*seconds), oneIntervalFromNow);
    return due > now ? due : now + kSettleDelay;
}

void AutoBackupManager::updateSchedule(BackupInterval interval, std::optional<TimePoint> lastRun)
{
    stopSchedule();
    m_currentInterval = interval;
    const auto due = dueTime(interval, lastRun, now());
    if (!due)
        return;
    setNextScheduledDate(due);
    m_heartbeatTimer.start(m_options.firstHeartbeat);
}

void AutoBackupManager::stopSchedule()
{
    m_heartbeatTimer.stop();
    setNextScheduledDate(std::nullopt);
}

void AutoBackupManager::onHeartbeat()
{
    // The first tick comes early; after it the heartbeat settles on its period.
    if (m_heartbeatTimer.intervalAsDuration() != m_options.heartbeatPeriod)
        m_heartbeatTimer.setInterval(m_options.heartbeatPeriod);
    checkAndTriggerBackupIfNeeded();
}

void AutoBackupManager::onPrepareForSleep(bool start)
{
    if (!start)
        handleSystemWake();
}

void AutoBackupManager::handleSystemWake()
{
    checkAndTriggerBackupIfNeeded();
}

void AutoBackupManager::checkAndTriggerBackupIfNeeded()
{
    if (!m_nextScheduledDate)
        return;
    const auto seconds = timeIntervalInSeconds(m_currentInterval);
    if (!seconds)
        return;
    const TimePoint current = now();
    if (current < *m_nextScheduledDate)
        return;
    // Measured from the check, not from the missed due time: runs missed while asleep are not made up.
    setNextScheduledDate(current + toDuration(*seconds));
    // Asynchronously, and only while this manager still exists (the queued call dies with it).
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_onTriggerBackup)
                m_onTriggerBackup();
        },
        Qt::QueuedConnection);
}

TimePoint AutoBackupManager::now() const
{
    return m_options.clock.now();
}

void AutoBackupManager::setNextScheduledDate(std::optional<TimePoint> date)
{
    if (m_nextScheduledDate == date)
        return;
    m_nextScheduledDate = date;
    emit scheduleChanged();
}

} // namespace velkaro
