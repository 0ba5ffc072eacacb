// The line diff: Myers' O(ND) search in linear space (forward and backward at once, meeting on a middle
// snake), as GNU diff runs it, with the same steps around it so that the script and its hunks are the
// ones `diff -u` prints: lines that cannot match are set aside first, a search that grows too costly
// settles for a good split, and runs of changes are slid to where diff puts them.
#include "Services/TextDiff.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace velkaro {

namespace {

using Lin = std::ptrdiff_t;
using Index = std::int32_t; // line numbers and classes as stored: 4 bytes a line

// A text cut into lines, each keeping its "\n".
struct Lines
{
    explicit Lines(std::string_view t)
        : text(t)
    {
        starts.reserve(lineCount(t) + 1);
        std::size_t pos = 0;
        while (pos < t.size()) {
            starts.push_back(pos);
            const auto end = t.find('\n', pos);
            pos = end == std::string_view::npos ? t.size() : end + 1;
        }
        starts.push_back(t.size());
    }
    Lin count() const { return static_cast<Lin>(starts.size()) - 1; }
    std::string_view line(Lin i) const
    {
        const auto at = static_cast<std::size_t>(i);
        return text.substr(starts[at], starts[at + 1] - starts[at]);
    }

    std::string_view text;
    std::vector<std::size_t> starts; // every line's start, then the end of the text
};

// Equal lines get one number (from 1), through an open-addressing table of class numbers.
class LineClasses
{
public:
    explicit LineClasses(std::size_t expected)
    {
        std::size_t capacity = 16;
        while (capacity < expected * 2)
            capacity <<= 1;
        m_slots.assign(capacity, 0);
    }

