#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// Whether `content` is treated as binary: it holds a NUL byte (diff looks at the first block only, and
// so do callers that read a file in blocks).
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
std::vector<DiffHunk> diffHunks(std::string_view before, std::string_view after, int context = 3);

// The unified diff from `before` to `after` in the form `diff -u --label` writes it: "---"/"+++" lines
// with the labels, hunks with `context` lines of context, and "\ No newline at end of file" after a last
// line without one; nothing when both texts are equal. Handed to `emit` in pieces, so that a large diff
// is never held whole.
void writeUnifiedDiff(std::string_view before, std::string_view after, const std::string &beforeLabel,
    const std::string &afterLabel, const std::function<void(std::string_view)> &emit, int context = 3);

// Bytes the line diff of two texts needs besides the texts themselves, per line of both.
inline constexpr std::size_t kDiffBytesPerLine = 48;

// The number of lines of `text` (a last line without "\n" counts).
std::size_t lineCount(std::string_view text);

} // namespace velkaro
