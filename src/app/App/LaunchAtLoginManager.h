#pragma once

#include "Models/AppEnums.h"
#include "Platform/Error.h"

#include <filesystem>
#include <string>

namespace velkaro {

// Opening at login through an XDG autostart entry. Registered means the entry exists and is not
// hidden (Hidden=true is how desktops let the user switch an entry off). Holds no state: the file is
// looked at on every call.
class LaunchAtLoginManager
{
public:
    explicit LaunchAtLoginManager(std::filesystem::path autostartFile = defaultAutostartFilePath(),
        std::filesystem::path programPath = currentProgramPath());

    // $XDG_CONFIG_HOME/autostart/velkaro-backup.desktop
    static std::filesystem::path defaultAutostartFilePath();
    // The absolute path of the running program.
    static std::filesystem::path currentProgramPath();

    // Writes or removes the entry; nothing is done when it is already in the requested state.
    Result<void> setAutoLaunch(AutoLaunchState state) const;
    bool isEnabled() const;

    // The entry as written: starts the program resident with its window hidden.
    std::string desktopEntry() const;

    const std::filesystem::path &autostartFile() const { return m_autostartFile; }

private:
    std::filesystem::path m_autostartFile;
    std::filesystem::path m_programPath;
};

} // namespace velkaro
