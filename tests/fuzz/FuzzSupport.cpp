#include "FuzzSupport.h"

#include <filesystem>
#include <string>

namespace velkaro::fuzz {

bool staysBelow(std::string_view name, bool controlsAllowed)
{
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0 || (!controlsAllowed && (u < 0x20 || u == 0x7f)))
            return false;
    }
    const std::filesystem::path path {std::string(name)};
    if (path.is_absolute() || path.empty())
        return false;
    // Judged on the path's own components, independently of the program's text scan.
    int depth = 0;
    for (const auto &component : path) {
        if (component == "..")
            --depth;
        else if (component != "." && !component.empty())
            ++depth;
        if (depth < 0)
            return false;
    }
    return depth > 0;
}

} // namespace velkaro::fuzz
