#pragma once

#include <string>
#include <string_view>

namespace velkaro {

// A name (a recorded path, an id, a note) as plain output prints it. A name that holds a control
// character, a double quote or a backslash is printed as git prints such a path: in double quotes, with
// C escapes (\t, \n, \", \\, and \ooo for other control bytes, C1 controls and bytes that are not UTF-8),
// so that it can neither break a line nor send a terminal sequence. Other names, Japanese ones
// included, are printed as they are.
std::string quotedName(std::string_view name);

// Whether quotedName() changes `name`.
bool needsQuoting(std::string_view name);

} // namespace velkaro
