#pragma once

#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Helpers shared by the command-line tool's commands.
namespace velkaro::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The plain argument of the commands that take a snapshot.
inline constexpr std::string_view kSnapshotId = "スナップショット ID";

// Text on stdout. Every write is checked: the first failure is kept, and finishOutput() reports it.
void writeOut(std::string_view text);

// One line on stdout / stderr.
void printLine(std::string_view text);
void printError(std::string_view text);

// A JSON document on stdout, ending with one newline.
void printJson(std::string_view json);

// Flushes stdout and returns the command's exit code `code`, or `failureCode` after saying
// "標準出力に書き込めません: …" on stderr when a write to stdout failed (a full disk, a closed stdout).
// A reader that went away (EPIPE) ends the tool quietly, as SIGPIPE would.
int finishOutput(int code, int failureCode);

// Occupies a closed stdin, stdout or stderr, so that no file the tool opens can take its number and
// receive its output; a closed stdout stays unwritable, so its writes fail and are reported.
void guardStandardStreams();

// Text that is valid UTF-8 and so can go into JSON exactly; otherwise says so on stderr (naming the
// text quoted) and returns false.
bool fitsJson(std::string_view text);

bool isTerminal(std::FILE *stream);

// The saved settings, or the defaults when config.json is missing or unreadable (as the application).
// Settings whose folder paths break the settings page's rules end the command with exit code 1.
BackupConfig loadConfig();

// Ids are made by the program in one spelling (upper-case UUIDs, "yyyy-MM-dd/snapshot_HHmmss"), so a
// spelling in another case names the same item: every command matches ids this way. The exact spelling
// wins; a case-blind match counts only when it is the only one, so an id never picks one of two items.
bool sameIdIgnoringCase(std::string_view a, std::string_view b);

template<class Item> std::optional<Item> findById(const std::vector<Item> &items, std::string_view id)
{
    const Item *blind = nullptr;
    int blindCount = 0;
    for (const auto &item : items) {
        if (item.id == id)
            return item;
        if (sameIdIgnoringCase(item.id, id))
            blind = &item, ++blindCount;
    }
    if (blindCount == 1)
        return *blind;
    return std::nullopt;
}

} // namespace velkaro::cli
