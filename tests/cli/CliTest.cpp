#include "Models/BackupConfig.h"
#include "Models/PromptTemplate.h"
#include "Platform/FileSystem.h"
#include "Platform/Formatters.h"
#include "Services/BackupService.h"
#include "Services/TemplateService.h"
#include "TestSupport.h"
#include "version.h"

#include <csignal>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velkaro;
using namespace velkaro::test;

namespace {

std::string recased(std::string text, bool toUpper = true)
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

    // patch(1)'s exit code for `diff` applied to `target`, as a user would apply the tool's output.
    int patch(const std::string &diff, const fs::path &target, std::vector<std::string> flags = {})
    {
        writeText(root / "patch.diff", diff);
        fs::create_directories(target.parent_path());
        flags.insert(flags.end(), {"-s", target.string(), "-i", (root / "patch.diff").string()});
        return runProcess("/usr/bin/patch", std::move(flags), root).code;
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

} // namespace

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

TEST_F(CliTest, TemplatesListShowsTheLibraryAndImportAppendsToIt)
{
    const ProcessResult plain = run({"templates", "list"});
    ASSERT_EQ(plain.code, 0) << plain.err;
    const auto library = decodeTemplateList(readText(TemplateService::defaultLibraryFilePath()));
    ASSERT_TRUE(library);
    ASSERT_EQ(library->size(), 4u);
    EXPECT_TRUE(plain.out.starts_with((*library)[0].id + "  [汎用プロンプト] 標準AIアシスタント (プリセット)\n"))
        << plain.out;
    EXPECT_EQ(std::ranges::count(plain.out, '\n'), 4);

    EXPECT_EQ(decodeTemplateList(run({"templates", "list", "--json"}).out), library);

    // import appends the current instruction file of the first source folder.
    const fs::path source = root / "src";
    configureSources({source.string()});
    expectRun({"templates", "import"}, 1, "", "GEMINI.md が見つかりませんでした。\n");
    writeText(source / "GEMINI.md", "");
    expectRun({"templates", "import"}, 0, "現在の GEMINI.md をテンプレートとして取り込みました！\n");
    const auto imported = service.loadTemplates();
    ASSERT_EQ(imported.size(), 5u);
    EXPECT_EQ(imported[4].title, "取込: 現在のGEMINI.md");
    EXPECT_EQ(imported[4].descriptionText, source.string() + "/GEMINI.md から取り込んだ設定");
    EXPECT_EQ(imported[4].promptContent, "");

    ASSERT_TRUE(service.saveTemplates({}));
    expectRun({"templates", "list"}, 0, "テンプレートはありません。\n");
}

TEST_F(CliTest, TemplatesApplyWritesIntoTheFirstSourceFolder)
{
    // Without config.json the default source folder is used.
    const auto presets = service.loadTemplates();
    expectRun({"templates", "apply", presets[2].id}, 0, "「シニアコードレビュアー」を GEMINI.md に適用したよ！\n");
    EXPECT_EQ(readText(home / ".gemini/GEMINI.md"), presets[2].promptContent);

    auto mine = TemplateService::makeImportedTemplate("本文", "/x");
    mine.title = "自分用";
    mine.targetFileName = "rules/GEMINI.md";
    ASSERT_TRUE(service.saveTemplates({mine}));
    configureSources({(root / "first").string(), (root / "second").string()});
    expectRun({"templates", "apply", recased(mine.id, false)}, 0, "「自分用」を rules/GEMINI.md に適用したよ！\n");
    EXPECT_EQ(readText(root / "first/rules/GEMINI.md"), "本文");
    EXPECT_FALSE(fs::exists(root / "second"));

    writeText(root / "file", "");
    configureSources({(root / "file").string()});
    expectFailure({"templates", "apply", mine.id}, 1, "適用失敗: ");
    EXPECT_EQ(run({"templates", "apply", "no-such-id"}).code, 1);
    configureSources({});
    expectRun({"templates", "apply", mine.id}, 1, "", "ソースフォルダが設定されていません。\n");
}
TEST_F(CliTest, TemplatesApplyKeepsOtherTextInASafetySnapshotFirst)
{
    auto mine = TemplateService::makeImportedTemplate("新しい本文", "/x");
    auto toml = mine;
    toml.id = "2B1C6A3E-0000-4000-8000-000000000001";
    toml.targetFileName = "commands/go.toml";
    ASSERT_TRUE(service.saveTemplates({mine, toml}));
    BackupConfig config;
    config.targetExtensions = {"md"};
    writeText(root / "file", "");
    config.destinationDirectory = (root / "file/store").string(); // no store can be made there
    ASSERT_TRUE(config.writeFile());

    expectFailure(
        {"templates", "apply", mine.id}, 1, "適用失敗: 上書き前のセーフティバックアップを作成できなかったため");
    EXPECT_EQ(readText(src / "GEMINI.md"), "# hi\n");

    config.destinationDirectory = dest.string();
    ASSERT_TRUE(config.writeFile());
    ASSERT_EQ(run({"templates", "apply", mine.id}).code, 0);
    EXPECT_EQ(readText(src / "GEMINI.md"), "新しい本文");
    auto history = BackupService().loadHistory(dest);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history.front().triggerType, BackupTriggerType::preRestoreSafety);
    ASSERT_EQ(run({"restore", history.front().id, "--scope", "markdown"}).code, 0);
    EXPECT_EQ(readText(src / "GEMINI.md"), "# hi\n");

