#pragma once

#include "Models/AppEnums.h"
#include "Models/BackupConfig.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro::test {

namespace fs = std::filesystem;

// Every test binary points HOME and XDG_CONFIG_HOME at a private temporary folder before main() runs,
// so no test can reach the real home folder.

// A fresh, empty folder per test, with HOME and XDG_CONFIG_HOME inside it.
class TempDirTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    fs::path root; // the per-test folder
    fs::path home; // root/home, also $HOME
};

// A temporary home whose ~/.gemini is the only source, with the store in root/dest.
class StoreTest : public TempDirTest
{
protected:
    void SetUp() override;

    fs::path src; // home/.gemini
    fs::path dest; // root/dest
    BackupConfig config;
};

void writeText(const fs::path &path, std::string_view text);
std::string readText(const fs::path &path);

// The ids of a list of snapshots or templates, in order.
template<class List> std::vector<std::string> ids(const List &list)
{
    std::vector<std::string> out;
    for (const auto &item : list)
        out.push_back(item.id);
    return out;
}

// What a run that skipped tests and failed none exits with (CTest's SKIP_RETURN_CODE for every test).
inline constexpr int kSkippedExitCode = 77;

// RUN_ALL_TESTS(), except that a run which skipped a test (no root, no tool here) and failed none exits
// kSkippedExitCode, so CTest reports it as skipped rather than passed.
int runAllTests();

struct ProcessResult
{
    int code = -1;
    std::string out;
    std::string err;
};

// Runs `program` with this process's environment, its stdout and stderr going to files in `scratch`
// (so neither is a terminal).
ProcessResult runProcess(const std::string &program, std::vector<std::string> args, const fs::path &scratch);

// Runs `work` in a child process, which a thread of the child kills with SIGKILL as soon as `due()`
// holds (or `work` may kill itself). True when the child died of SIGKILL, false when it finished.
bool killedDuring(const std::function<void()> &work, const std::function<bool()> &due);

// A local date-time in the current TZ, to build instants that tests can reason about.
TimePoint localTime(int year, int month, int day, int hour, int minute, int second);

// Sets TZ for the lifetime of the object.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char *tz);
    ~ScopedTimeZone();

private:
    std::string m_previous;
    bool m_hadPrevious = false;
};

} // namespace velkaro::test
