#pragma once

#include <cstddef>
#include <functional>

namespace velkaro {

// The core's one way to do work on more than one thread. Runs `work(from, to)` over the index range
// [0, count) and returns when all of it is done. With at least `threshold` items and more than one
// core, the range is cut in two halves and the second runs on a helper thread; otherwise, or when no
// thread can be had, everything runs on the calling thread in one call. `work` must be safe to run on
// two disjoint ranges at once, and must not throw.
void parallelFor(std::size_t count, std::size_t threshold, const std::function<void(std::size_t, std::size_t)> &work);

} // namespace velkaro