    // The same text again needs no copy; a file the backup leaves out cannot be kept and is not replaced.
    ASSERT_EQ(run({"templates", "apply", mine.id}).code, 0);
    const auto count = BackupService().loadHistory(dest).size();
    ASSERT_EQ(run({"templates", "apply", mine.id}).code, 0);
    writeText(src / "commands/go.toml", "mine");
    expectFailure({"templates", "apply", toml.id}, 1, "適用失敗: 「commands/go.toml」はバックアップの対象外");
    EXPECT_EQ(readText(src / "commands/go.toml"), "mine");
    EXPECT_EQ(BackupService().loadHistory(dest).size(), count);
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

// diff lists what changed with diff(1)'s exit codes, and shows one file as a patch can apply it.
TEST_F(CliTest, DiffListsChangesAndOneFileAsAUnifiedDiff)
{
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string id = onlyId();
    expectRun({"diff", id}, 0, "変更 0 件、追加 0 件、削除 0 件、変更なし 2 件\n");

    writeText(src / "GEMINI.md", "# hello\nmore\n");
    writeText(src / "a.md", "new");
    fs::remove(src / "settings.json");
    expectRun(
        {"diff", id}, 1, "M  GEMINI.md\n+  a.md\n-  settings.json\n変更 1 件、追加 1 件、削除 1 件、変更なし 0 件\n");
    const auto json = run({"diff", id, "--json"});
    EXPECT_EQ(json.code, 1);
    EXPECT_EQ(nlohmann::json::parse(json.out),
        nlohmann::json::parse(
            R"({"changed":["GEMINI.md"],"added":["a.md"],"removed":["settings.json"],"unchanged":0})"));
    expectRun({"diff", id, "--file", "GEMINI.md"}, 1,
        "--- " + id + "/GEMINI.md\n+++ now/GEMINI.md\n@@ -1 +1,2 @@\n-# hi\n+# hello\n+more\n");

    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string later = onlyId();
    writeText(src / "GEMINI.md", std::string("\0bin", 4));
    expectRun({"diff", id, "--against", later, "--file", "settings.json"}, 1,
        "--- " + id + "/settings.json\n+++ " + later + "/settings.json\n@@ -1 +0,0 @@\n-{}\n"
            + "\\ No newline at end of file\n");
    expectRun({"diff", later, "--file", "GEMINI.md"}, 1,
        "バイナリファイルが異なります: " + later + "/GEMINI.md (13 バイト) と now/GEMINI.md (4 バイト)\n");

    // An empty file on one side only: the diff says it came or went, and patch makes or removes it.
    writeText(src / "empty.md", "");
    const auto added = expectRun({"diff", later, "--file", "empty.md"}, 1,
        "diff --git " + later + "/empty.md now/empty.md\nnew file mode 100644\nindex 0000000..e69de29\n");
    // Plain patch -p1 creates and deletes it; -N would skip a patch that looked reversed or applied.
    const fs::path work = root / "apply";
    fs::create_directories(work);
    const auto patchP1 = [&](const std::string &diff) {
        writeText(root / "p1.diff", diff);
        return runProcess(
            "/usr/bin/patch", {"-d", work.string(), "-p1", "-N", "-s", "-i", (root / "p1.diff").string()}, root)
            .code;
    };
    EXPECT_EQ(patchP1(added.out), 0);
    ASSERT_TRUE(fs::is_regular_file(work / "empty.md"));
    EXPECT_EQ(fs::file_size(work / "empty.md"), 0u);
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string last = onlyId();
    ASSERT_NE(last, later);
    fs::remove(src / "empty.md");
    const auto removed = expectRun({"diff", last, "--file", "empty.md"}, 1,
        "diff --git " + last + "/empty.md now/empty.md\ndeleted file mode 100644\nindex e69de29..0000000\n");
    EXPECT_EQ(patchP1(removed.out), 0);
    EXPECT_FALSE(fs::exists(work / "empty.md"));
    EXPECT_EQ(run({"diff", later, "--against", last, "--file", "a.md"}).code, 0);

    // A recorded file whose stored copy is gone cannot be compared: trouble, not a removal.
    fs::remove(dest / "snapshots" / id / "data/settings.json");
    const auto lost = run({"diff", id});
    EXPECT_EQ(lost.code, 2);
    EXPECT_NE(lost.out.find("?  settings.json\n"), std::string::npos) << lost.out;
    EXPECT_EQ(run({"diff", id, "--file", "nothing.md"}).code, 2);
    EXPECT_EQ(run({"diff", "2000-01-01/snapshot_000000"}).code, 2);
}

namespace {

// The tool run with its stdout on `stdoutFd` (-1: closed) and SIGPIPE ignored or not, as a shell or a
// script may leave them: the exit code (or 128 + the signal that ended it) and what it said on stderr.
std::pair<int, std::string> runWithStdout(
    const fs::path &scratch, std::vector<std::string> args, int stdoutFd, bool ignorePipeSignal = false)
{
    std::vector<char *> argv {const_cast<char *>(VELKARO_CLI)};
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const fs::path err = scratch / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd < 0)
        posix_spawn_file_actions_addclose(&actions, 1);
    else
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const auto previous = std::signal(SIGPIPE, ignorePipeSignal ? SIG_IGN : SIG_DFL);
    pid_t pid = 0;
    int status = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        ::waitpid(pid, &status, 0);
    std::signal(SIGPIPE, previous);
    posix_spawn_file_actions_destroy(&actions);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readText(err)};
}

} // namespace

