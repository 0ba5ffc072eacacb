#include "Models/BackupConfig.h"
#include "Platform/FileSystem.h"
#include "Services/BackupService.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velkaro;
using namespace velkaro::test;

namespace {

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

class CliTest : public TempDirTest
{
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        src = home / ".gemini";
        dest = home / "Documents/VelkaroAntigraviti_Backups";
        writeText(src / "GEMINI.md", "# hi\n");
        writeText(src / "settings.json", "{}");
    }

    static std::vector<char *> argv(std::vector<std::string> &args)
    {
        std::vector<char *> out {const_cast<char *>(VELKARO_CLI)};
        for (auto &a : args)
            out.push_back(a.data());
        out.push_back(nullptr);
        return out;
    }

    // Runs the tool with stdout and stderr going to files (so neither is a terminal).
    Outcome run(std::vector<std::string> args)
    {
        const fs::path out = root / "out.txt", err = root / "err.txt";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            ::execv(VELKARO_CLI, argv(args).data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(out), readText(err)};
    }

    std::string onlyId()
    {
        const auto history = BackupService().loadHistory(dest);
        return history.empty() ? std::string() : history.front().id;
    }

    ScopedTimeZone tz {"UTC0"};
    fs::path src, dest;
};

} // namespace

TEST_F(CliTest, BackupWithDefaultSettingsThenListAndShow)
{
    const auto backup = run({"backup"});
    EXPECT_EQ(backup.code, 0);
    EXPECT_EQ(backup.out, "バックアップ完了 (2 件 • 7 バイト)\n");
    EXPECT_EQ(backup.err, "") << "no progress on a pipe";

    const std::string history = readText(dest / "history.json");
    const auto list = run({"list", "--json"});
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out, history + "\n");
    EXPECT_EQ(decodeSnapshotList(list.out), decodeSnapshotList(history));

    const std::string id = onlyId();
    const auto show = run({"show", id, "--json"});
    EXPECT_EQ(show.code, 0);
    EXPECT_EQ(BackupSnapshot::decode(show.out), decodeSnapshotList(history)->front());
    const auto text = run({"show", id});
    EXPECT_NE(text.out.find("ファイル数: 2 件"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  settings.json\n"), std::string::npos);
    EXPECT_NE(run({"list"}).out.find(id + "  "), std::string::npos);

    const auto unknown = run({"show", "2000-01-01/snapshot_000000"});
    EXPECT_EQ(unknown.code, 1);
    EXPECT_EQ(unknown.err, "スナップショットが見つかりません: 2000-01-01/snapshot_000000\n");
}

TEST_F(CliTest, SavedSettingsAreUsedAndFailuresExitOne)
{
    BackupConfig config;
    config.sourceDirectories = {src.string(), (root / "second").string()};
    config.destinationDirectory = (root / "store").string();
    ASSERT_TRUE(config.writeFile());
    writeText(src / "x.md", "x");
    writeText(root / "second/x.md/inner.md", "cannot be placed below the file x.md");
    const auto partial = run({"backup"});
    EXPECT_EQ(partial.code, 0);
    EXPECT_EQ(partial.out, "バックアップ完了 (3 件 • 8 バイト、1 件はコピーできませんでした)\n");
    EXPECT_TRUE(fs::exists(root / "store/history.json"));

    writeText(root / "file", "");
    config.destinationDirectory = (root / "file/store").string();
    ASSERT_TRUE(config.writeFile());
    const auto failed = run({"backup"});
    EXPECT_EQ(failed.code, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_TRUE(failed.err.starts_with("バックアップ失敗: ")) << failed.err;
}

TEST_F(CliTest, RestoreAndDelete)
{
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string id = onlyId();
    writeText(src / "GEMINI.md", "changed");
    writeText(src / "settings.json", "changed");

    const auto restore = run({"restore", id, "--scope", "markdown"});
    EXPECT_EQ(restore.code, 0) << restore.err;
    EXPECT_EQ(restore.out, "復元前のセーフティバックアップを作成中...\n復元中: GEMINI.md\n復元完了 (1 件)\n"
                           "1 件のファイルを正常に復元しました！\n");
    EXPECT_EQ(readText(src / "GEMINI.md"), "# hi\n");
    EXPECT_EQ(readText(src / "settings.json"), "changed");

    const auto unknown = run({"restore", "2000-01-01/snapshot_000000"});
    EXPECT_EQ(unknown.code, 1);
    EXPECT_TRUE(unknown.err.starts_with("復元エラー: ")) << unknown.err;

    const auto removed = run({"delete", id});
    EXPECT_EQ(removed.code, 0) << removed.err;
    EXPECT_FALSE(fs::exists(dest / "snapshots" / id));
    EXPECT_EQ(BackupService().loadHistory(dest).size(), 1u) << "the safety snapshot stays";
    EXPECT_EQ(run({"delete", id}).code, 1);
}

TEST_F(CliTest, UsageErrorsExitTwo)
{
    for (const auto &args : std::vector<std::vector<std::string>> {{},
                                                                   {"bogus"},
                                                                   {"list", "extra"},
                                                                   {"list", "--bogus"},
                                                                   {"show"},
                                                                   {"restore"},
                                                                   {"restore", "id", "--scope"},
                                                                   {"restore", "id", "--scope", "all-of-it"},
                                                                   {"delete", "a", "b"},
                                                                   {"backup", "--json"}}) {
        const auto outcome = run(args);
        EXPECT_EQ(outcome.code, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find("使い方: velkaro-backup-cli"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dest)) << "nothing ran";
    EXPECT_EQ(run({"--help"}).code, 0);
    EXPECT_EQ(run({"--version"}).out, "velkaro-backup-cli " VELKARO_VERSION "\n");
}

TEST_F(CliTest, BusyStoreIsReportedNotWaitedForForever)
{
    auto held = StoreLock::acquire(dest);
    ASSERT_TRUE(held);
    const auto busy = run({"backup"});
    EXPECT_EQ(busy.code, 1);
    EXPECT_EQ(busy.err, "バックアップ失敗: 別の処理がバックアップ先を使用中です\n");
}

TEST_F(CliTest, ProgressBarOnlyOnATerminal)
{
    std::vector<std::string> args {"backup"};
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execv(VELKARO_CLI, argv(args).data());
        ::_exit(127);
    }
    std::string screen;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break; // EIO once the child has closed the terminal
        screen.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(screen.find("\r["), std::string::npos) << screen;
    EXPECT_NE(screen.find("% GEMINI.md"), std::string::npos) << screen;
    EXPECT_NE(screen.find("バックアップ完了 (2 件"), std::string::npos) << screen;
}
