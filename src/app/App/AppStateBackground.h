#pragma once

// How AppState runs blocking work off the main thread. Include it in the AppState source files that
// call runInBackground (it pulls in QtConcurrent, which the views need not see).
#include "App/AppState.h"

#include <QFutureWatcher>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <type_traits>
#include <utility>

namespace velkaro {

template<class Work, class Done> void AppState::runInBackground(Work work, Done done)
{
    using Value = std::invoke_result_t<Work &>;
    static_assert(!std::is_void_v<Value>, "the work returns what the main thread is to receive");
    // The watcher is ours: when this object goes, the watcher goes with it and the result is dropped.
    // (QFuture::then with a context object is not safe for that before Qt 6.6: it checks the context
    // on the pool thread, racing its destruction.)
    auto *watcher = new QFutureWatcher<Value>(this);
    ++m_backgroundTasks;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, done = std::move(done)]() mutable {
        --m_backgroundTasks;
        watcher->deleteLater();
        QFuture<Value> future = watcher->future();
        if (future.resultCount() > 0) // nothing cancels these runs, but an empty future has no result to take
            done(future.takeResult());
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), std::move(work)));
}

} // namespace velkaro
