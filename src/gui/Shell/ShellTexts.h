#pragma once

#include <QString>

namespace velkaro::ShellTexts {

// What the tray menu and the window frame show, in one place.
inline QString appName()
{
    return QStringLiteral("Velkaro Antigravity Backup");
}
inline QString aboutItem()
{
    return QStringLiteral("Velkaro Antigravity Backup について");
}
inline QString backupNowItem()
{
    return QStringLiteral("今すぐバックアップ");
}
inline QString quitItem()
{
    return QStringLiteral("終了");
}
QString aboutText();

inline QString runBackupItem()
{
    return QStringLiteral("今すぐバックアップを実行");
}
inline QString applyTemplateItem()
{
    return QStringLiteral("プロンプトテンプレートを適用");
}
inline QString openDashboardItem()
{
    return QStringLiteral("管理ダッシュボードを開く...");
}
inline QString lastBackupPrefix()
{
    return QStringLiteral("最終バックアップ: ");
}
inline QString noBackupYet()
{
    return QStringLiteral("バックアップ未実行");
}
inline QString nextRunPrefix()
{
    return QStringLiteral("次回予定: ");
}

} // namespace velkaro::ShellTexts
