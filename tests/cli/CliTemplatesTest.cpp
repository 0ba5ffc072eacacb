// The template library through the tool: list, import and apply.
#include "CliFixture.h"

using namespace velkaro;
using namespace velkaro::test;

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

// A library that cannot be read fails list and apply with the reason: the presets alone would leave the
// user's own templates out, and "not found" would send the user looking for the wrong fault.
TEST_F(CliTest, TemplatesThatCannotBeReadAreAFailure)
{
    ASSERT_EQ(run({"templates", "list"}).code, 0); // the presets are written
    const auto library = service.loadTemplates();
    ASSERT_FALSE(library.empty());
    if (const char *why = faultInjectionUnavailable())
        GTEST_SKIP() << why;
    const std::string problem = "テンプレートを読み込めませんでした: 入出力エラーが発生しました: "
        + TemplateService::defaultLibraryFilePath().string() + "\n";
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>> {
             {"templates", "list"}, {"templates", "list", "--json"}, {"templates", "apply", library[0].id}}) {
        const ProcessResult r = runFailing("posix/io/rw/read", args);
        EXPECT_EQ(r.code, 1) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
        EXPECT_EQ(r.err, problem) << args.back();
    }
    EXPECT_EQ(readText(src / "GEMINI.md"), "# hi\n");
    EXPECT_EQ(service.loadTemplates(), library);
}

TEST_F(CliTest, TemplatesApplyWritesIntoTheFirstSourceFolder)
{
    // Without config.json the default source folder is used.
    const auto presets = service.loadTemplates();
    expectRun({"templates", "apply", presets[2].id}, 0, "「シニアコードレビュアー」を GEMINI.md に適用したよ！\n");
    EXPECT_EQ(readText(home / ".gemini/GEMINI.md"), presets[2].promptContent);

    auto mine = service.makeImportedTemplate("本文", "/x");
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
    auto mine = service.makeImportedTemplate("新しい本文", "/x");
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

    // A source folder whose listing breaks off (libfiu) is said as such, not as a file the settings leave out.
    if (const char *why = faultInjectionUnavailable())
        GTEST_SKIP() << why;
    writeText(src / "GEMINI.md", "# hi\n");
    const ProcessResult broken = runFailing("posix/io/dir/readdir", {"templates", "apply", mine.id});
    EXPECT_EQ(broken.code, 1);
    EXPECT_EQ(broken.err,
        "適用失敗: 上書き前のセーフティバックアップを作成できなかったため、適用を中止しました: "
        "1 件のフォルダを読み込めませんでした: "
            + src.string() + "\n");
    EXPECT_EQ(readText(src / "GEMINI.md"), "# hi\n");
}