// Output that cannot be written is said on stderr and fails the command (2 for diff, 1 for the others);
// a reader that went away ends the tool quietly, as SIGPIPE would.
TEST_F(CliTest, FailedWritesToStdoutAreSaid)
{
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string id = onlyId();
    writeText(src / "GEMINI.md", "changed");
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    const std::string noSpace = "標準出力に書き込めません: ディスクの空き容量が足りません\n";
    for (const auto &args : std::vector<std::vector<std::string>> {
             {"list"}, {"list", "--json"}, {"show", id}, {"templates", "list"}, {"backup", "--dry-run"}, {"--help"}})
        EXPECT_EQ(runWithStdout(root, args, full), std::pair(1, noSpace)) << ::testing::PrintToString(args);
    EXPECT_EQ(runWithStdout(root, {"diff", id}, full), std::pair(2, noSpace));
    EXPECT_EQ(runWithStdout(root, {"diff", id, "--file", "GEMINI.md"}, full), std::pair(2, noSpace));
    ::close(full);
    const auto closed = runWithStdout(root, {"diff", id}, -1);
    EXPECT_EQ(closed.first, 2);
    EXPECT_TRUE(closed.second.starts_with("標準出力に書き込めません: ")) << closed.second;

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::close(pipeFds[0]); // the reader has gone
    for (const bool ignored : {false, true})
        EXPECT_EQ(runWithStdout(root, {"show", id}, pipeFds[1], ignored), std::pair(128 + SIGPIPE, std::string()));
    ::close(pipeFds[1]);
}

