#pragma once

// The command-line tool, run as a separate process over a temporary home, as a user or a script would.
#include "Models/BackupConfig.h"
#include "Models/PromptTemplate.h"
#include "Platform/FileSystem.h"
#include "Platform/Formatters.h"
#include "Services/BackupService.h"
#include "Services/TemplateService.h"
#include "TestSupport.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace velkaro::test {

inline std::string recased(std::string text, bool toUpper = true)
{
    std::ranges::transform(
        text, text.begin(), [toUpper](unsigned char c) { return toUpper ? std::toupper(c) : std::tolower(c); });
    return text;
}

class CliTest : public TempDirTest
{
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        service = TemplateService {}; // now on the test's own XDG_CONFIG_HOME
        src = home / ".gemini";
        dest = home / "Documents/VelkaroAntigraviti_Backups";
        writeText(src / "GEMINI.md", "# hi\n");
        writeText(src / "settings.json", "{}");
    }

    ProcessResult run(std::vector<std::string> args) { return runProcess(VELKARO_CLI, std::move(args), root); }

    // Runs the tool and checks its exit code and all it printed, on stdout and on stderr.
    ProcessResult expectRun(
        std::vector<std::string> args, int code, const std::string &out, const std::string &err = "")
    {
        const std::string name = ::testing::PrintToString(args);
        ProcessResult r = run(std::move(args));
        EXPECT_EQ(r.code, code) << name;
        EXPECT_EQ(r.out, out) << name;
        EXPECT_EQ(r.err, err) << name;
        return r;
    }

    // Runs the tool where it must fail: its exit code, nothing on stdout, and the start of the problem.
    void expectFailure(std::vector<std::string> args, int code, const std::string &problem)
    {
        const std::string name = ::testing::PrintToString(args);
        const ProcessResult r = run(std::move(args));
        EXPECT_EQ(r.code, code) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_TRUE(r.err.starts_with(problem)) << name << ": " << r.err;
    }

    // patch(1)'s exit code for `diff` applied with -p1 inside `folder`, as a user would apply the tool's output.
    // Plain patch -p1 creates and deletes files; -N would skip a patch that looked reversed or applied.
    int patch(const std::string &diff, const fs::path &folder)
    {
        writeText(root / "p1.diff", diff);
        fs::create_directories(folder);
        return runProcess(
            "/usr/bin/patch", {"-d", folder.string(), "-p1", "-N", "-s", "-i", (root / "p1.diff").string()}, root)
            .code;
    }

    // Why the tool cannot be run under libfiu here, or nothing when it can.
    static const char *faultInjectionUnavailable()
    {
#if defined(__SANITIZE_ADDRESS__)
        return "libfiu preloaded before the address sanitizer's runtime cannot run the tool";
#else
        return fs::exists("/usr/bin/fiu-run") ? nullptr : "fiu-run (fiu-utils) is not installed";
#endif
    }

    // Runs the tool with every call that reaches libfiu's failure point `point` failing with EIO.
    ProcessResult runFailing(const std::string &point, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-x", "-c", "enable name=" + point + ",failinfo=5", VELKARO_CLI});
        return runProcess("/usr/bin/fiu-run", std::move(args), root);
    }

    std::string onlyId()
    {
        const auto history = BackupService().loadHistory(dest);
        return history.empty() ? std::string() : history.front().id;
    }

    void configureSources(std::vector<std::string> sources)
    {
        BackupConfig config;
        config.sourceDirectories = std::move(sources);
        ASSERT_TRUE(config.writeFile());
    }

    ScopedTimeZone tz {"UTC0"};
    fs::path src, dest;
    TemplateService service;
};

} // namespace velkaro::test
