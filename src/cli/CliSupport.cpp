#include "CliSupport.h"

#include "Platform/Error.h"
#include "Platform/QuotedName.h"
#include "Platform/Utf8.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace velkaro::cli {

namespace {

int g_outputError = 0; // errno of the first failed write to stdout

} // namespace

void writeOut(std::string_view text)
{
    if (g_outputError != 0 || text.empty())
        return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        g_outputError = errno != 0 ? errno : EIO;
}

void printLine(std::string_view text)
{
    writeOut(text);
    writeOut("\n");
}

int finishOutput(int code, int failureCode)
{
    errno = 0;
    if (std::fflush(stdout) != 0 && g_outputError == 0)
        g_outputError = errno != 0 ? errno : EIO;
    if (g_outputError == 0)
        return code;
    if (g_outputError == EPIPE) {
        // The reader has all it wanted: end as a process writing into a closed pipe ends.
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
        return failureCode;
    }
    printError("標準出力に書き込めません: " + std::string(describeErrno(g_outputError)));
    return failureCode;
}

void guardStandardStreams()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // stdout opened for reading only: every write fails (EBADF) and is reported.
        const int opened = ::open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

bool fitsJson(std::string_view text)
{
    if (Utf8::isValid(text))
        return true;
    printError("JSON に書けない名前があります (UTF-8 ではありません): " + quotedName(text));
    return false;
}

void printError(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
}

void printJson(std::string_view json)
{
    writeOut(json);
    if (json.empty() || json.back() != '\n')
        writeOut("\n");
}

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

BackupConfig loadConfig()
{
    const auto loaded = BackupConfig::load();
    if (!loaded) {
        printError("設定エラー: 設定ファイルを読み込めません: " + loaded.error().description);
        std::exit(kExitFailure);
    }
    BackupConfig config = loaded->value_or(BackupConfig {});
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
