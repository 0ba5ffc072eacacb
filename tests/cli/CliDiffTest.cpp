// What the tool prints about files: diff and log, names with control characters, unreadable, binary and
// very large files, and output that cannot be written.
#include "CliFixture.h"

#include <csignal>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velkaro;
using namespace velkaro::test;

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
    // patch -p1 creates it, and below deletes it.
    const fs::path work = root / "apply";
    EXPECT_EQ(patch(added.out, work), 0);
    ASSERT_TRUE(fs::is_regular_file(work / "empty.md"));
    EXPECT_EQ(fs::file_size(work / "empty.md"), 0u);
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string last = onlyId();
    ASSERT_NE(last, later);
    fs::remove(src / "empty.md");
    const auto removed = expectRun({"diff", last, "--file", "empty.md"}, 1,
        "diff --git " + last + "/empty.md now/empty.md\ndeleted file mode 100644\nindex e69de29..0000000\n");
    EXPECT_EQ(patch(removed.out, work), 0);
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

    // Names inside the reasons of failures and in other messages are quoted too.
    const std::string odd = "esc\x1b[31m\nx.md";
    writeText(src / odd, "e");
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string withOdd = onlyId();
    fs::remove(src / odd);
    fs::create_directories(src / odd / "in");
    const auto restored = run({"restore", withOdd, "--file", odd});
    EXPECT_EQ(restored.code, 1);
    EXPECT_EQ(restored.err.find('\x1b'), std::string::npos) << restored.err;
    EXPECT_EQ(std::ranges::count(restored.err, '\n'), 3) << restored.err;
    auto mine = service.makeImportedTemplate("本文", "/x");
    mine.title = "t\x1b[2J";
    mine.targetFileName = "x\ny.md";
    ASSERT_TRUE(service.saveTemplates({mine}));
    expectRun({"templates", "apply", mine.id}, 0, "「\"t\\033[2J\"」を \"x\\ny.md\" に適用したよ！\n");
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

// Sources whose listing breaks off (an I/O error injected with libfiu) are trouble: the files the listing
// did not reach are not removed ones. A source that is gone still shows its files as removed.
TEST_F(CliTest, SourcesThatCannotBeListedAreTroubleNotRemovals)
{
    ASSERT_EQ(run({"backup"}).code, 0);
    const std::string id = onlyId();
    if (const char *why = faultInjectionUnavailable())
        GTEST_SKIP() << why;
    const std::string problem = "※ 読み込めないフォルダが 1 件あります: " + src.string() + "\n";
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>> {
             {"diff", id}, {"diff", id, "--json"}, {"diff", id, "--file", "GEMINI.md"}}) {
        const ProcessResult r = runFailing("posix/io/dir/readdir", args);
        EXPECT_EQ(r.code, 2) << args.back();
        EXPECT_TRUE(r.err.ends_with(problem)) << args.back() << ": " << r.err;
    }
    // Between two snapshots nothing of the sources is listed.
    ASSERT_EQ(run({"backup"}).code, 0);
    const auto history = BackupService().loadHistory(dest);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(runFailing("posix/io/dir/readdir", {"diff", id, "--against", history.front().id}).code, 0);

    fs::remove_all(src);
    const ProcessResult gone = run({"diff", id});
    EXPECT_EQ(gone.code, 1);
    EXPECT_EQ(gone.err, "");
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
