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
    dtl::edit_t type;
    const std::string *line;
};

void appendHunk(std::string &out, const std::vector<Edit> &edits, std::size_t from, std::size_t to,
    std::size_t oldBefore, std::size_t newBefore)
{
    std::size_t oldCount = 0, newCount = 0;
    for (std::size_t i = from; i < to; ++i) {
        oldCount += edits[i].type != dtl::SES_ADD;
        newCount += edits[i].type != dtl::SES_DELETE;
    }
    out += "@@ -" + range(oldBefore, oldCount) + " +" + range(newBefore, newCount) + " @@\n";
    for (std::size_t i = from; i < to; ++i) {
        out += edits[i].type == dtl::SES_ADD ? '+' : edits[i].type == dtl::SES_DELETE ? '-' : ' ';
        out += *edits[i].line;
        if (edits[i].line->empty() || edits[i].line->back() != '\n')
            out += "\n\\ No newline at end of file\n";
    }
}

} // namespace

bool looksBinary(std::string_view content)
{
    return content.find('\0') != std::string_view::npos;
}

std::string unifiedDiff(const std::string &before, const std::string &after, const std::string &beforeLabel,
    const std::string &afterLabel, int context)
{
    if (before == after)
        return {};
    const auto oldLines = splitLines(before);
    const auto newLines = splitLines(after);
    dtl::Diff<std::string, std::vector<std::string>> diff(oldLines, newLines);
    diff.compose();
    std::vector<Edit> edits;
    const auto sequence = diff.getSes().getSequence();
    for (const auto &[line, info] : sequence) {
        // Point into our own lines: the sequence holds copies that live as long as `diff`.
        const auto &source = info.type == dtl::SES_ADD ? newLines : oldLines;
        const auto index = static_cast<std::size_t>((info.type == dtl::SES_ADD ? info.afterIdx : info.beforeIdx) - 1);
        edits.push_back({info.type, &source[index]});
    }
    // Within each run of changes the removed lines come first, as diff writes them.
    for (auto it = edits.begin(); it != edits.end();) {
        const auto isChange = [](const Edit &e) { return e.type != dtl::SES_COMMON; };
        const auto runEnd = std::find_if_not(it, edits.end(), isChange);
        std::stable_partition(it, runEnd, [](const Edit &e) { return e.type == dtl::SES_DELETE; });
        it = runEnd == edits.end() ? runEnd : runEnd + 1;
    }

    std::string out = "--- " + beforeLabel + "\n+++ " + afterLabel + "\n";
    const auto ctx = static_cast<std::size_t>(std::max(context, 0));
    std::size_t i = 0, oldSeen = 0, newSeen = 0;
    while (i < edits.size()) {
        if (edits[i].type == dtl::SES_COMMON) {
            ++i, ++oldSeen, ++newSeen;
            continue;
        }
        // A hunk: from `ctx` lines before this change to `ctx` lines after the last change that is at
        // most 2 * ctx common lines from the one before.
        const std::size_t lead = std::min(ctx, std::min(oldSeen, i));
        const std::size_t from = i - lead;
        std::size_t end = i, common = 0;
        for (std::size_t j = i; j < edits.size(); ++j) {
            if (edits[j].type != dtl::SES_COMMON) {
                end = j + 1, common = 0;
            } else if (++common > 2 * ctx) {
                break;
            }
        }
        const std::size_t to = std::min(edits.size(), end + ctx);
        appendHunk(out, edits, from, to, oldSeen - lead, newSeen - lead);
        for (std::size_t j = i; j < to; ++j) {
            oldSeen += edits[j].type != dtl::SES_ADD;
            newSeen += edits[j].type != dtl::SES_DELETE;
        }
        i = to;
    }
    return out;
}

} // namespace velkaro