    Index classOf(std::string_view line)
    {
        const std::size_t mask = m_slots.size() - 1;
        std::size_t at = std::hash<std::string_view> {}(line)&mask;
        while (m_slots[at] != 0) {
            if (m_lines[static_cast<std::size_t>(m_slots[at]) - 1] == line)
                return m_slots[at];
            at = (at + 1) & mask;
        }
        m_lines.push_back(line);
        return m_slots[at] = static_cast<Index>(m_lines.size());
    }
    std::size_t count() const { return m_lines.size(); }

private:
    std::vector<Index> m_slots;
    std::vector<std::string_view> m_lines;
};

// The search over the lines left after discarding: `xv`/`yv` their classes, `xi`/`yi` their real line
// numbers; a line found deleted or inserted is marked in `xchanged`/`ychanged`.
struct Search
{
    std::vector<Index> xv, yv, xi, yi;
    char *xchanged = nullptr;
    char *ychanged = nullptr;
    std::vector<Index> fdiag, bdiag;
    Index *fd = nullptr; // indexed by diagonal x - y
    Index *bd = nullptr;
    Lin tooExpensive = 4096;
};

struct Partition
{
    Lin xmid, ymid;
    bool loMinimal, hiMinimal;
};

// Past this many steps the search takes the furthest-reaching diagonal of either direction.
void settleForBest(
    Search &s, Lin xoff, Lin xlim, Lin yoff, Lin ylim, Lin fmin, Lin fmax, Lin bmin, Lin bmax, Partition &part)
{
    Lin fxybest = -1, fxbest = 0;
    for (Lin d = fmax; d >= fmin; d -= 2) {
        Lin x = std::min<Lin>(s.fd[d], xlim), y = x - d;
        if (ylim < y)
            x = ylim + d, y = ylim;
        if (fxybest < x + y)
            fxybest = x + y, fxbest = x;
    }
    Lin bxybest = LLONG_MAX, bxbest = 0;
    for (Lin d = bmax; d >= bmin; d -= 2) {
        Lin x = std::max<Lin>(xoff, s.bd[d]), y = x - d;
        if (y < yoff)
            x = yoff + d, y = yoff;
        if (x + y < bxybest)
            bxybest = x + y, bxbest = x;
    }
    if ((xlim + ylim) - bxybest < fxybest - (xoff + yoff))
        part = {fxbest, fxybest - fxbest, true, false};
    else
        part = {bxbest, bxybest - bxbest, false, true};
}

// Finds where a shortest script from (xoff, yoff) to (xlim, ylim) crosses the middle.
void diag(Search &s, Lin xoff, Lin xlim, Lin yoff, Lin ylim, bool findMinimal, Partition &part)
{
    Index *const fd = s.fd;
    Index *const bd = s.bd;
    const Index *xv = s.xv.data(), *yv = s.yv.data();
    const Lin dmin = xoff - ylim, dmax = xlim - yoff, fmid = xoff - yoff, bmid = xlim - ylim;
    Lin fmin = fmid, fmax = fmid, bmin = bmid, bmax = bmid;
    const bool odd = ((fmid - bmid) & 1) != 0;
    fd[fmid] = static_cast<Index>(xoff);
    bd[bmid] = static_cast<Index>(xlim);
    for (Lin cost = 1;; ++cost) {
        fmin > dmin ? void(fd[--fmin - 1] = -1) : void(++fmin);
        fmax < dmax ? void(fd[++fmax + 1] = -1) : void(--fmax);
        for (Lin d = fmax; d >= fmin; d -= 2) {
            const Lin tlo = fd[d - 1], thi = fd[d + 1];
            Lin x = tlo < thi ? thi : tlo + 1, y = x - d;
            while (x < xlim && y < ylim && xv[x] == yv[y])
                ++x, ++y;
            fd[d] = static_cast<Index>(x);
            if (odd && bmin <= d && d <= bmax && bd[d] <= x) {
                part = {x, y, true, true};
                return;
            }
        }
        bmin > dmin ? void(bd[--bmin - 1] = INT32_MAX) : void(++bmin);
        bmax < dmax ? void(bd[++bmax + 1] = INT32_MAX) : void(--bmax);
        for (Lin d = bmax; d >= bmin; d -= 2) {
            const Lin tlo = bd[d - 1], thi = bd[d + 1];
            Lin x = tlo < thi ? tlo : thi - 1, y = x - d;
            while (xoff < x && yoff < y && xv[x - 1] == yv[y - 1])
                --x, --y;
            bd[d] = static_cast<Index>(x);
            if (!odd && fmin <= d && d <= fmax && x <= fd[d]) {
                part = {x, y, true, true};
                return;
            }
        }
        if (!findMinimal && cost >= s.tooExpensive) {
            settleForBest(s, xoff, xlim, yoff, ylim, fmin, fmax, bmin, bmax, part);
            return;
        }
    }
}

void compareSeq(Search &s, Lin xoff, Lin xlim, Lin yoff, Lin ylim, bool findMinimal)
{
    const Index *xv = s.xv.data(), *yv = s.yv.data();
    for (;;) {
        while (xoff < xlim && yoff < ylim && xv[xoff] == yv[yoff])
            ++xoff, ++yoff;
        while (xoff < xlim && yoff < ylim && xv[xlim - 1] == yv[ylim - 1])
            --xlim, --ylim;
        if (xoff == xlim) {
            for (; yoff < ylim; ++yoff)
                s.ychanged[s.yi[static_cast<std::size_t>(yoff)]] = 1;
            return;
        }
        if (yoff == ylim) {
            for (; xoff < xlim; ++xoff)
                s.xchanged[s.xi[static_cast<std::size_t>(xoff)]] = 1;
            return;
        }
        Partition part {};
        diag(s, xoff, xlim, yoff, ylim, findMinimal, part);
        compareSeq(s, xoff, part.xmid, yoff, part.ymid, part.loMinimal);
        xoff = part.xmid, yoff = part.ymid, findMinimal = part.hiMinimal;
    }
}

// Within a run of discardable lines, provisional ones (lines with very many matches) stay only in the
// middle of the run; at its ends they are kept for the search.
void settleRun(std::vector<char> &discards, Lin i, Lin length)
{
    auto at = [&](Lin k) -> char & { return discards[static_cast<std::size_t>(k)]; };
    Lin minimum = 1;
    for (Lin tem = length >> 2; 0 < (tem >>= 2);)
        minimum <<= 1;
    ++minimum;
    for (Lin j = 0, consec = 0; j < length; ++j) {
        if (at(i + j) != 2)
            consec = 0;
        else if (minimum == ++consec)
            j -= consec; // back to the start of the subrun, to cancel it all
        else if (minimum < consec)
            at(i + j) = 0;
    }
    for (int direction : {1, -1}) {
        const Lin from = direction == 1 ? i : i + length - 1;
        for (Lin j = 0, consec = 0; j < length; ++j) {
            char &d = at(from + direction * j);
            if (j >= 8 && d == 1)
                break;
            if (d == 2)
                consec = 0, d = 0;
            else if (d == 0)
                consec = 0;
            else
                ++consec;
            if (consec == 3)
                break;
        }
    }
}

// 1: the line matches no line of the other side; 2: it matches very many (provisional).
std::vector<char> discardable(const std::vector<Index> &equivs, const std::vector<Index> &otherCounts)
{
    const Lin end = static_cast<Lin>(equivs.size());
    std::vector<char> discards(equivs.size(), 0);
    Lin many = 5;
    for (Lin tem = end / 64; (tem >>= 2) > 0;)
        many *= 2;
    for (Lin i = 0; i < end; ++i) {
        const Lin matches = otherCounts[static_cast<std::size_t>(equivs[static_cast<std::size_t>(i)])];
        discards[static_cast<std::size_t>(i)] = static_cast<char>(matches == 0 ? 1 : matches > many ? 2 : 0);
    }
    for (Lin i = 0; i < end; ++i) {
        char &d = discards[static_cast<std::size_t>(i)];
        if (d == 2) {
            d = 0;
            continue;
        }
        if (d == 0)
            continue;
        Lin j = i, provisional = 0;
        for (; j < end && discards[static_cast<std::size_t>(j)] != 0; ++j)
            provisional += discards[static_cast<std::size_t>(j)] == 2;
        while (j > i && discards[static_cast<std::size_t>(j - 1)] == 2)
            discards[static_cast<std::size_t>(--j)] = 0, --provisional;
        const Lin length = j - i;
        if (provisional * 4 > length) {
            for (; j > i; --j)
                if (discards[static_cast<std::size_t>(j - 1)] == 2)
                    discards[static_cast<std::size_t>(j - 1)] = 0;
        } else {
            settleRun(discards, i, length);
        }
        i += length - 1;
    }
    return discards;
}

// Slides each run of changes as far down as it goes, merging runs where sliding joins them, then back
// up to line up with a run of the other side where one can.
void shiftBoundaries(char *changed, const char *otherChanged, const Index *equivs, Lin end)
{
    Lin i = 0, j = 0;
    for (;;) {
        for (; i < end && !changed[i]; ++i)
            while (otherChanged[j++]) { }
        if (i == end)
            return;
        Lin start = i, runLength = 0, corresponding = end;
        while (changed[++i]) { }
        while (otherChanged[j])
            ++j;
        do {
            runLength = i - start;
            while (start && equivs[start - 1] == equivs[i - 1]) {
                changed[--start] = 1;
                changed[--i] = 0;
                while (changed[start - 1])
                    --start;
                while (otherChanged[--j]) { }
            }
            corresponding = otherChanged[j - 1] ? i : end;
            while (i != end && equivs[start] == equivs[i]) {
                changed[start++] = 0;
                changed[i++] = 1;
                while (changed[i])
                    ++i;
                while (otherChanged[++j])
                    corresponding = i;
            }
        } while (runLength != i - start);
        for (; corresponding < i;) {
            changed[--start] = 1;
            changed[--i] = 0;
            while (otherChanged[--j]) { }
        }
    }
}

// Which lines of each side a shortest (or, past the cost limit, a short) script changes.
class Script
{
public:
    // `horizon`: how many lines of the common head and tail stay in the search (diff keeps the context
    // lines), so that a run of changes may slide into them as it does in diff.
    Script(std::string_view before, std::string_view after, Lin horizon)
        : a(before)
        , b(after)
        , m_changedA(static_cast<std::size_t>(a.count()) + 2, 0)
        , m_changedB(static_cast<std::size_t>(b.count()) + 2, 0)
    {
        const Lin na = a.count(), nb = b.count();
        Lin prefix = 0, suffix = 0;
        while (prefix < na && prefix < nb && a.line(prefix) == b.line(prefix))
            ++prefix;
        while (suffix < na - prefix && suffix < nb - prefix && a.line(na - 1 - suffix) == b.line(nb - 1 - suffix))
            ++suffix;
        const Lin from = prefix - std::min(prefix, horizon);
        const Lin toA = na - suffix + std::min(suffix, horizon), toB = nb - suffix + std::min(suffix, horizon);
        if (toA + toB - 2 * from >= (Lin(1) << 30)) {
            std::fill(m_changedA.begin() + 1 + prefix, m_changedA.begin() + 1 + na - suffix, 1);
            std::fill(m_changedB.begin() + 1 + prefix, m_changedB.begin() + 1 + nb - suffix, 1);
            return;
        }
        run(from, toA, toB);
    }

