// The system's clocks, read here and nowhere else in the core.
#include "Platform/Clock.h"

#include <ctime>

namespace velkaro {

TimePoint Clock::systemNow()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

StampTime Clock::systemFileNow()
{
    struct timespec ts = {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return {ts.tv_sec, static_cast<std::uint32_t>(ts.tv_nsec)};
}

} // namespace velkaro
