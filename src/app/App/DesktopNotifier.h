#pragma once

#include "Models/AppEnums.h"

#include <QDBusConnection>

#include <string>

namespace velkaro {

// Whether the policy lets a notification through (errors pass under errorsOnly, nothing under none).
bool notificationAllowed(NotificationSettingMode mode, bool isError);

// Posts desktop notifications through org.freedesktop.Notifications. Each one stands on its own
// (replaces_id 0). Without a bus or a notification server nothing is shown and nothing fails: the
// call is sent without waiting for its reply.
class DesktopNotifier
{
public:
    static constexpr const char *kApplicationName = "Velkaro Antigravity Backup";

    // The session bus unless another connection is given.
    DesktopNotifier();
    explicit DesktopNotifier(QDBusConnection bus);

    void post(const std::string &title, const std::string &body) const;

private:
    QDBusConnection m_bus;
};

} // namespace velkaro
