#pragma once

// AppState's runs in the pool. Include it in the AppState source files that call runInBackground (it
// pulls in QtConcurrent, which the views need not see).
#include "App/AppState.h"
#include "App/Background.h"

#include <utility>

namespace velkaro {

template<class Work, class Done> void AppState::runInBackground(Work work, Done done)
{
    ++m_backgroundTasks;
    runThenCallback(this, std::move(work), [this, done = std::move(done)](auto &&result) mutable {
        --m_backgroundTasks;
        done(std::forward<decltype(result)>(result));
    });
}

} // namespace velkaro
