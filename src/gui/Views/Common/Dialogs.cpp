#include "Views/Common/Dialogs.h"

#include "Models/BackupSnapshot.h"
#include "Views/Common/Strings.h"

#include <QPushButton>

namespace velkaro {
namespace {

// A question whose only way on is `action`; "キャンセル" is the default and what Escape answers.
std::unique_ptr<QMessageBox> confirmBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
    const QString &message, const QString &details, const QString &action, QMessageBox::ButtonRole role)
{
    auto box = std::make_unique<QMessageBox>(icon, title, message, QMessageBox::NoButton, parent);
    if (!details.isEmpty())
        box->setInformativeText(details);
    box->addButton(action, role);
    QPushButton *cancel = box->addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return box;
}

bool confirmed(QMessageBox &box)
{
    box.exec();
    return box.clickedButton() && box.clickedButton() != box.escapeButton();
}

} // namespace

bool askBeforeDeleting(
    QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &message, const QString &details)
{
    auto box = confirmBox(parent, icon, title, message, details, QStringLiteral("削除"), QMessageBox::DestructiveRole);
    return confirmed(*box);
}

std::unique_ptr<QMessageBox> makeSaveQuestion(QWidget *parent, const QString &title)
{
    auto box = std::make_unique<QMessageBox>(
        QMessageBox::Question, title, QStringLiteral("変更を保存しますか？"), QMessageBox::NoButton, parent);
    box->setInformativeText(QStringLiteral("保存しないで進むと、編集中の内容はなくなるよ。"));
    box->addButton(QStringLiteral("保存"), QMessageBox::AcceptRole)->setObjectName(QStringLiteral("save"));
    box->addButton(QStringLiteral("破棄"), QMessageBox::DestructiveRole)->setObjectName(QStringLiteral("discard"));
    QPushButton *cancel = box->addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancel"));
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return box;
}

SaveAnswer askToSaveChanges(QWidget *parent, const QString &title)
{
    auto box = makeSaveQuestion(parent, title);
    box->exec();
    const QString clicked = box->clickedButton() ? box->clickedButton()->objectName() : QString();
    if (clicked == QLatin1String("save"))
        return SaveAnswer::save;
    if (clicked == QLatin1String("discard"))
        return SaveAnswer::discard;
    return SaveAnswer::cancel;
}

std::unique_ptr<QMessageBox> makeRestoreQuestion(
    QWidget *parent, const BackupSnapshot &snapshot, RestoreScopeOption scope)
{
    const QString details = qs(snapshot.id) + QLatin1Char('\n') + qs(snapshot.formattedDate())
        + QStringLiteral("\n復元範囲: ") + qs(rawValue(scope))
        + QStringLiteral("\n\n復元の前に、今のファイルを「復元前自動退避」としてバックアップしてから上書きするよ。");
    return confirmBox(parent, QMessageBox::Question, QStringLiteral("スナップショットから復元しますか？"),
        QStringLiteral("このスナップショットから復元しますか？"), details, QStringLiteral("復元"),
        QMessageBox::AcceptRole);
}

bool askBeforeRestoring(QWidget *parent, const BackupSnapshot &snapshot, RestoreScopeOption scope)
{
    auto box = makeRestoreQuestion(parent, snapshot, scope);
    return confirmed(*box);
}

std::unique_ptr<QMessageBox> makeRestoreQuestion(
    QWidget *parent, const BackupSnapshot &snapshot, const std::vector<std::string> &paths)
{
    // A long choice would make the box taller than the screen: the first few by name, then the rest counted.
    constexpr std::size_t kNamed = 5;
    QString names;
    for (std::size_t i = 0; i < paths.size() && i < kNamed; ++i)
        names += QStringLiteral("\n・") + qs(paths[i]);
    if (paths.size() > kNamed)
        names += QStringLiteral("\n・ほか %1 件").arg(paths.size() - kNamed);
    const QString details = qs(snapshot.id) + QLatin1Char('\n') + qs(snapshot.formattedDate())
        + QStringLiteral("\n復元するファイル (%1 件):").arg(paths.size()) + names
        + QStringLiteral("\n\n復元の前に、今のファイルを「復元前自動退避」としてバックアップしてから上書きするよ。"
                         "選ばなかったファイルはそのままだよ。");
    return confirmBox(parent, QMessageBox::Question, QStringLiteral("選んだファイルを復元しますか？"),
        QStringLiteral("選んだファイルをこのスナップショットから復元しますか？"), details, QStringLiteral("復元"),
        QMessageBox::AcceptRole);
}

bool askBeforeRestoring(QWidget *parent, const BackupSnapshot &snapshot, const std::vector<std::string> &paths)
{
    auto box = makeRestoreQuestion(parent, snapshot, paths);
    return confirmed(*box);
}

} // namespace velkaro
