#pragma once

#include "Models/AppEnums.h"

#include <QDBusConnection>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace velkaro {

struct AutoBackupManagerOptions
{
    using Clock = velkaro::Clock;
    Clock clock; // the wall clock; the system's unless a test pins it
    std::chrono::milliseconds firstHeartbeat {5000};
    std::chrono::milliseconds heartbeatPeriod {30000};
    // Where logind announces the end of a sleep; the system bus unless a test supplies another.
    // An unconnected bus means no wake signal: the heartbeat then catches up on its own.
    std::optional<QDBusConnection> wakeBus;
};

// Decides when a scheduled backup is due. It keeps the wall-clock instant of the next run and a short
// heartbeat compares the clock with it, so a run that fell due while the machine slept or the clock
// jumped is noticed within one heartbeat instead of a whole interval later.
class AutoBackupManager : public QObject
{
    Q_OBJECT

public:
    using Clock = AutoBackupManagerOptions::Clock;
    using Options = AutoBackupManagerOptions;

    explicit AutoBackupManager(std::function<void()> onTriggerBackup, Options options = {}, QObject *parent = nullptr);
    ~AutoBackupManager() override;

    // How long after start-up or a save an overdue run waits, so that the desktop can settle first.
    static constexpr std::chrono::seconds kSettleDelay {60};

    // Restarts the schedule from the newest snapshot (`lastRun`): see dueTime.
    void updateSchedule(BackupInterval interval, std::optional<TimePoint> lastRun = std::nullopt);
    void stopSchedule();

    // The next due time for `interval` at `now`: `lastRun` plus the interval, never later than one
    // interval from now, so that a restart does not push a run back; when that moment has passed,
    // kSettleDelay from now. With no run yet, one interval from now. Nothing for `disabled`.
    static std::optional<TimePoint> dueTime(BackupInterval interval, std::optional<TimePoint> lastRun, TimePoint now);

    std::optional<TimePoint> nextScheduledDate() const { return m_nextScheduledDate; }
    BackupInterval currentInterval() const { return m_currentInterval; }

    // The heartbeat, exposed so that the timing can be inspected.
    const QTimer &heartbeatTimer() const { return m_heartbeatTimer; }
    // True when the logind sleep signal is being watched.
    bool isWatchingWake() const { return m_watchingWake; }

signals:
    // nextScheduledDate changed (rescheduled, stopped, or moved on by a trigger).
    void scheduleChanged();

private slots:
    void onHeartbeat();
    void onPrepareForSleep(bool start);

private:
    void checkAndTriggerBackupIfNeeded();
    void handleSystemWake();
    TimePoint now() const;
    void setNextScheduledDate(std::optional<TimePoint> date);

    QTimer m_heartbeatTimer;
    std::function<void()> m_onTriggerBackup;
    Options m_options;
    std::optional<TimePoint> m_nextScheduledDate;
    BackupInterval m_currentInterval = BackupInterval::disabled;
    std::optional<QDBusConnection> m_wakeBus;
    bool m_watchingWake = false;
};

} // namespace velkaro
