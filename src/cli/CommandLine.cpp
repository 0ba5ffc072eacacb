#include "CommandLine.h"

#include "CliSupport.h"
#include "version.h"

#include <algorithm>
#include <cstdio>
#include <expected>
#include <ranges>

namespace velkaro::cli {

namespace {

constexpr std::string_view kProgram = "velkaro-backup-cli";
constexpr std::size_t kDescriptionColumn = 34;
constexpr std::string_view kExitCodes = "終了コード: 0 成功 / 1 失敗 / 2 使い方の誤り\n";

bool isHelpWord(std::string_view arg)
{
    return arg == "--help" || arg == "-h";
}

std::vector<std::string_view> wordsOf(std::string_view name)
{
    std::vector<std::string_view> words;
    for (const auto word : std::views::split(name, ' '))
        words.emplace_back(word.begin(), word.end());
    return words;
}

// "  <label>  <description>", the description in its own column (the bash completion reads the label
// up to the first two spaces); a label too long for that column puts the description on the next line.
std::string entryText(std::string_view label, std::string_view description)
{
    std::string text = "  " + std::string(label);
    std::size_t column = text.size();
    for (const auto line : std::views::split(description, '\n')) {
        if (column + 2 > kDescriptionColumn) {
            text += '\n';
            column = 0;
        }
        text.append(kDescriptionColumn - column, ' ');
        text.append(line.begin(), line.end());
        column = kDescriptionColumn + 2; // every later line goes below
    }
    return text + "\n";
}

std::string exitCodesOf(std::span<const Command *const> commands)
{
    std::string text(kExitCodes);
    for (const Command *command : commands) {
        if (!command->exitNote.empty())
            text += std::string(command->exitNote) + "\n";
    }
    return text;
}

std::string entriesOf(std::span<const Command *const> commands)
{
    std::string text;
    for (const Command *command : commands) {
        for (const auto &entry : command->help) {
            const std::string label = entry.synopsis.empty()
                ? std::string(command->name)
                : std::string(command->name) + " " + std::string(entry.synopsis);
            text += entryText(label, entry.description);
        }
    }
    return text;
}

// The usage of some commands: a header naming what they are under, their entries and the exit codes.
std::string usageOf(std::span<const Command *const> commands, std::string_view header)
{
    return "使い方: " + std::string(kProgram) + " " + std::string(header) + "\n\n" + entriesOf(commands) + "\n"
        + exitCodesOf(commands);
}

std::vector<const Command *> pointersTo(std::span<const Command> commands)
{
    std::vector<const Command *> all;
    for (const auto &command : commands)
        all.push_back(&command);
    return all;
}

int printUsageProblem(std::string_view problem, const std::string &usage)
{
    printError(problem);
    std::fputc('\n', stderr);
    std::fputs(usage.c_str(), stderr);
    return kExitUsage;
}

std::string choicesText(const Option &option)
{
    std::string text;
    for (const auto choice : option.choices)
        text += (text.empty() ? "" : ", ") + std::string(choice);
    return text;
}

// One option word (and the value after it, when it takes one and has none after "=") into `parsed`.
std::expected<void, std::string> takeOption(
    const Command &command, std::span<const std::string> args, std::size_t &i, Arguments &parsed)
{
    const std::string &arg = args[i];
    const auto equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const auto option = std::ranges::find(command.options, std::string_view(name), &Option::name);
    if (option == command.options.end())
        return std::unexpected("不明なオプションです: " + arg);
    std::string value;
    if (!option->takesValue) {
        if (equals != std::string::npos)
            return std::unexpected(name + " には値をつけられません");
    } else if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
        value = args[++i];
    } else {
        return std::unexpected(name + " には値が必要です");
    }
    if (!option->choices.empty()
        && std::ranges::find(option->choices, std::string_view(value)) == option->choices.end())
        return std::unexpected(name + " には " + choicesText(*option) + " のどれかを指定してください");
    // A value given twice where one is used would silently drop the first.
    if (option->takesValue && !option->repeatable && parsed.has(name))
        return std::unexpected(name + " は1回だけ指定できます");
    parsed.options[name].push_back(std::move(value));
    return {};
}

// The arguments after the command's words; --help or -h (before "--") asks for the command's usage.
std::expected<Arguments, std::string> parse(const Command &command, std::span<const std::string> args, bool &wantsHelp)
{
    Arguments parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (isHelpWord(arg)) {
            wantsHelp = true;
            return parsed;
        } else if (auto taken = takeOption(command, args, i, parsed); !taken) {
            return std::unexpected(taken.error());
        }
    }
    if (parsed.positional.size() != (command.argument.empty() ? 0u : 1u))
        return std::unexpected(command.argument.empty() ? std::string("引数が多すぎます")
                                                        : std::string(command.argument) + " を1つ指定してください");
    for (const auto &[a, b] : command.exclusive) {
        if (parsed.has(a) && parsed.has(b))
            return std::unexpected(std::string(a) + " と " + std::string(b) + " は一緒に使えません");
    }
    return parsed;
}

