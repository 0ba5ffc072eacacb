#include "CliSupport.h"
#include "Platform/Error.h"
#include "Platform/QuotedName.h"
#include "Services/SnapshotCompare.h"
#include "Services/SnapshotLookup.h"
#include "Services/TextDiff.h"
#include "SnapshotCommands.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace velkaro::cli {

namespace {

// As diff(1): 0 the same, 1 different, 2 trouble.
constexpr int kDiffSame = 0;
constexpr int kDiffDifferent = 1;
constexpr int kDiffTrouble = 2;

// Above this size (either side) a text file is not shown line by line: its sizes are printed instead.
constexpr std::int64_t kTextDiffLimit = 16'000'000;
// What a text diff may hold besides the two texts: the line tables stay within one more copy of the
// larger file, or this much.
constexpr std::size_t kDiffSlack = 16'000'000;
// The first block, where binary content shows (as diff looks for it).
constexpr std::size_t kFirstBlock = std::size_t {64} * 1024;

// The mode git would record the file with: executable by its owner or not.
std::string gitFileMode(const struct stat &st)
{
    return (st.st_mode & S_IXUSR) ? "100755" : "100644";
}

char markOf(CompareState state)
{
    switch (state) {
    case CompareState::changed:
        return 'M';
    case CompareState::added:
        return '+';
    case CompareState::removed:
        return '-';
    case CompareState::missing:
        return '?';
    case CompareState::unreadable:
        return '!';
    case CompareState::unchanged:
        break;
    }
    return ' ';
}

const char *jsonKeyOf(CompareState state)
{
    switch (state) {
    case CompareState::changed:
        return "changed";
    case CompareState::added:
        return "added";
    case CompareState::removed:
        return "removed";
    case CompareState::missing:
        return "missing";
    case CompareState::unreadable:
        return "unreadable";
    case CompareState::unchanged:
        break;
    }
    return nullptr;
}

// The comparison as JSON; false (said on stderr) when a name cannot be written into JSON exactly.
bool printComparisonJson(const CompareResult &result)
{
    nlohmann::json out = {{"changed", nlohmann::json::array()}, {"added", nlohmann::json::array()},
        {"removed", nlohmann::json::array()}, {"unchanged", result.count(CompareState::unchanged)}};
    for (const auto &entry : result.entries) {
        if (const char *key = jsonKeyOf(entry.state)) {
            if (!fitsJson(entry.path))
                return false;
            out[key].push_back(entry.path);
        }
    }
    printJson(out.dump(2));
    return true;
}

// Tells what kept the current files from being read whole, and whether anything did. A source that is
// missing only means its files are gone, so those show as removed.
bool printUnreadCurrent(const SelectionReport &report)
{
    if (report.metAllThatStands())
        return false;
    for (const auto &failure : report.failedSources) {
        if (failure.error != ENOENT)
            printError("※ " + failure.description());
    }
    if (report.unreadableFolderCount > 0) {
        printError("※ 読み込めないフォルダが " + std::to_string(report.unreadableFolderCount)
            + " 件あります: " + quotedName(report.firstUnreadableFolder));
    }
    return true;
}

int printComparison(const CompareResult &result, bool json)
{
    if (json) {
        if (!printComparisonJson(result))
            return kDiffTrouble;
    } else {
        for (const auto &entry : result.entries) {
            if (entry.state != CompareState::unchanged)
                printLine(std::string(1, markOf(entry.state)) + "  " + quotedName(entry.path));
        }
        printLine("変更 " + std::to_string(result.count(CompareState::changed)) + " 件、追加 "
            + std::to_string(result.count(CompareState::added)) + " 件、削除 "
            + std::to_string(result.count(CompareState::removed)) + " 件、変更なし "
            + std::to_string(result.count(CompareState::unchanged)) + " 件");
    }
    // A file that could not be compared is trouble, not a difference: a recorded file without its
    // stored copy, or one that cannot be read now.
    for (const auto &entry : result.entries) {
        if (entry.state == CompareState::unreadable)
            printError("読み込めません: " + quotedName(entry.path) + ": " + describeErrno(entry.error));
    }
    const auto missing = result.count(CompareState::missing);
    if (missing > 0)
        printError("※ スナップショットのデータに見つからないファイルが " + std::to_string(missing) + " 件あります");
    const bool unreadNow = printUnreadCurrent(result.currentReport);
    if (missing > 0 || result.count(CompareState::unreadable) > 0 || unreadNow)
        return kDiffTrouble;
    return result.differs() ? kDiffDifferent : kDiffSame;
}

// One side of a file diff: a regular file held open, or nothing (absent, or a FIFO, socket or device,
// which is never opened and reads as empty).
struct SideFile
{
    bool present = false; // the side has the path
    int fd = -1;
    struct stat st = {};

