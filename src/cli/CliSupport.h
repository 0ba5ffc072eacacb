#pragma once

#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"

#include <cstdio>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Helpers shared by the command-line tool's commands.
namespace velkaro::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

void printUsage(std::FILE *stream);

// Prints `problem` and the usage text on stderr; returns kExitUsage.
int usageError(std::string_view problem);

// One line on stdout / stderr.
void printLine(std::string_view text);
void printError(std::string_view text);

// A JSON document on stdout, ending with one newline.
void printJson(std::string_view json);

bool isTerminal(std::FILE *stream);

// The saved settings, or the defaults when config.json is missing or unreadable (as the application).
BackupConfig loadConfig();

// The first snapshot of `history` with this id.
std::optional<BackupSnapshot> findSnapshot(const std::vector<BackupSnapshot> &history, std::string_view id);

// The arguments of one command: plain words in order, and options ("--name" or "--name value" /
// "--name=value").
struct Arguments
{
    std::vector<std::string> positional;
    std::map<std::string, std::string, std::less<>> options; // flags map to ""; the last value wins
    std::map<std::string, std::vector<std::string>, std::less<>> values; // every value, for repeatable options
    bool wantsHelp = false; // --help or -h was given
};

// Parses `args` against the flags and the options with a value that the command knows; an unknown
// option or a missing value is a usage problem (the text says which).
std::expected<Arguments, std::string> parseArguments(const std::vector<std::string> &args,
    const std::set<std::string, std::less<>> &flags, const std::set<std::string, std::less<>> &valueOptions);

} // namespace velkaro::cli