int runOne(const Command &command, std::span<const std::string> args)
{
    const Command *const self[] = {&command};
    bool wantsHelp = false;
    const auto parsed = parse(command, args, wantsHelp);
    if (wantsHelp) {
        writeOut(usageOf(self, command.name));
        return finishOutput(kExitSuccess, command.failureExit);
    }
    if (!parsed)
        return printUsageProblem(parsed.error(), usageOf(self, command.name));
    return finishOutput(command.run(*parsed), command.failureExit);
}

// The command whose words start `args`, the one with most words winning.
const Command *commandFor(std::span<const Command> commands, std::span<const std::string> args, std::size_t &words)
{
    const Command *best = nullptr;
    words = 0;
    for (const auto &command : commands) {
        const auto own = wordsOf(command.name);
        if (own.size() > args.size() || own.size() <= words)
            continue;
        if (std::ranges::equal(own, args.first(own.size())))
            best = &command, words = own.size();
    }
    return best;
}

// A first word that only starts longer commands ("templates"): its usage, or what is wrong with the rest.
int runFamily(std::span<const Command> commands, std::span<const std::string> args)
{
    std::vector<const Command *> family;
    for (const auto &command : commands) {
        if (wordsOf(command.name).front() == args.front())
            family.push_back(&command);
    }
    if (family.empty())
        return printUsageProblem("不明なコマンドです: " + args.front(), usageText(commands));
    const std::string usage = usageOf(family, args.front() + " <サブコマンド>");
    if (args.size() == 2 && isHelpWord(args[1])) {
        writeOut(usage);
        return finishOutput(kExitSuccess, kExitFailure);
    }
    return printUsageProblem(
        args.size() < 2 ? std::string("サブコマンドを指定してください") : "不明なサブコマンドです: " + args[1], usage);
}

} // namespace

const std::string *Arguments::value(std::string_view option) const
{
    const auto found = options.find(option);
    return found == options.end() || found->second.empty() ? nullptr : &found->second.back();
}

std::string usageText(std::span<const Command> commands)
{
    const auto all = pointersTo(commands);
    return "使い方: " + std::string(kProgram) + " <コマンド> [オプション]\n\n" + entriesOf(all)
        + entryText("--help", "このヘルプを表示") + entryText("--version", "バージョンを表示") + "\n"
        + exitCodesOf(all);
}

int runCommandLine(std::span<const Command> commands, std::span<const std::string> args)
{
    if (args.empty())
        return printUsageProblem("コマンドを指定してください", usageText(commands));
    if (isHelpWord(args.front())) {
        writeOut(usageText(commands));
        return finishOutput(kExitSuccess, kExitFailure);
    }
    if (args.front() == "--version") {
        printLine(std::string(kProgram) + " " + VELKARO_VERSION);
        return finishOutput(kExitSuccess, kExitFailure);
    }
    std::size_t words = 0;
    if (const Command *command = commandFor(commands, args, words))
        return runOne(*command, args.subspan(words));
    return runFamily(commands, args);
}

} // namespace velkaro::cli
