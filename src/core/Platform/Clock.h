#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>

namespace velkaro {

// Wall-clock instants in microseconds: the range covers every date the files may hold (years 1970 to
// 9999), which a nanosecond count does not.
using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

// An instant to the nanosecond, as file times are kept.
struct StampTime
{
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;

    auto operator<=>(const StampTime &) const = default;
};

// Where the core reads the time. A service keeps the clock it was given and never asks the system
// itself, so a test can pin every instant the service sees. Two readings: the wall clock, for the dates
// the program records and shows, and the clock the kernel stamps file times with, for what is compared
// with file times (a file changed after that reading never gets an earlier change time). A default-made
// clock reads the system; one made from a function reads the wall clock from it, and file times from
// the second function, or from the system when there is none.
class Clock
{
public:
    using FileReading = std::function<StampTime()>;

    Clock() = default;
    template<class Reading>
    requires(std::is_invocable_r_v<TimePoint, Reading &> && !std::is_same_v<std::remove_cvref_t<Reading>, Clock>)
        // Not explicit: a function that gives the time stands for a clock wherever one is taken.
        Clock(Reading now, FileReading fileNow = {})
        : m_now(std::move(now))
        , m_fileNow(std::move(fileNow))
    { }

    TimePoint now() const { return m_now ? m_now() : systemNow(); }
    StampTime fileNow() const { return m_fileNow ? m_fileNow() : systemFileNow(); }

private:
    static TimePoint systemNow();
    static StampTime systemFileNow();

    std::function<TimePoint()> m_now;
    FileReading m_fileNow;
};

} // namespace velkaro
