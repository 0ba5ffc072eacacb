#pragma once

namespace velkaro::Utf8 {

// The form of a well-formed UTF-8 sequence (no overlong forms, no surrogates, nothing above
// U+10FFFF) that starts with the byte `lead` (0x80 or above): how many continuation bytes follow, and
// the range the first of them must lie in (the others lie in 0x80–0xBF). False for a byte that
// cannot start a sequence.
inline bool sequenceAfter(unsigned lead, int &continuations, unsigned &low, unsigned &high)
{
    low = 0x80;
    high = 0xBF;
    continuations = lead >= 0xC2 && lead <= 0xDF ? 1
        : lead >= 0xE0 && lead <= 0xEF           ? 2
        : lead >= 0xF0 && lead <= 0xF4           ? 3
                                                 : 0;
    if (lead == 0xE0)
        low = 0xA0; // below: overlong
    else if (lead == 0xED)
        high = 0x9F; // above: surrogates
    else if (lead == 0xF0)
        low = 0x90; // below: overlong
    else if (lead == 0xF4)
        high = 0x8F; // above: beyond U+10FFFF
    return continuations > 0;
}

} // namespace velkaro::Utf8