    SideFile() = default;
    SideFile(const SideFile &) = delete;
    SideFile &operator=(const SideFile &) = delete;
    ~SideFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
    std::int64_t size() const { return fd >= 0 ? static_cast<std::int64_t>(st.st_size) : 0; }
};

// Opens `path` if it is a regular file, checking after the open that it still is; `error` is set when
// it cannot be read.
void openSide(const std::filesystem::path &path, SideFile &side, int &error)
{
    side.present = true;
    if (::stat(path.c_str(), &side.st) != 0) {
        error = errno;
        return;
    }
    if (!S_ISREG(side.st.st_mode)) {
        if (S_ISDIR(side.st.st_mode))
            error = EISDIR;
        return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat now = {};
    if (fd < 0 || ::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_ino != side.st.st_ino) {
        error = fd < 0 ? errno : ENOENT;
        if (fd >= 0)
            ::close(fd);
        return;
    }
    side.fd = fd;
    side.st = now;
}

// Reads up to `limit` bytes from the start; nothing on a read error.
std::optional<std::string> readUpTo(const SideFile &side, std::size_t limit)
{
    std::string text;
    if (side.fd < 0)
        return text;
    text.resize(std::min<std::size_t>(limit, static_cast<std::size_t>(side.size())));
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pread(side.fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return text;
}

// 1 the same bytes, 0 different, -1 a read failed; in blocks, whatever the size.
int sameBytes(const SideFile &a, const SideFile &b)
{
    if (a.size() != b.size())
        return 0;
    std::vector<char> left(kFirstBlock), right(kFirstBlock);
    for (off_t at = 0;;) {
        const ssize_t n = a.fd < 0 ? 0 : ::pread(a.fd, left.data(), left.size(), at);
        const ssize_t m = b.fd < 0 ? 0 : ::pread(b.fd, right.data(), right.size(), at);
        if (n < 0 || m < 0)
            return -1;
        if (n != m || std::memcmp(left.data(), right.data(), static_cast<std::size_t>(n)) != 0)
            return 0;
        if (n == 0)
            return 1;
        at += n;
    }
}

// Both sizes, when the file is not shown line by line.
void printSizes(std::string_view what, const std::string &oldLabel, const SideFile &older, const std::string &newLabel,
    const SideFile &newer)
{
    printLine(std::string(what) + ": " + quotedName(oldLabel) + " (" + std::to_string(older.size()) + " バイト) と "
        + quotedName(newLabel) + " (" + std::to_string(newer.size()) + " バイト)");
}

// The same bytes on both sides but the path on one side only: an empty file came or went. It has no
// lines to show, so git's header says so (with the empty blob's id, which lets patch -p1 create or delete
// it without asking).
int printEmptyFileHeader(
    const SideFile &older, const SideFile &newer, const std::string &oldLabel, const std::string &newLabel)
{
    if (older.present && newer.present)
        return kDiffSame;
    const bool deleted = older.present;
    printLine("diff --git " + quotedName(oldLabel) + " " + quotedName(newLabel));
    printLine(std::string(deleted ? "deleted" : "new") + " file mode " + gitFileMode(deleted ? older.st : newer.st));
    printLine(deleted ? "index e69de29..0000000" : "index 0000000..e69de29");
    return kDiffDifferent;
}

// The unified diff of two open files that differ, or a line with both sizes when they are binary or too
// large to show as text.
int printTextDiff(const SideFile &older, const SideFile &newer, const std::string &oldLabel,
    const std::string &newLabel, const std::string &path)
{
    const auto cannotRead = [&] {
        printError("ファイルを読み込めません: " + quotedName(path) + ": " + describeErrno(errno));
        return kDiffTrouble;
    };
    const auto oldHead = readUpTo(older, kFirstBlock);
    const auto newHead = readUpTo(newer, kFirstBlock);
    if (!oldHead || !newHead)
        return cannotRead();
    if (looksBinary(*oldHead) || looksBinary(*newHead)) {
        printSizes("バイナリファイルが異なります", oldLabel, older, newLabel, newer);
        return kDiffDifferent;
    }
    const std::int64_t larger = std::max(older.size(), newer.size());
    if (larger > kTextDiffLimit) {
        printSizes("ファイルが大きすぎるため、テキストの違いは表示しません", oldLabel, older, newLabel, newer);
        return kDiffDifferent;
    }
    const auto oldText = readUpTo(older, static_cast<std::size_t>(larger));
    const auto newText = readUpTo(newer, static_cast<std::size_t>(larger));
    if (!oldText || !newText)
        return cannotRead();
    // Very many short lines would cost far more than the texts: such a file is too large as well.
    const std::size_t lines = lineCount(*oldText) + lineCount(*newText);
    if (lines * kDiffBytesPerLine > static_cast<std::size_t>(larger) + kDiffSlack) {
        printSizes("ファイルが大きすぎるため、テキストの違いは表示しません", oldLabel, older, newLabel, newer);
        return kDiffDifferent;
    }
    writeUnifiedDiff(*oldText, *newText, quotedName(oldLabel), quotedName(newLabel), writeOut);
    return kDiffDifferent;
}

// The unified diff of one path between two sides; a file absent from one side counts as empty there,
// unless that side is the current files and they could not all be read (`nowReport`).
int printFileDiff(const CompareSide &older, const CompareSide &newer, const std::string &path,
    const std::string &olderName, const std::string &newerName, const SelectionReport *nowReport = nullptr)
{
    const auto before = older.find(path);
    const auto after = newer.find(path);
    if (after == newer.end() && nowReport && printUnreadCurrent(*nowReport))
        return kDiffTrouble;
    if (before == older.end() && after == newer.end()) {
        printError("ファイルが見つかりません: " + quotedName(path));
        return kDiffTrouble;
    }
    SideFile oldFile, newFile;
    int error = 0;
    for (const auto &[found, side, file] :
        {std::tuple {before, &older, &oldFile}, std::tuple {after, &newer, &newFile}}) {
        if (found == side->end())
            continue;
        if (!found->second) {
            error = ENOENT; // recorded, but its stored copy is gone
            file->present = true;
        } else {
            openSide(*found->second, *file, error);
        }
    }
    if (error != 0) {
        printError("ファイルを読み込めません: " + quotedName(path) + ": " + describeErrno(error));
        return kDiffTrouble;
    }
    const std::string oldLabel = olderName + "/" + path;
    const std::string newLabel = newerName + "/" + path;
    const int same = sameBytes(oldFile, newFile);
    if (same < 0) {
        printError("ファイルを読み込めません: " + quotedName(path) + ": " + describeErrno(errno));
        return kDiffTrouble;
    }
    if (same == 1)
        return printEmptyFileHeader(oldFile, newFile, oldLabel, newLabel);
    return printTextDiff(oldFile, newFile, oldLabel, newLabel, path);
}

std::optional<BackupSnapshot> findOrSay(const std::filesystem::path &destination, const std::string &id)
{
    auto snapshot = findListedSnapshot(destination, id);
    if (!snapshot)
        printError("スナップショットが見つかりません: " + quotedName(id));
    return snapshot;
}

int runDiff(const Arguments &args)
{
    const BackupConfig config = loadConfig();
    const std::filesystem::path destination = config.destinationDirectory;
    const SnapshotStore store {destination};
    const auto snapshot = findOrSay(destination, args.positional.front());
    if (!snapshot)
        return kDiffTrouble;
    std::optional<BackupSnapshot> other;
    if (const auto *against = args.value("--against")) {
        other = findOrSay(destination, *against);
        if (!other)
            return kDiffTrouble;
    }
    if (const auto *file = args.value("--file")) {
        if (other)
            return printFileDiff(
                snapshotSide(store, *snapshot), snapshotSide(store, *other), *file, snapshot->id, other->id);
        SelectionReport nowReport;
        const CompareSide now = currentSide(config, &nowReport);
        return printFileDiff(snapshotSide(store, *snapshot), now, *file, snapshot->id, "now", &nowReport);
    }
    const CompareResult result
        = other ? compareSnapshots(store, *snapshot, *other) : compareWithCurrent(store, *snapshot, config);
    return printComparison(result, args.has("--json"));
}

} // namespace

Command diffCommand()
{
    return {.name = "diff",
        .help = {{"ID [--against ID2] [--json]", "スナップショットと今 (または ID2) の違いを表示"},
            {"ID --file PATH [--against ID2]", "1つのファイルの違いを unified 形式で表示"}},
        .options
        = {{.name = "--json"}, {.name = "--against", .takesValue = true}, {.name = "--file", .takesValue = true}},
        .argument = kSnapshotId,
        .exclusive = {{"--json", "--file"}},
        .exitNote = "(diff は diff(1) と同じ: 0 違いなし / 1 違いあり / 2 エラー)",
        .failureExit = 2,
        .run = runDiff};
}

} // namespace velkaro::cli
