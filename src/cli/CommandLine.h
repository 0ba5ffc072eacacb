#pragma once

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The command-line tool's commands as a list: each command declares its words, its help, its options
// and how many plain arguments it takes, and one parser serves them all. The usage text is made from
// the same list, so the help, the usage errors and the parser cannot drift apart.
namespace velkaro::cli {

struct Option
{
    std::string_view name {}; // "--json"
    bool takesValue = false; // "--name VALUE" or "--name=VALUE"
    bool repeatable = false; // every value is kept; otherwise a second one is a usage error
    std::vector<std::string_view> choices {}; // the values allowed, when the option has a fixed set
};

// One entry of the help: the arguments after the command's words, and what it does (lines after the
// first start with "\n").
struct HelpEntry
{
    std::string_view synopsis;
    std::string_view description;
};

// What a command was given, checked against its declaration.
struct Arguments
{
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>, std::less<>> options; // flags hold one empty value

    bool has(std::string_view option) const { return options.contains(option); }
    // The value of an option given once; nullptr when it was not given.
    const std::string *value(std::string_view option) const;
};

struct Command
{
    std::string_view name {}; // its words, "backup" or "templates apply"
    std::vector<HelpEntry> help {};
    std::vector<Option> options {};
    std::string_view
        argument {}; // its one plain argument as a usage error names it ("スナップショット ID"); empty: none
    std::vector<std::pair<std::string_view, std::string_view>> exclusive {}; // options that exclude each other
    std::string_view exitNote {}; // a line after the exit codes, for a command whose codes differ
    int failureExit = 1; // the exit code of a failure, a failed write to stdout included
    int (*run)(const Arguments &) = nullptr;
};

// Runs the command that `args` (argv without the program) names and returns the exit code: a usage
// error prints the problem and the usage on stderr and exits 2; --help prints the usage on stdout.
int runCommandLine(std::span<const Command> commands, std::span<const std::string> args);

// The full usage text, as `--help` prints it.
std::string usageText(std::span<const Command> commands);

} // namespace velkaro::cli
