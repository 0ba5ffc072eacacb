#include "TestSupport.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace velkaro::test {

namespace {

fs::path makeSandbox()
{
    std::string tmpl = (fs::temp_directory_path() / "velkaro-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        std::abort();
    const fs::path root(tmpl);
    fs::create_directories(root / "home" / ".config");
    ::setenv("HOME", (root / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root / "home" / ".config").c_str(), 1);
    return root;
}

// Runs during static initialisation, before any test.
const fs::path g_sandbox = makeSandbox();

struct SandboxCleanup {
    ~SandboxCleanup()
    {
        std::error_code ec;
        fs::remove_all(g_sandbox, ec);
    }
} g_cleanup;

} // namespace

const fs::path &sandboxRoot()
{
    return g_sandbox;
}

void TempDirTest::SetUp()
{
    std::string tmpl = (sandboxRoot() / "t-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root = tmpl;
    home = root / "home";
    fs::create_directories(home / ".config");
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
}

void TempDirTest::TearDown()
{
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root, ec);
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
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
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
