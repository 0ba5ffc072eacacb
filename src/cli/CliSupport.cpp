#include "CliSupport.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <unistd.h>

namespace velkaro::cli {

void printLine(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void printError(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
}

void printJson(std::string_view json)
{
    std::fwrite(json.data(), 1, json.size(), stdout);
    if (json.empty() || json.back() != '\n')
        std::fputc('\n', stdout);
}

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

BackupConfig loadConfig()
{
    BackupConfig config = BackupConfig::readFile().value_or(BackupConfig {});
    // A relative path would act on whatever folder the command was started in.
    if (const auto refused = config.pathProblem()) {
        printError("設定エラー: " + refused->description);
        std::exit(kExitFailure);
    }
    return config;
}

bool sameIdIgnoringCase(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
    });
}

} // namespace velkaro::cli
