#pragma once

#include "Models/AppEnums.h"

#include <QMessageBox>
#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace velkaro {

struct BackupSnapshot;

// The question before something is deleted: "削除" (destructive) and "キャンセル", which is the default
// and what Escape answers. `details`, when given, goes below the message. True for "削除".
bool askBeforeDeleting(
    QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &message, const QString &details = {});

// What to do with unsaved edits before the page or the item is left.
enum class SaveAnswer { save, discard, cancel };

// "変更を保存しますか？" with "保存", "破棄" and "キャンセル"; キャンセル is the default and what Escape
// answers. Built apart from asking so that it can be looked at without running it.
std::unique_ptr<QMessageBox> makeSaveQuestion(QWidget *parent, const QString &title);
SaveAnswer askToSaveChanges(QWidget *parent, const QString &title);

// Names the snapshot and the scope and says that the current files are backed up first; "復元" and
// "キャンセル", which is the default.
std::unique_ptr<QMessageBox> makeRestoreQuestion(
    QWidget *parent, const BackupSnapshot &snapshot, RestoreScopeOption scope);
bool askBeforeRestoring(QWidget *parent, const BackupSnapshot &snapshot, RestoreScopeOption scope);
// The same question for chosen files: names them (the first few, then how many more).
std::unique_ptr<QMessageBox> makeRestoreQuestion(
    QWidget *parent, const BackupSnapshot &snapshot, const std::vector<std::string> &paths);
bool askBeforeRestoring(QWidget *parent, const BackupSnapshot &snapshot, const std::vector<std::string> &paths);

} // namespace velkaro
