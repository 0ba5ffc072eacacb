#pragma once

// Shared by the JSON reader fuzz targets. Each target defines LLVMFuzzerTestOneInput for libFuzzer.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace velkaro::fuzz {

// A broken property is a finding: report it and abort, as a sanitizer would.
inline void check(bool holds, const char *what, std::string_view input)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz finding: %s\ninput (%zu bytes): %.*s\n", what, input.size(),
        static_cast<int>(input.size()), input.data());
    std::abort();
}

// True when `name` is a relative path naming something strictly below its folder, with no NUL and,
// unless `controlsAllowed`, no other control character.
bool staysBelow(std::string_view name, bool controlsAllowed = false);

} // namespace velkaro::fuzz
