#pragma once

#include <QWidget>

namespace velkaro {

class AppState;

// Placeholder page; replaced by the real page.
class TemplateManagerView : public QWidget
{
    Q_OBJECT

public:
    explicit TemplateManagerView(AppState &state, QWidget *parent = nullptr);

private:
    AppState &m_state;
};

} // namespace velkaro
