// The tray application's entry and its delegate.
#include "AppDelegate.h"

#include "Shell/CommandLine.h"
#include "Shell/MainWindow.h"
#include "Shell/MenuBarManager.h"
#include "Shell/QtTranslations.h"
#include "Shell/ShellTexts.h"
#include "Shell/SingleInstance.h"
#include "version.h"

#include <QApplication>
#include <QDesktopServices>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <optional>

namespace velkaro {

namespace {

const QString kUrlScheme = QStringLiteral("velkaro-backup");

bool isSchemeUrl(const QString &argument)
{
    return argument.startsWith(kUrlScheme + QLatin1Char(':'));
}

} // namespace

AppDelegate::AppDelegate(QStringList arguments, Options options, QObject *parent)
    : QObject(parent)
    , m_arguments(std::move(arguments))
    , m_isTrayAvailable(options.isTrayAvailable ? std::move(options.isTrayAvailable)
                                                : std::function<bool()>(&QSystemTrayIcon::isSystemTrayAvailable))
{
    // The services in their order: the backup service AppState uses, a second one for the restore's
    // safety snapshots, the template store, the login item.
    BackupService backupService;
    RestoreService restoreService {BackupService()};
    TemplateService templateService;
    LaunchAtLoginManager launchManager;
    m_appState = std::make_unique<AppState>(std::move(backupService), std::move(restoreService),
        std::move(templateService), std::move(launchManager), std::move(options.state));

    QGuiApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    // openUrl of our own scheme comes straight back here, whether or not a desktop file is installed.
    QDesktopServices::setUrlHandler(kUrlScheme, this, "handleUrl");
}

AppDelegate::~AppDelegate()
{
    QDesktopServices::unsetUrlHandler(kUrlScheme);
    for (const auto &window : m_windows)
        delete window.data();
    m_menuBarManager.reset();
    m_appState.reset();
}

bool AppDelegate::startsHidden(const QStringList &arguments, StartupWindowMode mode)
{
    for (const char *flag : {"--minimized", "-m", "--background"}) {
        if (arguments.contains(QLatin1String(flag), Qt::CaseSensitive))
            return true;
    }
    return mode == StartupWindowMode::minimizeToMenuBar;
}

void AppDelegate::launch()
{
    createMainWindow();
    applicationDidFinishLaunching();
    // The window's first appearance. It is decided before the window reaches the screen, so that a
    // resident start does not flash it up.
    handleWindowAppear();
}

void AppDelegate::applicationDidFinishLaunching()
{
    QPointer<AppDelegate> self(this);
    auto openWindowCallback = [self] {
        if (self)
            self->openMainWindow();
    };
    m_menuBarManager = std::make_unique<MenuBarManager>(m_appState.get(), openWindowCallback);
}

void AppDelegate::handleWindowAppear()
{
    if (m_hasHandledInitialLaunch)
        return;
    m_hasHandledInitialLaunch = true;
    // Without a tray the hidden window could not be brought back: it is always shown then.
    const bool hide = startsHidden(m_arguments, m_appState->config().startupWindowMode) && m_isTrayAvailable();
    QTimer::singleShot(0, this, [this, hide] {
        for (MainWindow *window : mainWindows()) {
            if (hide)
                window->hide();
            else
                window->present();
        }
    });
}

void AppDelegate::openMainWindow()
{
    const auto windows = mainWindows();
    if (!windows.empty()) {
        windows.front()->present();
        return;
    }
    const QUrl url(kUrlScheme + QStringLiteral("://open"));
    if (url.isValid())
        QDesktopServices::openUrl(url);
}

void AppDelegate::handleUrl(const QUrl &url)
{
    if (url.scheme() != kUrlScheme)
        return;
    const auto windows = mainWindows();
    if (!windows.empty()) {
        windows.front()->bringToFront();
        return;
    }
    // A new window comes up as the first one did, not at the size its layout would pick.
    createMainWindow()->present();
}

void AppDelegate::handleLaunchRequest(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (isSchemeUrl(argument)) {
            handleUrl(QUrl(argument));
            return;
        }
    }
    // Another resident start (the login item while we already run) changes nothing on screen.
    if (startsHidden(arguments, StartupWindowMode::showWindow) && m_isTrayAvailable())
        return;
    openMainWindow();
}

std::vector<MainWindow *> AppDelegate::mainWindows() const
{
    std::vector<MainWindow *> out;
    for (const auto &pointer : m_windows) {
        MainWindow *window = pointer.data();
        if (window != nullptr && !window->isClosed())
            out.push_back(window);
    }
    return out;
}

MainWindow *AppDelegate::createMainWindow()
{
    std::erase_if(m_windows, [](const QPointer<MainWindow> &window) { return window.isNull(); });
    auto *window = new MainWindow(*m_appState);
    connect(window, &MainWindow::appeared, this, &AppDelegate::handleWindowAppear);
    m_windows.emplace_back(window);
    return window;
}

} // namespace velkaro

#ifndef VELKARO_NO_MAIN
namespace {

// Settled before QApplication exists: --help and --version need no display, and a mistyped option must
// neither start the application nor hand over to the running one.
std::optional<int> answerCommandLine(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const velkaro::CommandLine line = velkaro::CommandLine::parse(arguments);
    switch (line.action) {
    case velkaro::CommandLine::Action::run:
        return std::nullopt;
    case velkaro::CommandLine::Action::help:
        std::fputs(velkaro::CommandLine::usageText().toLocal8Bit().constData(), stdout);
        return 0;
    case velkaro::CommandLine::Action::version:
        std::fputs(velkaro::CommandLine::versionText().toLocal8Bit().constData(), stdout);
        return 0;
    case velkaro::CommandLine::Action::usageError:
        std::fprintf(stderr, "%s\n\n%s", line.problem.toLocal8Bit().constData(),
            velkaro::CommandLine::usageText().toLocal8Bit().constData());
        return 2;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    if (const auto exitCode = answerCommandLine(argc, argv))
        return *exitCode;

    QApplication app(argc, argv);
    // StatusNotifier hosts show the application name as the item's title, so it is the name people
    // read; the desktop file name ties windows and the item to velkaro-backup.desktop.
    QApplication::setApplicationName(velkaro::ShellTexts::appName());
    QApplication::setApplicationDisplayName(velkaro::ShellTexts::appName());
    QApplication::setApplicationVersion(QStringLiteral(VELKARO_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("velkaro-backup"));
    QApplication::setWindowIcon(velkaro::MenuBarManager::statusIcon());
    velkaro::installQtTranslations(app, QLocale());

    // Settled before anything else is built: a second launch never makes a second AppState (two
    // schedulers would run every backup twice).
    const QStringList arguments = QCoreApplication::arguments();
    velkaro::SingleInstance instance;
    if (instance.start(arguments.mid(1)) == velkaro::SingleInstance::Role::handedOver)
        return 0;

    velkaro::AppDelegate delegate(arguments);
    QObject::connect(
        &instance, &velkaro::SingleInstance::argumentsReceived, &delegate, &velkaro::AppDelegate::handleLaunchRequest);
    delegate.launch();
    return QApplication::exec();
}
#endif