    bool changedA(Lin i) const { return m_changedA[static_cast<std::size_t>(i) + 1] != 0; }
    bool changedB(Lin j) const { return m_changedB[static_cast<std::size_t>(j) + 1] != 0; }

    Lines a, b;

private:
    void run(Lin prefix, Lin na, Lin nb)
    {
        LineClasses classes(static_cast<std::size_t>(na + nb - 2 * prefix));
        std::vector<Index> ea, eb;
        ea.reserve(static_cast<std::size_t>(na - prefix));
        eb.reserve(static_cast<std::size_t>(nb - prefix));
        for (Lin i = prefix; i < na; ++i)
            ea.push_back(classes.classOf(a.line(i)));
        for (Lin j = prefix; j < nb; ++j)
            eb.push_back(classes.classOf(b.line(j)));
        std::vector<Index> countA(classes.count() + 1, 0), countB(classes.count() + 1, 0);
        for (const Index e : ea)
            ++countA[static_cast<std::size_t>(e)];
        for (const Index e : eb)
            ++countB[static_cast<std::size_t>(e)];
        char *ca = m_changedA.data() + 1 + prefix;
        char *cb = m_changedB.data() + 1 + prefix;
        Search s;
        keep(ea, discardable(ea, countB), ca, s.xv, s.xi);
        keep(eb, discardable(eb, countA), cb, s.yv, s.yi);
        s.xchanged = ca, s.ychanged = cb;
        const auto xn = static_cast<Lin>(s.xv.size()), yn = static_cast<Lin>(s.yv.size());
        s.fdiag.resize(static_cast<std::size_t>(xn + yn + 3));
        s.bdiag.resize(s.fdiag.size());
        s.fd = s.fdiag.data() + yn + 1;
        s.bd = s.bdiag.data() + yn + 1;
        Lin expensive = 1;
        for (Lin diags = xn + yn + 3; diags != 0; diags >>= 2)
            expensive <<= 1;
        s.tooExpensive = std::max<Lin>(4096, expensive);
        compareSeq(s, 0, xn, 0, yn, false);
        s = {};
        shiftBoundaries(ca, cb, ea.data(), na - prefix);
        shiftBoundaries(cb, ca, eb.data(), nb - prefix);
    }

