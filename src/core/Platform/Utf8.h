#pragma once

#include <string_view>

namespace velkaro::Utf8 {

// What a byte of 0x80 and above starts: how many continuation bytes follow it (0 when it starts
// nothing), and the range the first of them must lie in (the others lie in 0x80-0xBF). The ranges
// keep out overlong forms, surrogates and anything beyond U+10FFFF.
struct Lead
{
    int continuations = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
};

inline Lead leadOf(unsigned lead)
{
    const int continuations = lead >= 0xC2 && lead <= 0xDF ? 1
        : lead >= 0xE0 && lead <= 0xEF                     ? 2
        : lead >= 0xF0 && lead <= 0xF4                     ? 3
                                                           : 0;
    return Lead {continuations,
        lead == 0xE0       ? 0xA0u
            : lead == 0xF0 ? 0x90u
                           : 0x80u,
        lead == 0xED       ? 0x9Fu
            : lead == 0xF4 ? 0x8Fu
                           : 0xBFu};
}

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
        const Lead expected = leadOf(lead);
        if (expected.continuations == 0)
            return false;
        for (int i = 0; i < expected.continuations; ++i) {
            const unsigned low = i == 0 ? expected.low : 0x80;
            const unsigned high = i == 0 ? expected.high : 0xBF;
            if (p == end || *p < low || *p > high)
                return false;
            ++p;
        }
    }
    return true;
}

} // namespace velkaro::Utf8