// Names and notes from the store are quoted in plain output when they hold control characters, and
// printed exactly in JSON; a name JSON cannot hold exactly ends in an error, never an abort.
TEST_F(CliTest, ControlCharactersInNamesAreQuoted)
{
    writeText(src / "tab\there.md", "t");
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string id = onlyId();
    auto snapshot = BackupService().loadHistory(dest).front();
    snapshot.id = "2000-01-01/snapshot_\x1b[2J";
    snapshot.note = "line\nforged\x1b]0;title\a \"q\" \\";
    ASSERT_TRUE(BackupService().updateHistory(snapshot, dest));
    const auto list = run({"list"}).out;
    EXPECT_TRUE(list.starts_with("\"2000-01-01/snapshot_\\033[2J\"  ")) << list;
    const auto shown = run({"show", snapshot.id});
    EXPECT_NE(shown.out.find("\nメモ: \"line\\nforged\\033]0;title\\a \\\"q\\\" \\\\\"\n"), std::string::npos)
        << shown.out;
    EXPECT_NE(shown.out.find("\n  \"tab\\there.md\"\n"), std::string::npos) << shown.out;
    EXPECT_EQ(BackupSnapshot::decode(run({"show", snapshot.id, "--json"}).out)->note, snapshot.note);
    writeText(src / "tab\there.md", "changed");
    EXPECT_NE(run({"diff", id}).out.find("M  \"tab\\there.md\"\n"), std::string::npos);

    writeText(src / "bad\xff.md", "b");
    const auto json = run({"diff", id, "--json"});
    if (json.code == 2) {
        EXPECT_EQ(json.out, "");
        EXPECT_EQ(json.err, "JSON に書けない名前があります (UTF-8 ではありません): \"bad\\377.md\"\n");
    } else {
        EXPECT_TRUE(nlohmann::json::accept(json.out)) << json.code << json.err; // the name was left out
    }
}

// A file that cannot be read now is trouble, as in diff -rq; a FIFO is never opened.
TEST_F(CliTest, UnreadableFilesAreTroubleAndFifosAreNeverOpened)
{
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string id = onlyId();
    writeText(src / "GEMINI.md", "changed and longer");
    fs::permissions(src / "GEMINI.md", fs::perms::none);
    // Root reads anything: drop that power for the tool, as an ordinary user has none.
    const std::string setpriv = "/usr/bin/setpriv";
    if (::geteuid() == 0 && !fs::exists(setpriv))
        GTEST_SKIP() << "no setpriv to run the tool without root's read access";
    const auto asUser = [&](std::vector<std::string> args) {
        if (::geteuid() != 0)
            return run(std::move(args));
        args.insert(args.begin(), {"--bounding-set=-dac_override,-dac_read_search", VELKARO_CLI});
        return runProcess(setpriv, std::move(args), root);
    };
    const auto listed = asUser({"diff", id});
    EXPECT_EQ(listed.code, 2);
    EXPECT_TRUE(listed.out.starts_with("!  GEMINI.md\n")) << listed.out;
    EXPECT_EQ(listed.err, "読み込めません: GEMINI.md: アクセス権がありません\n");
    EXPECT_EQ(asUser({"diff", id, "--file", "GEMINI.md"}).code, 2);
    fs::permissions(src / "GEMINI.md", fs::perms::owner_read | fs::perms::owner_write);

    fs::remove(src / "settings.json");
    ASSERT_EQ(::mkfifo((src / "settings.json").c_str(), 0600), 0);
    const auto fifo = run({"diff", id, "--file", "settings.json"}); // would block if it were opened
    EXPECT_EQ(fifo.code, 1);
    EXPECT_TRUE(fifo.out.ends_with("@@ -1 +0,0 @@\n-{}\n\\ No newline at end of file\n")) << fifo.out;
}

