#pragma once

#include "AppStateFixture.h"

#include <QWidget>

#include <memory>
#include <vector>

namespace velkaro::test {

// One page over a real AppState. Its alerts are recorded as "title|message" instead of shown.
template<class View> class ViewFixture : public AppStateFixture
{
protected:
    void TearDown() override
    {
        view.reset();
        AppStateFixture::TearDown();
    }

    // Builds the page over the started state; the test sets its other seams, then calls show().
    View &make()
    {
        view = std::make_unique<View>(*state);
        if constexpr (requires { view->setAlertFunction({}); }) {
            view->setAlertFunction([this](QWidget *, const QString &title, const QString &message) {
                alerts.push_back(title + QStringLiteral("|") + message);
            });
        }
        return *view;
    }

    View &show(int width, int height)
    {
        view->resize(width, height);
        view->show();
        return *view;
    }

    std::unique_ptr<View> view;
    std::vector<QString> alerts;
};

} // namespace velkaro::test
