#pragma once

#include <QWidget>

namespace velkaro {

class AppState;

// Placeholder page; replaced by the real page.
class BackupHistoryView : public QWidget
{
    Q_OBJECT

public:
    explicit BackupHistoryView(AppState &state, QWidget *parent = nullptr);

private:
    AppState &m_state;
};

} // namespace velkaro
