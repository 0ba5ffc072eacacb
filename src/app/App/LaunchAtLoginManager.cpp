#include "App/LaunchAtLoginManager.h"

#include "Platform/FileSystem.h"

#include <sstream>

namespace velkaro {

namespace {

// One Exec argument: quoted when it holds a reserved character; inside the quotes ", `, $ and \ get a
// backslash. "%" is doubled in any case so that it is not read as a field code.
std::string quoteExecArgument(const std::string &arg)
{
    const bool plain = !arg.empty() && arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos;
    std::string out = plain ? "" : "\"";
    for (char c : arg) {
        if (!plain && (c == '"' || c == '`' || c == '$' || c == '\\'))
            out += '\\';
        if (c == '%')
            out += '%';
        out += c;
    }
    if (!plain)
        out += '"';
    return out;
}

// A value of type string in a desktop entry: backslashes and control characters are escaped.
std::string escapeValue(const std::string &value)
{
    std::string out;
    for (char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool isHidden(const std::string &entry)
{
    std::istringstream lines(entry);
    std::string line;
    bool inMainGroup = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.starts_with('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup || !line.starts_with("Hidden"))
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos || line.find_first_not_of(' ', 6) != eq)
            continue;
        const auto value = line.find_first_not_of(' ', eq + 1);
        if (value != std::string::npos && line.compare(value, std::string::npos, "true") == 0)
            return true;
    }
    return false;
}

} // namespace

LaunchAtLoginManager::LaunchAtLoginManager(std::filesystem::path autostartFile, std::filesystem::path programPath)
    : m_autostartFile(std::move(autostartFile))
    , m_programPath(std::move(programPath))
{ }

std::filesystem::path LaunchAtLoginManager::defaultAutostartFilePath()
{
    return FileSystem::configHome() / "autostart" / "velkaro-backup.desktop";
}

std::filesystem::path LaunchAtLoginManager::currentProgramPath()
{
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path("velkaro-backup") : path;
}

bool LaunchAtLoginManager::isEnabled() const
{
    if (!FileSystem::exists(m_autostartFile))
        return false;
    // Something stands there that we cannot read: not ours to call registered.
    auto text = FileSystem::readFile(m_autostartFile);
    return text && !isHidden(*text);
}

std::string LaunchAtLoginManager::desktopEntry() const
{
    std::string entry = "[Desktop Entry]\n"
                        "Type=Application\n"
                        "Name=Velkaro Antigravity Backup\n"
                        "Comment=AI アシスタントの設定とプロンプトを自動でバックアップします\n";
    entry += "Exec=" + escapeValue(quoteExecArgument(m_programPath.string()) + " --background") + "\n";
    entry += "Terminal=false\n";
    return entry;
}

Result<void> LaunchAtLoginManager::setAutoLaunch(AutoLaunchState state) const
{
    const bool enabled = isEnabled();
    if (state == AutoLaunchState::enabled) {
        if (enabled)
            return {};
        // writeFileAtomically goes through a temporary file and a rename, so a session starting
        // meanwhile never reads half an entry.
        return FileSystem::writeFileAtomically(m_autostartFile, desktopEntry());
    }
    if (!enabled)
        return {};
    return FileSystem::removeAll(m_autostartFile);
}

} // namespace velkaro
