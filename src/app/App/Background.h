#pragma once

// The application's one way to run blocking work off the main thread.
#include <QFutureWatcher>
#include <QObject>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <type_traits>
#include <utility>

namespace velkaro {

// Runs `work()` in the global thread pool, then `done(result)` (or `done()` for work that returns nothing)
// on the thread of `context`. Once `context` is gone the result is dropped and `done` is never called.
// Call it on the context's thread. The work must not touch the context: give it copies and what is
// shared with it safely.
template<class Work, class Done> void runThenCallback(QObject *context, Work work, Done done)
{
    using Value = std::invoke_result_t<Work &>;
    Q_ASSERT(context != nullptr && context->thread() == QThread::currentThread());
    // The watcher belongs to the context: when the context goes, the watcher goes with it, and with the
    // watcher the delivery. (QFuture::then with a context object is not safe for that before Qt 6.6: it
    // checks the context on the pool thread, racing its destruction.)
    auto *watcher = new QFutureWatcher<Value>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, done = std::move(done)]() mutable {
        watcher->deleteLater();
        if constexpr (std::is_void_v<Value>) {
            done();
        } else {
            QFuture<Value> future = watcher->future();
            if (future.resultCount() > 0) // nothing cancels these runs, but an empty future has no result
                done(future.takeResult());
        }
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), std::move(work)));
}

} // namespace velkaro
