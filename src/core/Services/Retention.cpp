#include "Services/Retention.h"

#include <algorithm>
#include <map>
#include <utility>

namespace velkaro {

std::vector<std::size_t> chooseSnapshotsToRemove(std::size_t count, std::int64_t limit,
    const std::function<bool(std::size_t)> &mayGo, const std::function<bool(std::size_t, std::size_t)> &sameAsNext)
{
    std::vector<std::size_t> removed;
    if (limit < 1)
        return removed;
    std::vector<std::size_t> remaining(count);
    for (std::size_t i = 0; i < count; ++i)
        remaining[i] = i;
    // A removal only brings two snapshots side by side that were not before, so each pair is looked at once.
    std::map<std::pair<std::size_t, std::size_t>, bool> known;
    const auto same = [&](std::size_t older, std::size_t newer) {
        const auto [it, fresh] = known.try_emplace({older, newer}, false);
        if (fresh)
            it->second = sameAsNext(older, newer);
        return it->second;
    };
    while (remaining.size() > static_cast<std::uint64_t>(limit)) {
        auto victim = remaining.end();
        for (auto it = remaining.begin(); it + 1 < remaining.end(); ++it) {
            if (mayGo(*it) && same(*it, *(it + 1))) {
                victim = it;
                break;
            }
        }
        // Then the oldest; when that one must stay, nothing newer goes in its place.
        if (victim == remaining.end() && mayGo(remaining.front()))
            victim = remaining.begin();
        if (victim == remaining.end())
            break;
        removed.push_back(*victim);
        remaining.erase(victim);
    }
    return removed;
}

} // namespace velkaro
