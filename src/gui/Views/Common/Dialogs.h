#pragma once

#include <QMessageBox>
#include <QString>

namespace velkaro {

// The question before something is deleted: "削除" (destructive) and "キャンセル", which is the default
// and what Escape answers. `details`, when given, goes below the message. True for "削除".
bool askBeforeDeleting(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &message,
                       const QString &details = {});

} // namespace velkaro
