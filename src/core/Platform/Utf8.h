#pragma once

#include <string_view>

namespace velkaro::Utf8 {

// True for well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no sequence
// cut short. Files the program writes and reads hold only such text.
inline bool isValid(std::string_view text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p != end) {
        const unsigned lead = *p++;
        if (lead < 0x80)
            continue;
        // How many continuation bytes follow, and the range the first of them must lie in (the others
        // lie in 0x80-0xBF).
        const int continuations = lead >= 0xC2 && lead <= 0xDF ? 1
            : lead >= 0xE0 && lead <= 0xEF                     ? 2
            : lead >= 0xF0 && lead <= 0xF4                     ? 3
                                                               : 0;
        if (continuations == 0)
            return false;
        unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80; // below: overlong
        unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF; // above: surrogates, beyond U+10FFFF
        for (int i = 0; i < continuations; ++i, low = 0x80, high = 0xBF) {
            if (p == end || *p < low || *p > high)
                return false;
            ++p;
        }
    }
    return true;
}

} // namespace velkaro::Utf8
