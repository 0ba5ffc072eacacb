#include "Views/Common/Dialogs.h"

#include <QPushButton>

namespace velkaro {

bool askBeforeDeleting(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &message,
                       const QString &details)
{
    QMessageBox box(icon, title, message, QMessageBox::NoButton, parent);
    if (!details.isEmpty())
        box.setInformativeText(details);
    QPushButton *remove = box.addButton(QStringLiteral("削除"), QMessageBox::DestructiveRole);
    QPushButton *cancel = box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == remove;
}

} // namespace velkaro
