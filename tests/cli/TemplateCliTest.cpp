#include "Models/BackupConfig.h"
#include "Models/PromptTemplate.h"
#include "Services/TemplateService.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

using namespace velkaro;
using namespace velkaro::test;

namespace {

struct CliRun
{
    int code = -1;
    std::string out;
    std::string err;
};

// Runs the built tool with this process's environment, whose HOME and XDG_CONFIG_HOME are the test's.
class TemplateCliTest : public TempDirTest
{
protected:
    CliRun cli(std::vector<std::string> args)
    {
        static char program[] = VELKARO_CLI_PATH;
        std::vector<char *> argv {program};
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const fs::path out = root / "stdout", err = root / "stderr";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        CliRun run;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        run.out = readText(out);
        run.err = readText(err);
        return run;
    }

    void SetUp() override
    {
        TempDirTest::SetUp();
        service = TemplateService {}; // now on the test's own XDG_CONFIG_HOME
    }

    void configureSources(std::vector<std::string> sources)
    {
        BackupConfig config;
        config.sourceDirectories = std::move(sources);
        ASSERT_TRUE(config.writeFile());
    }

    TemplateService service;
};

} // namespace

TEST_F(TemplateCliTest, ListShowsTheLibraryAndWritesPresetsOnFirstStart)
{
    const CliRun plain = cli({"templates", "list"});
    ASSERT_EQ(plain.code, 0) << plain.err;
    const auto library = decodeTemplateList(readText(TemplateService::defaultLibraryFilePath()));
    ASSERT_TRUE(library);
    ASSERT_EQ(library->size(), 4u);
    EXPECT_TRUE(plain.out.starts_with((*library)[0].id + "  [汎用プロンプト] 標準AIアシスタント (プリセット)\n"))
        << plain.out;
    EXPECT_EQ(std::ranges::count(plain.out, '\n'), 4);

    const CliRun json = cli({"templates", "list", "--json"});
    EXPECT_EQ(json.code, 0);
    EXPECT_EQ(decodeTemplateList(json.out), library);

    ASSERT_TRUE(service.saveTemplates({}));
    EXPECT_EQ(cli({"templates", "list"}).out, "テンプレートはありません。\n");
}

TEST_F(TemplateCliTest, ApplyWritesIntoTheFirstSourceFolder)
{
    // Without config.json the default source folder is used.
    const auto presets = service.loadTemplates();
    CliRun run = cli({"templates", "apply", presets[2].id});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "「シニアコードレビュアー」を GEMINI.md に適用したよ！\n");
    EXPECT_EQ(readText(home / ".gemini/GEMINI.md"), presets[2].promptContent);

    auto mine = TemplateService::makeImportedTemplate("本文", "/x");
    mine.title = "自分用";
    mine.targetFileName = "rules/GEMINI.md";
    ASSERT_TRUE(service.saveTemplates({mine}));
    configureSources({(root / "first").string(), (root / "second").string()});
    std::string lowerId = mine.id;
    std::ranges::transform(lowerId, lowerId.begin(), [](unsigned char c) { return std::tolower(c); });
    run = cli({"templates", "apply", lowerId});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "「自分用」を rules/GEMINI.md に適用したよ！\n");
    EXPECT_EQ(readText(root / "first/rules/GEMINI.md"), "本文");
    EXPECT_FALSE(fs::exists(root / "second"));

    writeText(root / "file", "");
    configureSources({(root / "file").string()});
    run = cli({"templates", "apply", mine.id});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.err.starts_with("適用失敗: ")) << run.err;
    EXPECT_TRUE(run.out.empty());

    EXPECT_EQ(cli({"templates", "apply", "no-such-id"}).code, 1);
    configureSources({});
    run = cli({"templates", "apply", mine.id});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "ソースフォルダが設定されていません。\n");
}

TEST_F(TemplateCliTest, ImportAppendsTheCurrentInstructionFile)
{
    const fs::path source = root / "src";
    configureSources({source.string()});
    CliRun run = cli({"templates", "import"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "GEMINI.md が見つかりませんでした。\n");

    writeText(source / "GEMINI.md", "");
    run = cli({"templates", "import"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "現在の GEMINI.md をテンプレートとして取り込みました！\n");
    const auto library = service.loadTemplates();
    ASSERT_EQ(library.size(), 5u);
    EXPECT_TRUE(library[0].isPresetTemplate);
    EXPECT_EQ(library[4].title, "取込: 現在のGEMINI.md");
    EXPECT_EQ(library[4].descriptionText, source.string() + "/GEMINI.md から取り込んだ設定");
    EXPECT_EQ(library[4].promptContent, "");
}

TEST_F(TemplateCliTest, UsageErrorsExitWithTwo)
{
    for (const std::vector<std::string> &args :
        std::vector<std::vector<std::string>> {{"templates"}, {"templates", "bogus"}, {"templates", "apply"},
            {"templates", "list", "--xml"}, {"templates", "import", "extra"}}) {
        const CliRun run = cli(args);
        EXPECT_EQ(run.code, 2) << args.back();
        EXPECT_TRUE(run.out.empty());
        EXPECT_NE(run.err.find("使い方"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(TemplateService::defaultLibraryFilePath()));
    EXPECT_NE(cli({"--help"}).out.find("templates"), std::string::npos);
    EXPECT_EQ(cli({"templates", "--help"}).code, 0);
}