    // The lines the search looks at; a discarded line is a change already.
    static void keep(const std::vector<Index> &equivs, const std::vector<char> &discards, char *changed,
        std::vector<Index> &kept, std::vector<Index> &realIndex)
    {
        for (std::size_t i = 0; i < equivs.size(); ++i) {
            if (discards[i] == 0) {
                kept.push_back(equivs[i]);
                realIndex.push_back(static_cast<Index>(i));
            } else {
                changed[i] = 1;
            }
        }
    }

    std::vector<char> m_changedA, m_changedB; // one slot before and after stays 0
};

// Calls hunk(oldFrom, newFrom, oldTo, newTo) for each hunk: changes closer than 2 * ctx common lines
// share one, with up to ctx common lines around.
template<class Hunk> void forEachHunk(const Script &s, Lin ctx, const Hunk &hunk)
{
    const Lin na = s.a.count(), nb = s.b.count();
    Lin i = 0, j = 0, fromA = 0, fromB = 0, endA = 0, endB = 0;
    bool open = false;
    const auto close = [&] {
        const Lin tail = std::min(ctx, na - endA);
        hunk(fromA, fromB, endA + tail, endB + tail);
    };
    for (;;) {
        while (i < na && j < nb && !s.changedA(i) && !s.changedB(j))
            ++i, ++j;
        Lin toA = i, toB = j;
        while (toA < na && s.changedA(toA))
            ++toA;
        while (toB < nb && s.changedB(toB))
            ++toB;
        if (toA == i && toB == j)
            break;
        if (open && i - endA > 2 * ctx)
            close(), open = false;
        if (!open) {
            const Lin lead = std::min(ctx, i);
            fromA = i - lead, fromB = j - lead, open = true;
        }
        endA = i = toA, endB = j = toB;
    }
    if (open)
        close();
}

// Calls line(kind, oldIndex, newIndex) for each line of the hunk, removed lines first in a run of changes.
template<class Line> void forEachLine(const Script &s, Lin fromA, Lin fromB, Lin toA, Lin toB, const Line &line)
{
    Lin i = fromA, j = fromB;
    while (i < toA || j < toB) {
        if ((i < toA && s.changedA(i)) || (j < toB && s.changedB(j))) {
            for (; i < toA && s.changedA(i); ++i)
                line(DiffLine::Kind::removed, i, Lin(-1));
            for (; j < toB && s.changedB(j); ++j)
                line(DiffLine::Kind::added, Lin(-1), j);
        } else {
            line(DiffLine::Kind::context, i++, j++);
        }
    }
}

// "l,s" as diff -u writes a range: an empty range names the line before it, one line has no count.
std::string range(Lin before, Lin count)
{
    if (count == 0)
        return std::to_string(before) + ",0";
    if (count == 1)
        return std::to_string(before + 1);
    return std::to_string(before + 1) + "," + std::to_string(count);
}

} // namespace

