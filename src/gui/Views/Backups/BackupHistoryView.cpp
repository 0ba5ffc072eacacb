#include "Views/Backups/BackupHistoryView.h"

#include "Services/AppState.h"

#include <QLabel>
#include <QVBoxLayout>

namespace velkaro {

BackupHistoryView::BackupHistoryView(AppState &state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
{
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("準備中..."), this), 0, Qt::AlignCenter);
}

} // namespace velkaro
