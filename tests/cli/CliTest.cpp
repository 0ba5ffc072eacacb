// Backups, listings, restores and deletions through the tool, its usage errors and the settings it reads.
#include "CliFixture.h"
#include "version.h"

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velkaro;
using namespace velkaro::test;

// A backup with the default settings, then list and show. Ids are matched without regard to case in every
// command, the exact spelling first, and never when two entries match a spelling equally.
TEST_F(CliTest, BackupWithDefaultSettingsThenListAndShowInAnyCase)
{
    expectRun({"backup"}, 0, "バックアップ完了 (2 件 • 7 バイト)\n"); // no progress on a pipe
    const std::string history = readText(dest / "history.json");
    expectRun({"list", "--json"}, 0, history + "\n");

    const std::string id = onlyId();
    EXPECT_EQ(BackupSnapshot::decode(run({"show", id, "--json"}).out), decodeSnapshotList(history)->front());
    const auto text = run({"show", id});
    EXPECT_NE(text.out.find("ファイル数: 2 件"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  settings.json\n"), std::string::npos);
    EXPECT_NE(run({"list"}).out.find(id + "  "), std::string::npos);
    expectRun({"show", "2000-01-01/snapshot_000000"}, 1, "",
        "スナップショットが見つかりません: 2000-01-01/snapshot_000000\n");

    EXPECT_EQ(run({"show", recased(id)}).out.substr(0, 4 + id.size()), "ID: " + id);
    EXPECT_EQ(run({"diff", recased(id), "--against", recased(id)}).code, 0);
    auto entry = BackupService().loadHistory(dest).front();
    entry.id = recased(id); // a hand-edited twin
    ASSERT_TRUE(BackupService().updateHistory(entry, dest));
    EXPECT_EQ(run({"show", recased(id)}).out.substr(0, 4 + id.size()), "ID: " + recased(id));
    EXPECT_EQ(run({"show", id}).out.substr(0, 4 + id.size()), "ID: " + id);
    std::string mixed = id;
    mixed[id.find('s')] = 'S';
    expectRun({"delete", mixed}, 1, "", "削除エラー: スナップショットが見つかりません: " + mixed + "\n");
    EXPECT_TRUE(fs::exists(dest / "snapshots" / id));
}

TEST_F(CliTest, SavedSettingsAreUsedAndFailuresExitOne)
{
    BackupConfig config;
    config.sourceDirectories = {src.string(), (root / "second").string()};
    config.destinationDirectory = (root / "store").string();
    ASSERT_TRUE(config.writeFile());
    writeText(src / "x.md", "x");
    writeText(root / "second/x.md/inner.md", "cannot be placed below the file x.md");
    expectRun({"backup"}, 0, "バックアップ完了 (3 件 • 8 バイト、1 件はコピーできませんでした)\n");
    EXPECT_TRUE(fs::exists(root / "store/history.json"));

    writeText(root / "file", "");
    config.destinationDirectory = (root / "file/store").string();
    ASSERT_TRUE(config.writeFile());
    expectFailure({"backup"}, 1, "バックアップ失敗: ");

    // A busy store is reported, not waited for forever.
    config.destinationDirectory = dest.string();
    ASSERT_TRUE(config.writeFile());
    auto held = StoreLock::acquire(dest);
    ASSERT_TRUE(held);
    expectRun({"backup"}, 1, "", "バックアップ失敗: 別の処理がバックアップ先を使用中です\n");
}

TEST_F(CliTest, RestoreWholeOrChosenFilesThenDelete)
{
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string id = onlyId();
    writeText(src / "GEMINI.md", "changed");
    writeText(src / "settings.json", "changed");

    expectRun({"restore", id, "--scope", "markdown"}, 0,
        "復元前のセーフティバックアップを作成中...\n復元中: GEMINI.md\n復元完了 (1 件)\n"
        "1 件のファイルを正常に復元しました！\n");
    EXPECT_EQ(readText(src / "GEMINI.md"), "# hi\n");

    expectFailure({"restore", "2000-01-01/snapshot_000000"}, 1, "復元エラー: ");

    // Chosen files only, whatever the scope; a choice the snapshot lacks writes nothing.
    writeText(src / "GEMINI.md", "changed");
    expectRun({"restore", id, "--file", "GEMINI.md", "--file", "nope.md"}, 1, "",
        "復元エラー: スナップショットに含まれていません: nope.md\n");
    EXPECT_EQ(readText(src / "GEMINI.md"), "changed");
    EXPECT_EQ(run({"restore", id, "--scope", "config", "--file", "GEMINI.md"}).code, 0);
    EXPECT_EQ(readText(src / "GEMINI.md"), "# hi\n");
    EXPECT_EQ(readText(src / "settings.json"), "changed");
    EXPECT_EQ(BackupService().loadHistory(dest).size(), 3u) << "a safety snapshot per restore";

    expectRun({"delete", recased(id)}, 0, "スナップショットを削除しました: " + id + "\n");
    EXPECT_FALSE(fs::exists(dest / "snapshots" / id));
    EXPECT_EQ(BackupService().loadHistory(dest).size(), 2u) << "the safety snapshots stay";
    EXPECT_EQ(run({"delete", id}).code, 1);
}

// A restore that leaves chosen files unwritten says how many and fails; a delete that could tear the
// store (an id naming a whole day, a linked snapshots/ folder) is refused and removes nothing.
TEST_F(CliTest, PartialRestoresAndUnsafeDeletesExitOne)
{
    writeText(src / "sub/notes.md", "n");
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string id = onlyId();
    fs::remove_all(src / "sub");
    fs::create_directory_symlink(root, src / "sub");
    const auto partial = run({"restore", id});
    EXPECT_EQ(partial.code, 1);
    EXPECT_TRUE(partial.out.ends_with("2 件のファイルを正常に復元しました！、1 件は復元できませんでした\n"))
        << partial.out;
    EXPECT_EQ(partial.err,
        "2 件のファイルを正常に復元しました！、1 件は復元できませんでした\n復元できなかったファイル:\n  "
        "sub/notes.md: シンボリックリンクを通るため書き込みません\n");
    EXPECT_FALSE(fs::exists(root / "notes.md"));

    // A hand-edited entry whose id is a day folder.
    BackupSnapshot day = BackupService().loadHistory(dest).front();
    day.id = id.substr(0, id.find('/'));
    ASSERT_TRUE(BackupService().updateHistory(day, dest));
    const auto wholeDay = run({"delete", day.id});
    EXPECT_EQ(wholeDay.code, 1);
    EXPECT_NE(wholeDay.err.find(day.id), std::string::npos) << wholeDay.err;
    EXPECT_TRUE(fs::exists(dest / "snapshots" / id / "snapshot.json"));

    fs::rename(dest / "snapshots", root / "elsewhere");
    fs::create_directory_symlink(root / "elsewhere", dest / "snapshots");
    EXPECT_EQ(run({"delete", id}).code, 1);
    EXPECT_TRUE(fs::exists(root / "elsewhere" / id / "snapshot.json"));
    EXPECT_EQ(BackupService().loadHistory(dest).size(), 3u);
}

TEST_F(CliTest, UsageErrorsExitTwo)
{
    for (const auto &args :
        std::vector<std::vector<std::string>> {{}, {"bogus"}, {"list", "extra"}, {"list", "--bogus"}, {"show"},
            {"restore"}, {"restore", "id", "--scope"}, {"restore", "id", "--scope", "all-of-it"}, {"delete", "a", "b"},
            {"backup", "--json"}, {"templates"}, {"templates", "bogus"}, {"templates", "apply"},
            {"templates", "list", "--xml"}, {"templates", "import", "extra"}, {"diff"}, {"diff", "a", "b"},
            {"diff", "id", "--against"}, {"diff", "id", "--json", "--file", "x"}, {"restore", "id", "--file"},
            {"diff", "id", "--file", "a", "--file", "b"}, {"list", "--json=yes"}, {"templates", "apply", "a", "b"},
            {"templates", "list", "extra"}}) {
        const auto outcome = run(args);
        EXPECT_EQ(outcome.code, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find("使い方: velkaro-backup-cli"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dest)) << "nothing ran";
    EXPECT_FALSE(fs::exists(TemplateService::defaultLibraryFilePath()));
    // The full --help is held against the manual page by manpage-test.sh.
    expectRun({"--version"}, 0, "velkaro-backup-cli " VELKARO_VERSION "\n");

    // A command's own usage: its entries only, on stdout for --help, after the problem on stderr.
    const auto restoreHelp = run({"restore", "--help"});
    EXPECT_EQ(restoreHelp.code, 0);
    EXPECT_NE(restoreHelp.out.find("  restore ID --file PATH [--file PATH ...]\n"), std::string::npos)
        << restoreHelp.out;
    EXPECT_EQ(restoreHelp.out.find("templates"), std::string::npos) << restoreHelp.out;
    expectFailure({"restore", "id", "--scope=all-of-it"}, 2,
        "--scope には all, markdown, config のどれかを指定してください\n\n使い方: velkaro-backup-cli restore\n");
    const auto templatesHelp = run({"templates", "--help"});
    EXPECT_EQ(templatesHelp.code, 0);
    EXPECT_NE(templatesHelp.out.find("  templates apply ID "), std::string::npos) << templatesHelp.out;
    EXPECT_EQ(templatesHelp.out.find("  restore"), std::string::npos) << templatesHelp.out;
}

TEST_F(CliTest, ProgressBarOnlyOnATerminal)
{
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execl(VELKARO_CLI, VELKARO_CLI, "backup", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    std::string screen;
    char buffer[4096];
    // Reading ends with EIO once the child has closed the terminal.
    for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
        screen.append(buffer, static_cast<std::size_t>(n));
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(screen.find("\r["), std::string::npos) << screen;
    EXPECT_NE(screen.find("% GEMINI.md"), std::string::npos) << screen;
    EXPECT_NE(screen.find("バックアップ完了 (2 件"), std::string::npos) << screen;
}

TEST_F(CliTest, BackupDryRunListsTakenAndLeftOutFilesAndWritesNothing)
{
    writeText(src / "commands/go.toml", "x");
    writeText(src / "tools/run.sh", "x");
    writeText(src / "tools/sync.sh", "x");
    BackupConfig config;
    config.targetExtensions = {"md", "json"};
    ASSERT_TRUE(config.writeFile());
    const auto listing = [&] {
        std::vector<std::string> all;
        for (const auto &entry : fs::recursive_directory_iterator(home)) // the output goes to root
            all.push_back(
                entry.path().string() + std::to_string(fs::last_write_time(entry.path()).time_since_epoch().count()));
        return all;
    };
    const auto before = listing();

    const auto r = run({"backup", "--dry-run"});
    EXPECT_EQ(r.code, 0) << r.err;
    const std::string s = src.string();
    EXPECT_EQ(r.out,
        "バックアップ対象: 2 件 (7 バイト)\n" + s + "/GEMINI.md\n" + s
            + "/settings.json\n\n"
              "対象外: 3 件 (.sh 2、.toml 1)\n"
            + s + "/commands/go.toml\n" + s + "/tools/run.sh\n" + s + "/tools/sync.sh\n");
    EXPECT_EQ(listing(), before);
    EXPECT_FALSE(fs::exists(dest));

    config.targetExtensions = {};
    ASSERT_TRUE(config.writeFile());
    EXPECT_TRUE(run({"backup", "--dry-run"}).out.ends_with("\n\n対象外: 0 件\n"));
}

// A path that two sources hold is one file to restore, counted once.
TEST_F(CliTest, RestoringAPathOfTwoSourcesCountsTheFilesWritten)
{
    writeText(root / "second/GEMINI.md", "second");
    configureSources({src.string(), (root / "second").string()});
    ASSERT_EQ(run({"backup"}).code, 0);
    const auto restored = run({"restore", onlyId(), "--file", "GEMINI.md"});
    EXPECT_EQ(restored.code, 0) << restored.err;
    EXPECT_TRUE(restored.out.ends_with("\n1 件のファイルを正常に復元しました！\n")) << restored.out;
}

// Settings paths as a user may type them in config.json: "~" is the home folder, a relative path ends
// every command that reads it (naming the field) before anything is made; an unreadable library is
// never replaced by an import; unreadable settings stop every command.
TEST_F(CliTest, SettingsPathsAreCheckedAndAnUnreadableLibraryIsKept)
{
    BackupConfig config;
    config.destinationDirectory = "~/store2";
    config.sourceDirectories = {"~/.gemini"};
    ASSERT_TRUE(config.writeFile());
    EXPECT_EQ(run({"backup"}).code, 0);
    EXPECT_TRUE(fs::exists(home / "store2/history.json"));
    EXPECT_FALSE(fs::exists(root / "~"));

    config.destinationDirectory = "store2";
    ASSERT_TRUE(config.writeFile());
    using Args = std::vector<std::string>;
    for (const Args &args : {Args {"backup"}, Args {"list"}, Args {"templates", "import"}})
        expectFailure(args, 1, "設定エラー: 設定の「バックアップ保存先フォルダ」");
    EXPECT_FALSE(fs::exists(root / "store2"));

    config.destinationDirectory = dest.string();
    ASSERT_TRUE(config.writeFile());
    fs::remove(TemplateService::defaultLibraryFilePath());
    fs::create_directories(TemplateService::defaultLibraryFilePath()); // there, but every read fails
    expectFailure({"templates", "import"}, 1, "テンプレートを読み込めませんでした: ");
    EXPECT_TRUE(fs::is_directory(TemplateService::defaultLibraryFilePath()));

    // Settings that cannot be read are no missing settings: the defaults would back up into another store.
    fs::remove(BackupConfig::defaultConfigFilePath());
    fs::create_directories(BackupConfig::defaultConfigFilePath());
    expectFailure({"backup"}, 1, "設定エラー: 設定ファイルを読み込めません: ");
    EXPECT_FALSE(fs::exists(home / "Documents"));
}

// A run that could not read everything is a failure (exit 1) that names what it missed; with nothing
// read it writes nothing. A listing broken off by an I/O error (injected with libfiu where installed)
// still leaves the snapshot of what was read.
TEST_F(CliTest, RunsThatCouldNotReadEverythingExitOne)
{
    const std::string missing = (home / "gone").string();
    configureSources({missing});
    expectRun({"backup"}, 1, "", "バックアップ失敗: バックアップ対象フォルダが見つかりません: " + missing + "\n");
    EXPECT_FALSE(fs::exists(dest / "snapshots"));
    configureSources({src.string(), missing});
    expectRun({"backup"}, 1, "",
        "バックアップ完了 (2 件 • 7 バイト、バックアップ対象フォルダが見つかりません: " + missing + ")\n");
    EXPECT_EQ(run({"backup", "--dry-run"}).code, 1);

    if (const char *why = faultInjectionUnavailable())
        GTEST_SKIP() << why;
    configureSources({src.string()});
    const auto broken = runFailing("posix/io/dir/readdir", {"backup"});
    EXPECT_EQ(broken.code, 1);
    EXPECT_EQ(
        broken.err, "バックアップ完了 (0 件 • 0 バイト、1 件のフォルダを読み込めませんでした: " + src.string() + ")\n");
    EXPECT_EQ(BackupService().loadHistory(dest).size(), 2u);
}
