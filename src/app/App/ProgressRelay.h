#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace velkaro {

// Carries the progress of a run in the thread pool to the main thread at a bounded rate. The run only
// stores its newest report (an engine may report thousands of files a second); a timer on the main
// thread picks it up once per tick, so a flood costs at most one update a tick and the run never posts
// anything that could outlive its receiver. finish() hands over what is left, so the result that is
// applied after it is always the last word.
template<class T> class ProgressRelay
{
public:
    static constexpr std::chrono::milliseconds kTick {40}; // at most 25 updates a second

    // `apply` runs on the main thread, with the reports in their order (some skipped, never reordered).
    explicit ProgressRelay(std::function<void(const T &)> apply)
        : m_apply(std::move(apply))
    {
        m_timer.setInterval(kTick);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { deliver(); });
        m_timer.start();
    }

    // For the run: stores the newest report. Callable from any thread, also after this relay is gone.
    std::function<void(const T &)> reporter() const
    {
        return [slot = m_slot](const T &value) {
            const std::lock_guard lock(slot->mutex);
            slot->latest = value;
        };
    }

    // Delivers the report still waiting and stops the ticks.
    void finish()
    {
        m_timer.stop();
        deliver();
    }

private:
    struct Slot
    {
        std::mutex mutex;
        std::optional<T> latest;
    };

    void deliver()
    {
        std::optional<T> value;
        {
            const std::lock_guard lock(m_slot->mutex);
            value.swap(m_slot->latest);
        }
        if (value)
            m_apply(*value);
    }

    std::shared_ptr<Slot> m_slot = std::make_shared<Slot>();
    std::function<void(const T &)> m_apply;
    QTimer m_timer;
};

} // namespace velkaro
