#pragma once

#include <QWidget>

namespace velkaro {

class AppState;

// Placeholder page; replaced by the real page.
class SettingsView : public QWidget
{
    Q_OBJECT

public:
    explicit SettingsView(AppState &state, QWidget *parent = nullptr);

private:
    AppState &m_state;
};

} // namespace velkaro
