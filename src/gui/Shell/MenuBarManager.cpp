#include "Shell/MenuBarManager.h"

#include "App/AppState.h"
#include "Platform/Formatters.h"
#include "Shell/MainWindow.h"
#include "Shell/ShellTexts.h"

#include <QApplication>
#include <QCursor>
#include <QFont>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <algorithm>

namespace velkaro {

namespace {

// The record as it was when the menu was built, attached to its item.
using TemplateCopy = std::shared_ptr<const PromptTemplate>;

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QIcon textIcon(const QString &text)
{
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x2456c8));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(pixmap.rect(), 12, 12);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(24);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, text);
    painter.end();
    return QIcon(pixmap);
}

} // namespace

MenuBarManager::MenuBarManager(AppState *appState, std::function<void()> openWindowCallback, QObject *parent)
    : QObject(parent)
    , m_appState(appState)
    , m_openWindowCallback(std::move(openWindowCallback))
{
    setupStatusItem();
}

MenuBarManager::~MenuBarManager()
{
    // The icon goes before its menu.
    delete m_statusItem;
}

QIcon MenuBarManager::statusIcon(const QString &svgPath)
{
    QIcon icon(svgPath);
    if (icon.isNull() || icon.pixmap(32, 32).isNull())
        return textIcon(QStringLiteral("AGY"));
    return icon;
}

void MenuBarManager::setupStatusItem()
{
    m_statusItem = new QSystemTrayIcon(statusIcon());
    m_menu = std::make_unique<QMenu>();
    connect(m_menu.get(), &QMenu::aboutToShow, this, &MenuBarManager::rebuildMenu);
    m_menu->installEventFilter(this);
    m_statusItem->setContextMenu(m_menu.get());
    // A left click opens the same menu as a right click does.
    connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            popupMenu();
    });
    if (m_appState) {
        connect(m_appState, &AppState::statusMessageChanged, this, &MenuBarManager::updateToolTip);
        connect(m_appState, &AppState::templateApplyChanged, this, &MenuBarManager::updateApplyEntry);
    }
    updateToolTip();
    rebuildMenu();
    m_statusItem->show();

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        m_trayWatch.setInterval(2000);
        connect(&m_trayWatch, &QTimer::timeout, this, [this] {
            if (!QSystemTrayIcon::isSystemTrayAvailable())
                return;
            m_trayWatch.stop();
            m_statusItem->hide();
            m_statusItem->show();
        });
        m_trayWatch.start();
    }
}

bool MenuBarManager::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_menu.get() || event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    if (!(key->modifiers() & Qt::ControlModifier))
        return false;
    const QKeySequence pressed(key->keyCombination());
    for (QAction *action : m_menu->actions()) {
        if (action->isEnabled() && !action->shortcut().isEmpty() && action->shortcut() == pressed) {
            m_menu->close();
            action->trigger();
            return true;
        }
    }
    return false;
}

void MenuBarManager::popupMenu()
{
    // An XEmbed tray tells where the icon is. A StatusNotifier host does not (it only sends Activate
    // with the click's position, which Qt drops), so the menu opens where the pointer is: on the icon.
    const QRect icon = m_statusItem->geometry();
    m_menu->popup(icon.isValid() ? icon.bottomLeft() : QCursor::pos());
}

void MenuBarManager::updateToolTip()
{
    QString tip = ShellTexts::appName();
    if (const AppState *state = m_appState.data()) {
        if (const OptionalText message = state->statusMessage(); message.has_value())
            tip += QLatin1Char('\n') + fromUtf8(message.value());
    }
    m_statusItem->setToolTip(tip);
}

void MenuBarManager::rebuildMenu()
{
    if (!m_statusItem || !m_menu)
        return;
    // Clear through the menu so that the old actions (and the old submenu) go with it.
    for (QAction *action : m_menu->actions()) {
        m_menu->removeAction(action);
        if (QMenu *sub = QMenu::menuInAction(action))
            sub->deleteLater();
        action->deleteLater();
    }

    auto addInfo = [this](const QString &title) { m_menu->addAction(title)->setEnabled(false); };
    addInfo(ShellTexts::appName());
    const AppState *state = m_appState.data();
    const OptionalDate last = state ? state->lastSuccessDate() : std::nullopt;
    if (last.has_value())
        addInfo(ShellTexts::lastBackupPrefix() + fromUtf8(formatDate(last.value(), "MM/dd HH:mm")));
    else
        addInfo(ShellTexts::noBackupYet());
    const OptionalDate next = state ? state->nextBackupDate() : std::nullopt;
    if (next.has_value())
        addInfo(ShellTexts::nextRunPrefix() + fromUtf8(formatDate(next.value(), "HH:mm")));
    m_menu->addSeparator();

    QAction *backup = m_menu->addAction(ShellTexts::runBackupItem(), this, &MenuBarManager::triggerBackupAction);
    backup->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));

    auto *templates = new QMenu(ShellTexts::applyTemplateItem(), m_menu.get());
    if (state) {
        for (const PromptTemplate &tmpl : state->templates()) {
            QAction *item = templates->addAction(fromUtf8(tmpl.title));
            // A copy of the record as it is now: later edits show at the next opening.
            item->setData(QVariant::fromValue(std::make_shared<const PromptTemplate>(tmpl)));
            connect(item, &QAction::triggered, this, [this, item] { applyTemplateAction(item); });
        }
    }
    m_templateMenuAction = m_menu->addMenu(templates);
    updateApplyEntry();
    m_menu->addSeparator();

    QAction *open = m_menu->addAction(ShellTexts::openDashboardItem(), this, &MenuBarManager::openMainWindowAction);
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    m_menu->addSeparator();
    QAction *quit = m_menu->addAction(ShellTexts::quitItem(), this, &MenuBarManager::quitAppAction);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
}

void MenuBarManager::updateApplyEntry()
{
    // One apply at a time: the entry waits while one runs, also when the menu is open.
    const AppState *state = m_appState.data();
    if (m_templateMenuAction)
        m_templateMenuAction->setEnabled(state == nullptr || !state->isApplyingTemplate());
}

bool MenuBarManager::isManagementWindowShown()
{
    // Only the management window counts: an XEmbed tray's icon is a visible top-level window of ours too.
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::ranges::any_of(windows, [](QWidget *widget) {
        const auto *window = qobject_cast<MainWindow *>(widget);
        return window && !window->isClosed() && window->isVisible() && !window->isMinimized();
    });
}

void MenuBarManager::triggerBackupAction()
{
    if (!m_appState)
        return;
    // With no window on screen the status line that reports the outcome cannot be seen.
    m_appState->performManualBackup(
        isManagementWindowShown() ? AppState::SuccessFeedback::statusOnly : AppState::SuccessFeedback::notify);
}

void MenuBarManager::applyTemplateAction(QAction *item)
{
    if (!item || !item->data().canConvert<TemplateCopy>())
        return;
    const auto tmpl = item->data().value<TemplateCopy>();
    if (tmpl && m_appState)
        m_appState->applyTemplateToCurrent(*tmpl);
}

void MenuBarManager::openMainWindowAction()
{
    if (m_openWindowCallback)
        m_openWindowCallback();
}

void MenuBarManager::quitAppAction()
{
    // Queued, so that the menu has closed before a window asks about unsaved edits.
    MainWindow::quitApplication();
}

} // namespace velkaro
