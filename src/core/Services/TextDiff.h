#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// Whether `content` is treated as binary: it holds a NUL byte.
bool looksBinary(std::string_view content);

// One line of a hunk. `text` keeps its own "\n"; a last line without one has none. Line numbers count
// from 1 and are 0 on the side that does not hold the line.
struct DiffLine
{
    enum class Kind { context, removed, added };
    Kind kind = Kind::context;
    std::size_t oldNumber = 0;
    std::size_t newNumber = 0;
    std::string text;
};

// A run of changes with up to `context` common lines around it. `oldStart`/`newStart` are the lines
// before the hunk's first line (as many lines as each side had before it).
struct DiffHunk
{
    std::size_t oldStart = 0;
    std::size_t newStart = 0;
    std::vector<DiffLine> lines;
};

// The hunks that turn `before` into `after`, grouped as diff -u groups them; empty when both are equal.
// Within each run of changes the removed lines come first.
std::vector<DiffHunk> diffHunks(const std::string &before, const std::string &after, int context = 3);

// The unified diff from `before` to `after` in the form `diff -u --label` writes it: "---"/"+++" lines
// with the labels, hunks with `context` lines of context, and "\ No newline at end of file" after a last
// line without one. Empty when both texts are equal.
std::string unifiedDiff(const std::string &before, const std::string &after, const std::string &beforeLabel,
    const std::string &afterLabel, int context = 3);

} // namespace velkaro
