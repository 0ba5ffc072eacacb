#pragma once

#include <QWidget>

namespace velkaro {

class AppState;

// Placeholder page; replaced by the real page.
class DashboardView : public QWidget
{
    Q_OBJECT

public:
    explicit DashboardView(AppState &state, QWidget *parent = nullptr);

private:
    AppState &m_state;
};

} // namespace velkaro
