#pragma once

#include <QMainWindow>
#include <QPointer>

class QAction;

namespace velkaro {

class AppState;
class MainWindowView;

// The management window: MainWindowView inside a frame that carries the application menu. Closing
// it deletes it; the process goes on living in the tray.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int kPresentedWidth = 900;
    static constexpr int kPresentedHeight = 600;
    // The content's minimum size, below the menu bar.
    static constexpr int kMinimumWidth = 860;
    static constexpr int kMinimumHeight = 560;

    explicit MainWindow(AppState &state, QWidget *parent = nullptr);

    MainWindowView *view() const { return m_view; }
    QAction *backupAction() const { return m_backupAction; }
    QAction *quitAction() const { return m_quitAction; }
    bool isClosed() const { return m_closed; }

    // 900 × 600, centred on its screen, shown, raised and made the active window.
    void present();
    // Shown, raised and activated as it is, without touching its size or place.
    void bringToFront();

    // Closes every open management window before the application quits; false when one stays open
    // because the user kept its unsaved edits.
    static bool closeAllBeforeQuit();
    // Quits the application once every window has closed; queued, so that a menu closes first.
    static void quitApplication();

signals:
    // Every time the window is shown.
    void appeared();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void showAbout();

    QPointer<AppState> m_state;
    MainWindowView *m_view = nullptr;
    QAction *m_backupAction = nullptr;
    QAction *m_quitAction = nullptr;
    bool m_closed = false;
};

} // namespace velkaro
