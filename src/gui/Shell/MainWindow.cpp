#include "Shell/MainWindow.h"

#include "App/AppState.h"
#include "Shell/ShellTexts.h"
#include "Views/Main/MainWindowView.h"
#include "version.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>

namespace velkaro {

MainWindow::MainWindow(AppState &state, QWidget *parent)
    : QMainWindow(parent)
    , m_state(&state)
    , m_view(new MainWindowView(state, this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(ShellTexts::appName());
    setCentralWidget(m_view);
    // The minimum is the content's (the view holds it): the menu bar comes on top of it, not out of it.
    m_view->setMinimumSize(kMinimumWidth, kMinimumHeight);

    // The application menu. There is deliberately no command that opens a second window.
    // Alt access keys, in the form Japanese menus use: "(&B)" after the text.
    auto withKey = [](const QString &text, char key) {
        return text + QStringLiteral("(&") + QLatin1Char(key) + QLatin1Char(')');
    };
    QMenu *appMenu = menuBar()->addMenu(QStringLiteral("&") + ShellTexts::appName());
    QAction *about = appMenu->addAction(withKey(ShellTexts::aboutItem(), 'A'));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);

    m_backupAction = appMenu->addAction(withKey(ShellTexts::backupNowItem(), 'B'));
    m_backupAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
    // The shortcut works wherever the focus is inside the window, including the pages.
    m_backupAction->setShortcutContext(Qt::WindowShortcut);
    connect(m_backupAction, &QAction::triggered, this, [this] {
        if (m_state)
            m_state->performManualBackup();
    });

    appMenu->addSeparator();
    m_quitAction = appMenu->addAction(withKey(ShellTexts::quitItem(), 'Q'));
    m_quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_quitAction->setMenuRole(QAction::QuitRole);
    connect(m_quitAction, &QAction::triggered, this, &MainWindow::quitApplication);
}

void MainWindow::present()
{
    QScreen *target = screen() ? screen() : QGuiApplication::primaryScreen();
    const QSize size(kPresentedWidth, kPresentedHeight);
    if (target)
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, target->availableGeometry()));
    else
        resize(size);
    bringToFront();
}

void MainWindow::bringToFront()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!event->spontaneous())
        emit appeared();
}

bool MainWindow::closeAllBeforeQuit()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *window = qobject_cast<MainWindow *>(widget);
        if (window && !window->m_closed && window->isVisible() && !window->close())
            return false;
    }
    return true;
}

void MainWindow::quitApplication()
{
    QMetaObject::invokeMethod(
        qApp,
        [] {
            if (closeAllBeforeQuit())
                QCoreApplication::quit();
        },
        Qt::QueuedConnection);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Unsaved edits are settled with the user first; キャンセル keeps the window.
    if (!m_view->mayLeaveCurrentPage()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
    // Deleted later (WA_DeleteOnClose); until then it no longer counts as the main window.
    if (event->isAccepted())
        m_closed = true;
}

void MainWindow::showAbout()
{
    QMessageBox::about(this, ShellTexts::aboutItem(), ShellTexts::aboutText());
}

} // namespace velkaro

namespace velkaro::ShellTexts {

QString aboutText()
{
    return appName() + QStringLiteral("\nバージョン ") + QStringLiteral(VELKARO_VERSION);
}

} // namespace velkaro::ShellTexts