// Binary files are never read whole, and a text file too large to show prints both sizes.
TEST_F(CliTest, BinaryAndVeryLargeFilesPrintTheirSizes)
{
    const std::string big(17'000'000, 'a');
    writeText(src / "big.md", big + "\n");
    writeText(src / "blob.md", std::string("\0", 1) + big);
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string id = onlyId();
    writeText(src / "big.md", big + "b\n");
    writeText(src / "blob.md", std::string("\0", 1) + big + "c");
    expectRun({"diff", id, "--file", "big.md"}, 1,
        "ファイルが大きすぎるため、テキストの違いは表示しません: " + id
            + "/big.md (17000001 バイト) と now/big.md (17000002 バイト)\n");
    expectRun({"diff", id, "--file", "blob.md"}, 1,
        "バイナリファイルが異なります: " + id + "/blob.md (17000001 バイト) と now/blob.md (17000002 バイト)\n");
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
// never replaced by an import.
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
    fs::remove(service.libraryFile());
    fs::create_directories(service.libraryFile()); // there, but every read fails
    expectFailure({"templates", "import"}, 1, "テンプレートを読み込めませんでした: ");
    EXPECT_TRUE(fs::is_directory(service.libraryFile()));
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

    if (!fs::exists("/usr/bin/fiu-run"))
        GTEST_SKIP() << "fiu-run (fiu-utils) is not installed";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "libfiu preloaded before the address sanitizer's runtime cannot run the tool";
#endif
    configureSources({src.string()});
    const auto broken
        = runProcess("/usr/bin/fiu-run", {"-x", "-c", "enable name=posix/io/dir/readdir", VELKARO_CLI, "backup"}, root);
    EXPECT_EQ(broken.code, 1);
    EXPECT_EQ(
        broken.err, "バックアップ完了 (0 件 • 0 バイト、1 件のフォルダを読み込めませんでした: " + src.string() + ")\n");
    EXPECT_EQ(BackupService().loadHistory(dest).size(), 2u);
}

// `log`: three edits of GEMINI.md among ten snapshots are its three versions, newest first, with the
// lines each changed; an unchanged copy that lost its hard link is still no version of its own, and a
// file that went and came back with other text is one again.
TEST_F(CliTest, LogListsTheDistinctVersionsOfOneFile)
{
    const std::vector<std::string> texts {
        "# v1\n", "# v1\n", "# v2\n", "# v2\n", "# v2\n", "# v2\nmore\n", "", "", "# v3\n", "# v3\n"};
    for (const std::string &text : texts) {
        if (text.empty())
            fs::remove(src / "GEMINI.md");
        else if (!fs::exists(src / "GEMINI.md") || readText(src / "GEMINI.md") != text)
            writeText(src / "GEMINI.md", text);
        ASSERT_EQ(run({"backup"}).code, 0);
    }
    const auto history = BackupService().loadHistory(dest);
    ASSERT_EQ(history.size(), 10u);
    // Oldest first from here; the fourth snapshot's copy is replaced by an equal one of its own inode.
    std::vector<BackupSnapshot> made(history.rbegin(), history.rend());
    const fs::path unlinked = dest / "snapshots" / made[3].id / "data/GEMINI.md";
    fs::remove(unlinked);
    writeText(unlinked, "# v2\n");

    const auto line = [&](int at, const std::string &size, const std::string &changes) {
        return made[at].id + "  " + made[at].formattedDate() + "  " + size + " バイト  手動" + changes + "\n";
    };
    expectRun({"log", "GEMINI.md"}, 0,
        line(8, "5", "  +1 \u22122") + line(5, "10", "  +1 \u22120") + line(2, "5", "  +1 \u22121") + line(0, "5", ""));
    const auto json = run({"log", "GEMINI.md", "--json"});
    EXPECT_EQ(json.code, 0);
    const auto versions = nlohmann::json::parse(json.out);
    ASSERT_EQ(versions.size(), 4u);
    EXPECT_EQ(versions[1],
        (nlohmann::json {
            {"id", made[5].id}, {"createdAt", toISO8601(made[5].createdAt)}, {"triggerType", "手動"}, {"size", 10}}));
    EXPECT_EQ(versions[3]["id"], made[0].id);
    expectRun({"log", "settings.json"}, 0, line(0, "2", ""));

    expectRun({"log", "nope.md"}, 1, "", "どのスナップショットにもありません: nope.md\n");
    expectRun({"log", "a\nb\x1b.md", "--json"}, 1, "", "どのスナップショットにもありません: \"a\\nb\\033.md\"\n");
    expectRun({"log", "../GEMINI.md"}, 1, "", "どのスナップショットにもありません: ../GEMINI.md\n");
    expectFailure({"log"}, 2, "ファイルのパス を1つ指定してください");
    expectFailure({"log", "GEMINI.md", "settings.json"}, 2, "ファイルのパス を1つ指定してください");
    expectFailure({"log", "GEMINI.md", "--all"}, 2, "不明なオプションです: --all");
}
