#pragma once

#include "Models/AppEnums.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <string_view>

namespace velkaro::test {

namespace fs = std::filesystem;

// Every test binary points HOME and XDG_CONFIG_HOME at a private temporary folder before main() runs,
// so no test can reach the real home folder. This returns that folder.
const fs::path &sandboxRoot();

// A fresh, empty folder per test, with HOME and XDG_CONFIG_HOME inside it.
class TempDirTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    fs::path root; // the per-test folder
    fs::path home; // root/home, also $HOME
};

void writeText(const fs::path &path, std::string_view text);
std::string readText(const fs::path &path);

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
