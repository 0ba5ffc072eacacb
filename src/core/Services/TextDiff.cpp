#include "Services/TextDiff.h"

#include <dtl/dtl.hpp>

#include <algorithm>
#include <cstring>
#include <vector>

namespace velkaro {

namespace {

// Lines with their own "\n"; a last line without one stays without, so that it differs from the same
// text with a newline, as it does for diff.
std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        const std::size_t stop = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, stop - start));
        start = stop;
    }
    return lines;
}

// "l,s" as diff -u writes a range: an empty range names the line before it, one line has no count.
std::string range(std::size_t before, std::size_t count)
{
    if (count == 0)
        return std::to_string(before) + ",0";
    if (count == 1)
        return std::to_string(before + 1);
    return std::to_string(before + 1) + "," + std::to_string(count);
}

struct Edit
{
    DiffLine::Kind kind;
    const std::string *line;
};

// The line diff from dtl, pointing into our own lines, removed lines first within each run of changes.
std::vector<Edit> composeEdits(const std::vector<std::string> &oldLines, const std::vector<std::string> &newLines)
{
    dtl::Diff<std::string, std::vector<std::string>> diff(oldLines, newLines);
    diff.compose();
    std::vector<Edit> edits;
    const auto sequence = diff.getSes().getSequence();
    for (const auto &[line, info] : sequence) {
        // The sequence holds copies that live as long as `diff`.
        const bool added = info.type == dtl::SES_ADD;
        const auto &source = added ? newLines : oldLines;
        const auto index = static_cast<std::size_t>((added ? info.afterIdx : info.beforeIdx) - 1);
        const DiffLine::Kind kind = added  ? DiffLine::Kind::added
            : info.type == dtl::SES_DELETE ? DiffLine::Kind::removed
                                           : DiffLine::Kind::context;
        edits.push_back({kind, &source[index]});
    }
    const auto isChange = [](const Edit &e) { return e.kind != DiffLine::Kind::context; };
    for (auto it = edits.begin(); it != edits.end();) {
        const auto runEnd = std::find_if_not(it, edits.end(), isChange);
        std::stable_partition(it, runEnd, [](const Edit &e) { return e.kind == DiffLine::Kind::removed; });
        it = runEnd == edits.end() ? runEnd : runEnd + 1;
    }
    return edits;
}

DiffHunk makeHunk(
    const std::vector<Edit> &edits, std::size_t from, std::size_t to, std::size_t oldBefore, std::size_t newBefore)
{
    DiffHunk hunk {oldBefore, newBefore, {}};
    std::size_t oldLine = oldBefore, newLine = newBefore;
    for (std::size_t i = from; i < to; ++i) {
        DiffLine line {edits[i].kind, 0, 0, *edits[i].line};
        if (edits[i].kind != DiffLine::Kind::added)
            line.oldNumber = ++oldLine;
        if (edits[i].kind != DiffLine::Kind::removed)
            line.newNumber = ++newLine;
        hunk.lines.push_back(std::move(line));
    }
    return hunk;
}

} // namespace

bool looksBinary(std::string_view content)
{
    return content.find('\0') != std::string_view::npos;
}

std::vector<DiffHunk> diffHunks(const std::string &before, const std::string &after, int context)
{
    if (before == after)
        return {};
    const auto oldLines = splitLines(before);
    const auto newLines = splitLines(after);
    const std::vector<Edit> edits = composeEdits(oldLines, newLines);
    std::vector<DiffHunk> hunks;
    const auto ctx = static_cast<std::size_t>(std::max(context, 0));
    std::size_t i = 0, oldSeen = 0, newSeen = 0;
    while (i < edits.size()) {
        if (edits[i].kind == DiffLine::Kind::context) {
            ++i, ++oldSeen, ++newSeen;
            continue;
        }
        // A hunk: from `ctx` lines before this change to `ctx` lines after the last change that is at
        // most 2 * ctx common lines from the one before.
        const std::size_t lead = std::min(ctx, std::min(oldSeen, i));
        const std::size_t from = i - lead;
        std::size_t end = i, common = 0;
        for (std::size_t j = i; j < edits.size(); ++j) {
            if (edits[j].kind != DiffLine::Kind::context) {
                end = j + 1, common = 0;
            } else if (++common > 2 * ctx) {
                break;
            }
        }
        const std::size_t to = std::min(edits.size(), end + ctx);
        hunks.push_back(makeHunk(edits, from, to, oldSeen - lead, newSeen - lead));
        for (std::size_t j = i; j < to; ++j) {
            oldSeen += edits[j].kind != DiffLine::Kind::added;
            newSeen += edits[j].kind != DiffLine::Kind::removed;
        }
        i = to;
    }
    return hunks;
}

std::string unifiedDiff(const std::string &before, const std::string &after, const std::string &beforeLabel,
    const std::string &afterLabel, int context)
{
    const auto hunks = diffHunks(before, after, context);
    if (hunks.empty())
        return {};
    std::string out = "--- " + beforeLabel + "\n+++ " + afterLabel + "\n";
    for (const DiffHunk &hunk : hunks) {
        std::size_t oldCount = 0, newCount = 0;
        for (const DiffLine &line : hunk.lines) {
            oldCount += line.kind != DiffLine::Kind::added;
            newCount += line.kind != DiffLine::Kind::removed;
        }
        out += "@@ -" + range(hunk.oldStart, oldCount) + " +" + range(hunk.newStart, newCount) + " @@\n";
        for (const DiffLine &line : hunk.lines) {
            out += line.kind == DiffLine::Kind::added ? '+' : line.kind == DiffLine::Kind::removed ? '-' : ' ';
            out += line.text;
            if (line.text.empty() || line.text.back() != '\n')
                out += "\n\\ No newline at end of file\n";
        }
    }
    return out;
}

} // namespace velkaro
