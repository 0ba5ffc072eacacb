#pragma once

#include "TestSupport.h"

#include <QCoreApplication>
#include <QTest>

#include <chrono>
#include <functional>

namespace velkaro::test {

// A wall clock that only moves when the test says so.
struct FakeClock
{
    TimePoint current = localTime(2025, 3, 4, 10, 0, 0);
    TimePoint operator()() const { return current; }
    void advance(std::chrono::seconds by) { current += by; }
};

// Runs the event loop until `done` holds or `timeoutMs` passes; true when it held.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    return QTest::qWaitFor(done, timeoutMs);
}

// Delivers every event posted so far (queued calls included) without waiting for anything new.
inline void drainEvents()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

} // namespace velkaro::test
