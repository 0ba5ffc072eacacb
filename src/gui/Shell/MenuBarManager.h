#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class QAction;
class QIcon;
class QMenu;
class QSystemTrayIcon;

namespace velkaro {

class AppState;

// The tray icon and its menu. The menu is rebuilt from AppState each time it is about to open. The
// manager does not own AppState: once that is gone, the menu still opens but backup and apply do nothing.
class MenuBarManager : public QObject
{
    Q_OBJECT

public:
    MenuBarManager(AppState *appState, std::function<void()> openWindowCallback, QObject *parent = nullptr);
    ~MenuBarManager() override;

    QSystemTrayIcon *statusItem() const { return m_statusItem; }
    QMenu *menu() const { return m_menu.get(); }

    void rebuildMenu();
    // Opens the menu by itself, as a left click on the icon does.
    void popupMenu();

    // Whether a management window is on screen, not minimised (the tray icon's own window aside).
    static bool isManagementWindowShown();

    // The application's icon from the compiled-in SVG; an icon with "AGY" drawn on it when the SVG
    // cannot be rendered (no SVG support in this Qt installation).
    static QIcon statusIcon(const QString &svgPath = QStringLiteral(":/icons/velkaro-backup.svg"));

protected:
    // The key hints of the open menu: QMenu shows them but does not act on them by itself.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setupStatusItem();
    void updateToolTip();
    void updateApplyEntry();
    void triggerBackupAction();
    void applyTemplateAction(QAction *item);
    void openMainWindowAction();
    void quitAppAction();

    QPointer<AppState> m_appState;
    std::function<void()> m_openWindowCallback;
    std::unique_ptr<QMenu> m_menu; // a tray menu has no parent widget
    QPointer<QAction> m_templateMenuAction;
    QSystemTrayIcon *m_statusItem = nullptr;
    // Watches for a tray that comes up after us, so the icon appears then.
    QTimer m_trayWatch;
};

} // namespace velkaro