bool looksBinary(std::string_view content)
{
    return content.find('\0') != std::string_view::npos;
}

std::size_t lineCount(std::string_view text)
{
    std::size_t count = 0;
    for (const char *p = text.data(), *end = p + text.size(); p != end; ++count) {
        const void *nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        p = nl ? static_cast<const char *>(nl) + 1 : end;
    }
    return count;
}

std::vector<DiffHunk> diffHunks(std::string_view before, std::string_view after, int context)
{
    std::vector<DiffHunk> hunks;
    if (before == after)
        return hunks;
    const Script s(before, after, std::max(context, 0));
    forEachHunk(s, std::max(context, 0), [&](Lin fromA, Lin fromB, Lin toA, Lin toB) {
        DiffHunk &hunk
            = hunks.emplace_back(DiffHunk {static_cast<std::size_t>(fromA), static_cast<std::size_t>(fromB), {}});
        forEachLine(s, fromA, fromB, toA, toB, [&](DiffLine::Kind kind, Lin i, Lin j) {
            const std::string_view text = kind == DiffLine::Kind::added ? s.b.line(j) : s.a.line(i);
            hunk.lines.push_back(
                {kind, static_cast<std::size_t>(i + 1), static_cast<std::size_t>(j + 1), std::string(text)});
        });
    });
    return hunks;
}

void writeUnifiedDiff(std::string_view before, std::string_view after, const std::string &beforeLabel,
    const std::string &afterLabel, const std::function<void(std::string_view)> &emit, int context)
{
    if (before == after)
        return;
    const Script s(before, after, std::max(context, 0));
    std::string out = "--- " + beforeLabel + "\n+++ " + afterLabel + "\n";
    constexpr std::size_t kPiece = 1 << 16;
    forEachHunk(s, std::max(context, 0), [&](Lin fromA, Lin fromB, Lin toA, Lin toB) {
        out += "@@ -" + range(fromA, toA - fromA) + " +" + range(fromB, toB - fromB) + " @@\n";
        forEachLine(s, fromA, fromB, toA, toB, [&](DiffLine::Kind kind, Lin i, Lin j) {
            const std::string_view text = kind == DiffLine::Kind::added ? s.b.line(j) : s.a.line(i);
            out += kind == DiffLine::Kind::added ? '+' : kind == DiffLine::Kind::removed ? '-' : ' ';
            out += text;
            if (text.empty() || text.back() != '\n')
                out += "\n\\ No newline at end of file\n";
            if (out.size() >= kPiece) {
                emit(out);
                out.clear();
            }
        });
    });
    emit(out);
}

} // namespace velkaro
