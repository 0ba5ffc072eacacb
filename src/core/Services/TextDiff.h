#pragma once

#include <string>
#include <string_view>

namespace velkaro {

// Whether `content` is treated as binary: it holds a NUL byte.
bool looksBinary(std::string_view content);

// The unified diff from `before` to `after` in the form `diff -u --label` writes it: "---"/"+++" lines
// with the labels, hunks with `context` lines of context, and "\ No newline at end of file" after a last
// line without one. Empty when both texts are equal.
std::string unifiedDiff(const std::string &before, const std::string &after, const std::string &beforeLabel,
    const std::string &afterLabel, int context = 3);

} // namespace velkaro
