#pragma once

#include "App/AppState.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

namespace velkaro {

class MainWindow;
class MenuBarManager;

// The process's one delegate: it owns AppState and the tray, keeps the management window and decides at
// the first appearance of the window whether the application starts on screen or in the tray only.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        AppStateOptions state;
        // Whether a tray can show our icon; without one a hidden window could not be reached.
        std::function<bool()> isTrayAvailable;
    };

    explicit AppDelegate(QStringList arguments, Options options = {}, QObject *parent = nullptr);
    ~AppDelegate() override;

    // Whole-string, case-sensitive; any switch wins over the configured start-up mode.
    static bool startsHidden(const QStringList &arguments, StartupWindowMode mode);
    static bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

    // The start of the process after construction: the window, the tray, the first appearance.
    void launch();

    void applicationDidFinishLaunching();
    void handleWindowAppear();
    void openMainWindow();
    // Any URL of our scheme: a new window (900 × 600, centred) when none is left, otherwise the existing
    // one in front as it is.
    Q_INVOKABLE void handleUrl(const QUrl &url);
    // The arguments a later launch handed over (without its program path).
    void handleLaunchRequest(const QStringList &arguments);

    AppState &appState() { return *m_appState; }
    MenuBarManager *menuBarManager() const { return m_menuBarManager.get(); }
    bool hasHandledInitialLaunch() const { return m_hasHandledInitialLaunch; }
    // Open main windows, oldest first; closed ones are not counted.
    std::vector<MainWindow *> mainWindows() const;

private:
    MainWindow *createMainWindow();

    QStringList m_arguments;
    std::function<bool()> m_isTrayAvailable;
    std::unique_ptr<AppState> m_appState;
    std::unique_ptr<MenuBarManager> m_menuBarManager;
    bool m_hasHandledInitialLaunch = false;
    std::vector<QPointer<MainWindow>> m_windows;
};

} // namespace velkaro
