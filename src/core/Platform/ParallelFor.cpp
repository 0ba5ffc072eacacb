#include "Platform/ParallelFor.h"

#include <optional>
#include <system_error>
#include <thread>

namespace velkaro {

void parallelFor(std::size_t count, std::size_t threshold, const std::function<void(std::size_t, std::size_t)> &work)
{
    const std::size_t half
        = count >= threshold && count > 1 && std::thread::hardware_concurrency() > 1 ? count / 2 : count;
    std::optional<std::thread> helper;
    if (half < count) {
        try {
            helper.emplace([&work, half, count] { work(half, count); });
        } catch (const std::system_error &) {
            work(half, count); // no thread to be had: all on this one
        }
    }
    if (half > 0)
        work(0, half);
    if (helper)
        helper->join();
}

} // namespace velkaro
