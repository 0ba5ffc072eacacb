#include "App/DesktopNotifier.h"

#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace velkaro {

bool notificationAllowed(NotificationSettingMode mode, bool isError)
{
    switch (mode) {
    case NotificationSettingMode::all:
        return true;
    case NotificationSettingMode::errorsOnly:
        return isError;
    case NotificationSettingMode::none:
        return false;
    }
    return false;
}

DesktopNotifier::DesktopNotifier()
    : m_bus(QDBusConnection::sessionBus())
{ }

DesktopNotifier::DesktopNotifier(QDBusConnection bus)
    : m_bus(std::move(bus))
{ }

void DesktopNotifier::post(const std::string &title, const std::string &body) const
{
    if (!m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("Notify"));
    // The event sound of the freedesktop sound theme that stands for a new message.
    const QVariantMap hints {{QStringLiteral("sound-name"), QStringLiteral("message-new-instant")}};
    call << QString::fromUtf8(kApplicationName) << 0u << QString() << QString::fromStdString(title)
         << QString::fromStdString(body) << QStringList() << hints << -1;
    // The reply (the server's id, or an error when there is no server) is of no use to anyone.
    m_bus.send(call);
}

} // namespace velkaro
