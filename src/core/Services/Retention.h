#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace velkaro {

// Which snapshots retention removes, as positions in a list ordered oldest first. While more than
// `limit` remain: the oldest one that `mayGo` allows and that `sameAsNext` finds identical to the next
// newer remaining one goes first, so that a history keeps distinct versions rather than copies of the
// newest; only when no such pair is left does the oldest, unless it must stay (then nothing newer goes
// in its place, and the list stays over the limit). limit < 1 removes nothing.
// `sameAsNext(older, newer)` is asked at most once per pair.
std::vector<std::size_t> chooseSnapshotsToRemove(std::size_t count, std::int64_t limit,
    const std::function<bool(std::size_t)> &mayGo, const std::function<bool(std::size_t, std::size_t)> &sameAsNext);

} // namespace velkaro
