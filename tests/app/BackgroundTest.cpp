// The one way work leaves the main thread: the result comes back on the context's thread, and not at
// all once the context is gone.
#include "App/Background.h"

#include "AppTestSupport.h"

#include <QMetaObject>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>

namespace velkaro::test {
namespace {

TEST(RunThenCallbackTest, WorksInThePoolAndDeliversOnTheContextsThread)
{
    QObject context;
    std::atomic<QThread *> worker = nullptr;
    QThread *deliveredOn = nullptr;
    std::optional<std::string> result;
    runThenCallback(
        &context,
        [&worker] {
            worker = QThread::currentThread();
            return std::string("done");
        },
        [&](std::string value) {
            deliveredOn = QThread::currentThread();
            result = std::move(value);
        });
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    EXPECT_EQ(*result, "done");
    EXPECT_NE(worker.load(), QThread::currentThread()) << "the work ran on the calling thread";
    EXPECT_EQ(deliveredOn, QThread::currentThread());

    // A context on a thread of its own hears there, not on the main thread; work without a result too.
    QThread own;
    own.start();
    QObject elsewhere;
    elsewhere.moveToThread(&own);
    std::atomic<QThread *> heardOn = nullptr;
    QMetaObject::invokeMethod(&elsewhere, [&] {
        runThenCallback(
            &elsewhere, [] {}, [&] { heardOn = QThread::currentThread(); });
    });
    ASSERT_TRUE(waitUntil([&] { return heardOn.load() != nullptr; }));
    EXPECT_EQ(heardOn.load(), &own);
    own.quit();
    own.wait();
}

// The context goes while the work runs: the work finishes, its result is dropped, nothing is called.
TEST(RunThenCallbackTest, DropsTheResultOnceTheContextIsGone)
{
    std::counting_semaphore<2> release(0);
    std::atomic<bool> finished = false;
    int called = 0;
    auto context = std::make_unique<QObject>();
    auto work = [&] {
        release.acquire();
        finished = true;
        return 42;
    };
    runThenCallback(context.get(), work, [&](int) { ++called; });
    runThenCallback(
        context.get(), [&] { release.acquire(); }, [&] { ++called; });
    context.reset();
    release.release();
    release.release();
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    EXPECT_TRUE(finished);
    EXPECT_EQ(called, 0);

    // A context that stays hears both kinds, once each.
    QObject kept;
    runThenCallback(
        &kept, [] { return 1; }, [&](int value) { called += value; });
    runThenCallback(
        &kept, [] {}, [&] { called += 10; });
    ASSERT_TRUE(waitUntil([&] { return called == 11; }));
    drainEvents();
    EXPECT_EQ(called, 11);
}

} // namespace
} // namespace velkaro::test
