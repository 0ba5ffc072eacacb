#include "TestSupport.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace velkaro::test {

namespace {

// A fresh folder made from `pattern`, with home/.config inside; HOME and XDG_CONFIG_HOME point there.
fs::path makeHome(const fs::path &pattern)
{
    std::string tmpl = pattern.string();
    if (!::mkdtemp(tmpl.data()))
        std::abort();
    const fs::path root(tmpl);
    fs::create_directories(root / "home" / ".config");
    ::setenv("HOME", (root / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root / "home" / ".config").c_str(), 1);
    return root;
}

// Runs during static initialisation, before any test.
const fs::path g_sandbox = makeHome(fs::temp_directory_path() / "velkaro-test-XXXXXX");

struct SandboxCleanup
{
    ~SandboxCleanup()
    {
        std::error_code ec;
        fs::remove_all(g_sandbox, ec);
    }
} g_cleanup;

} // namespace

int runAllTests()
{
    const int code = RUN_ALL_TESTS();
    return code == 0 && ::testing::UnitTest::GetInstance()->skipped_test_count() > 0 ? kSkippedExitCode : code;
}

void TempDirTest::SetUp()
{
    root = makeHome(g_sandbox / "t-XXXXXX");
    home = root / "home";
}

void TempDirTest::TearDown()
{
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root, ec);
}

void StoreTest::SetUp()
{
    TempDirTest::SetUp();
    src = home / ".gemini";
    dest = root / "dest";
    config.sourceDirectories = {src.string()};
    config.destinationDirectory = dest.string();
}

ProcessResult runProcess(const std::string &program, std::vector<std::string> args, const fs::path &scratch)
{
    std::vector<char *> argv {const_cast<char *>(program.c_str())};
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const fs::path out = scratch / "stdout.txt", err = scratch / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ProcessResult result;
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = readText(out);
    result.err = readText(err);
    return result;
}

bool killedDuring(const std::function<void()> &work, const std::function<bool()> &due)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::thread([&] {
            while (!due())
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            ::kill(::getpid(), SIGKILL);
        }).detach();
        work();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

void writeText(const fs::path &path, std::string_view text)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readText(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TimePoint localTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return TimePoint {std::chrono::seconds(std::mktime(&tm))};
}

ScopedTimeZone::ScopedTimeZone(const char *tz)
{
    if (const char *old = std::getenv("TZ")) {
        m_previous = old;
        m_hadPrevious = true;
    }
    ::setenv("TZ", tz, 1);
    ::tzset();
}

ScopedTimeZone::~ScopedTimeZone()
{
    if (m_hadPrevious)
        ::setenv("TZ", m_previous.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

} // namespace velkaro::test
