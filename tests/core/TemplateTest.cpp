#include "Models/PromptTemplate.h"
#include "Platform/FileSystem.h"
#include "Platform/QuotedName.h"
#include "Platform/Utf8.h"
#include "Services/BackupService.h"
#include "Services/StoreLock.h"
#include "Services/TemplateApply.h"
#include "Services/TemplateService.h"
#include "TestSupport.h"

#include <set>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

namespace {

const TimePoint kMarch4 {std::chrono::seconds(1741047300)}; // 2025-03-04T00:15:00Z

PromptTemplate sample(std::string body = "# 見出し\n本文", std::string target = "rules/GEMINI.md")
{
    return PromptTemplate {"0F8E2A5C-1B3D-4E6F-8A9B-0C1D2E3F4A5B", "自分用", "説明", std::move(body),
        TemplateKind::custom, std::move(target), false, kMarch4, kMarch4 + std::chrono::hours(1)};
}

} // namespace

TEST(PromptTemplateTest, JsonRoundTripKeepsFieldOrderAndLabelsAndDecodingIsStrict)
{
    const PromptTemplate tmpl = sample();
    const std::string text = Json::encodePretty(tmpl.toJson());
    EXPECT_NE(text.find("\"kind\": \"カスタム\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"targetFileName\": \"rules\\/GEMINI.md\""), std::string::npos);
    EXPECT_NE(text.find("\"updatedAt\": \"2025-03-04T01:15:00Z\""), std::string::npos);
    const std::array keys {"id", "title", "descriptionText", "promptContent", "kind", "targetFileName",
        "isPresetTemplate", "createdAt", "updatedAt"};
    for (std::size_t i = 1; i < keys.size(); ++i)
        EXPECT_LT(text.find(std::string("\"") + keys[i - 1] + "\""), text.find(std::string("\"") + keys[i] + "\""));
    EXPECT_EQ(PromptTemplate::decode(text), tmpl);
    EXPECT_EQ(std::hash<PromptTemplate> {}(*PromptTemplate::decode(text)), std::hash<PromptTemplate> {}(tmpl));

    // A hand-written lower-case id is read in the canonical form.
    auto lower = tmpl.toJson();
    lower["id"] = "0f8e2a5c-1b3d-4e6f-8a9b-0c1d2e3f4a5b";
    EXPECT_EQ(PromptTemplate::fromJson(lower), tmpl);

    // No member has a default, and one bad element fails the whole list.
    const Json::Value good = sample().toJson();
    for (const auto &[key, value] : good.items()) {
        Json::Value missing = good;
        missing.erase(key);
        EXPECT_FALSE(PromptTemplate::fromJson(missing)) << key;
    }
    auto variant = [&](const char *key, Json::Value value) {
        Json::Value json = good;
        json[key] = std::move(value);
        return PromptTemplate::fromJson(json);
    };
    EXPECT_FALSE(variant("kind", "custom"));
    EXPECT_EQ(variant("kind", "レビュー / 改善")->kind, TemplateKind::review);
    EXPECT_FALSE(variant("isPresetTemplate", "false"));
    EXPECT_FALSE(variant("id", "not-a-uuid"));
    EXPECT_FALSE(variant("createdAt", "1969-12-31T23:59:59Z"));
    EXPECT_FALSE(variant("updatedAt", "10000-01-01T00:00:00Z"));
    EXPECT_TRUE(variant("updatedAt", "9999-12-31T23:59:59Z"));

    const std::string list = encodeTemplateList({sample(), sample()});
    EXPECT_EQ(decodeTemplateList(list)->size(), 2u);
    auto broken = *Json::parse(list);
    broken[1].erase("targetFileName");
    EXPECT_FALSE(decodeTemplateList(broken.dump()));
    EXPECT_FALSE(decodeTemplateList(good.dump()));
    EXPECT_EQ(decodeTemplateList("[]"), std::vector<PromptTemplate> {});
}

TEST(PromptTemplateTest, PresetsHaveTheShippedContentAndFreshIds)
{
    const TimePoint made = TimePoint(std::chrono::seconds(1741046400));
    const auto first = presetTemplates(made);
    ASSERT_EQ(first.size(), 4u);
    const auto firstIds = ids(first), secondIds = ids(presetTemplates(made));
    std::set<std::string> allIds(firstIds.begin(), firstIds.end());
    allIds.insert(secondIds.begin(), secondIds.end());
    EXPECT_EQ(allIds.size(), 8u) << "fresh ids on every call";

    const auto persona = soranePresetTemplates(made);
    ASSERT_EQ(persona.size(), 3u);
    std::vector<PromptTemplate> all = first;
    all.insert(all.end(), persona.begin(), persona.end());
    std::vector<std::pair<TemplateKind, std::size_t>> shipped; // kind and length in bytes
    for (const auto &t : all) {
        EXPECT_EQ(t.targetFileName, "GEMINI.md");
        EXPECT_TRUE(t.isPresetTemplate);
        EXPECT_EQ(std::pair(t.createdAt, t.updatedAt), std::pair(made, made));
        EXPECT_FALSE(t.promptContent.ends_with('\n')) << t.title;
        EXPECT_TRUE(PromptTemplate::decode(Json::encodePretty(t.toJson()))) << "id " << t.id << " must be a UUID";
        shipped.emplace_back(t.kind, t.promptContent.size());
    }
    using enum TemplateKind;
    EXPECT_EQ(shipped,
        (std::vector<std::pair<TemplateKind, std::size_t>> {{general, 279}, {coding, 572}, {review, 313},
            {general, 333}, {character, 2021}, {coding, 1352}, {general, 261}}));
    EXPECT_EQ(first[2].descriptionText, "セキュリティ、エッジケース、パフォーマンスを厳格に査読するプロンプト");
    EXPECT_TRUE(first[1].promptContent.starts_with("# Coding Quality & Architectural Guidelines\n\nPlease adhere"));
    EXPECT_TRUE(first[3].promptContent.ends_with("\n- 必要に応じてテストケースの提示とエッジケースの指摘を行います。"));

    EXPECT_EQ(std::ranges::count(persona[0].promptContent, '\n'), 22) << "23 lines";
    EXPECT_NE(persona[0].promptContent.find("お兄"), std::string::npos);
    EXPECT_TRUE(persona[1].promptContent.ends_with("直ちにルールを再適用すること。"));
}

class TemplateServiceTest : public TempDirTest
{
protected:
    // The default path follows XDG_CONFIG_HOME, which is the test's own only from SetUp on.
    void SetUp() override
    {
        TempDirTest::SetUp();
        library = TemplateService::defaultLibraryFilePath();
        service = TemplateService {library};
    }

    TemplateService service;
    fs::path library;
};

TEST_F(TemplateServiceTest, FirstStartWritesPresetsAndAnEmptyLibraryStaysEmpty)
{
    EXPECT_EQ(library, home / ".config/VelkaroAntigraviti_Backup/templates.json");
    const auto loaded = service.loadTemplates();
    ASSERT_EQ(loaded.size(), 4u);
    EXPECT_EQ(loaded[3].title, "日本語開発アシスタント");
    EXPECT_EQ(ids(*decodeTemplateList(readText(library))), ids(loaded));
    EXPECT_EQ(ids(service.loadTemplates()), ids(loaded)) << "presets are written once, not rebuilt";

    writeText(library, "[]");
    EXPECT_TRUE(service.loadTemplates().empty());
    EXPECT_EQ(readText(library), "[]");
}

TEST_F(TemplateServiceTest, DamagedLibraryIsLeftAloneThenKeptAsideOnSave)
{
    auto mine = sample();
    ASSERT_TRUE(service.saveTemplates({mine}));
    auto text = *Json::parse(readText(library));
    text[0]["kind"] = "custom";
    const std::string damaged = text.dump();
    writeText(library, damaged);

    const auto loaded = service.loadTemplates();
    ASSERT_EQ(loaded.size(), 4u);
    EXPECT_TRUE(loaded[0].isPresetTemplate);
    EXPECT_EQ(readText(library), damaged);
    EXPECT_NE(ids(service.loadTemplates()), ids(loaded)) << "nothing was written in between";

    ASSERT_TRUE(service.saveTemplates(loaded));
    EXPECT_EQ(readText(library.string() + ".damaged"), damaged);
    EXPECT_EQ(ids(service.loadTemplates()), ids(loaded));
}

TEST_F(TemplateServiceTest, ApplyWritesTheBodyByteForByteInsideTheFolder)
{
    const fs::path folder = root / "src";
    const auto persona = soranePresetTemplates({});
    ASSERT_TRUE(service.applyTemplate(sample(persona[1].promptContent), folder));
    EXPECT_EQ(readText(folder / "rules/GEMINI.md"), persona[1].promptContent);
    ASSERT_TRUE(service.applyTemplate(sample("短い"), folder));
    EXPECT_EQ(readText(folder / "rules/GEMINI.md"), "短い");
    EXPECT_EQ(*FileSystem::listDirectory(folder / "rules"), std::vector {folder / "rules/GEMINI.md"});
    ASSERT_TRUE(service.applyTemplate(sample("x", "a/./..b.md"), folder));
    EXPECT_EQ(readText(folder / "a/..b.md"), "x");

    const std::vector<std::string> badNames {
        "", "/tmp/evil.md", "..", "../evil.md", "sub/../../evil.md", "sub/", ".", std::string("..\0/GEMINI.md", 13)};
    for (const auto &bad : badNames) {
        const auto result = service.applyTemplate(sample("x", bad), folder / "inner");
        ASSERT_FALSE(result) << bad;
        EXPECT_EQ(result.error().domain, TemplateService::kErrorDomain);
        EXPECT_EQ(result.error().description, "このファイル名は許可されていません: " + quotedName(bad));
    }
    EXPECT_FALSE(fs::exists(folder / "inner"));
    EXPECT_FALSE(fs::exists(root / "evil.md"));
    EXPECT_FALSE(service.applyTemplate(sample(), ""));

    // A file where the folder should be: the error names it.
    writeText(root / "plain", "");
    const auto onFile = service.applyTemplate(sample("x", "GEMINI.md"), root / "plain");
    ASSERT_FALSE(onFile);
    EXPECT_NE(onFile.error().description.find((root / "plain").string()), std::string::npos);
}

TEST_F(TemplateServiceTest, ReadCurrentPromptAndImport)
{
    const fs::path folder = root / "src";
    EXPECT_EQ(service.readCurrentPrompt(folder), std::nullopt);
    writeText(folder / "GEMINI.md", "# 指示\n");
    EXPECT_EQ(service.readCurrentPrompt(folder), "# 指示\n");
    writeText(folder / "GEMINI.md", "ok\xE3\x81");
    EXPECT_EQ(service.readCurrentPrompt(folder), std::nullopt);
    fs::create_directories(root / "dir/GEMINI.md");
    EXPECT_EQ(service.readCurrentPrompt(root / "dir"), std::nullopt);

    const TimePoint pinned = TimePoint(std::chrono::seconds(1741046400));
    const TemplateService dated {library, [&] { return pinned; }};
    const auto a = dated.makeImportedTemplate("", "/Users/u/.gemini");
    const auto b = dated.makeImportedTemplate("", "/Users/u/.gemini");
    EXPECT_EQ(std::pair(a.createdAt, a.updatedAt), std::pair(pinned, pinned));
    EXPECT_EQ(dated.makeNewTemplate().createdAt, pinned);
    EXPECT_EQ(a.descriptionText, "/Users/u/.gemini/GEMINI.md から取り込んだ設定");
    EXPECT_EQ(
        std::tuple(a.kind, a.targetFileName, a.isPresetTemplate), std::tuple(TemplateKind::custom, "GEMINI.md", false));
    EXPECT_NE(a.id, b.id);

    // The edges of each range: U+0080, U+0800, U+D7FF, U+E000, U+10000, U+10FFFF.
    for (const char *good : {"日本語 abc \xF0\x9F\x98\x80", "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
             "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"})
        EXPECT_TRUE(Utf8::isValid(good)) << good;
    for (const char *bad :
        {"\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
            "\xF5\x80\x80\x80", "\xE3\x81", "\xF0\x9F\x98", "\xE3\x81\x61" /* cut before an "a" */, "\x80", "\xFF"})
        EXPECT_FALSE(Utf8::isValid(bad)) << bad;
}

using TemplateApplyTest = StoreTest;

// Over other text the store stays locked from the safety snapshot until the file is written, so no other
// run gets in between (its retention could take the copy, or it could copy a half-written file); once the
// apply returns, the lock is free again.
TEST_F(TemplateApplyTest, StoreStaysLockedFromTheSafetySnapshotUntilTheFileIsWritten)
{
    writeText(src / "GEMINI.md", "前の指示");
    const TemplateService templates {root / "library.json"};
    int writes = 0;
    const TemplateWriter watched = [&](const PromptTemplate &tmpl, const fs::path &folder) {
        ++writes;
        const auto other = StoreLock::acquire(dest, 0ms);
        EXPECT_TRUE(!other && StoreLock::isBusy(other.error())) << "another run could take the store before the write";
        return templates.applyTemplate(tmpl, folder);
    };
    const auto applied = applyTemplateSafely(sample("新しい指示", "GEMINI.md"), config, watched, BackupService());
    ASSERT_TRUE(applied) << applied.error().description;
    EXPECT_TRUE(applied->has_value()) << "a safety snapshot came first";
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(readText(src / "GEMINI.md"), "新しい指示");
    EXPECT_TRUE(StoreLock::acquire(dest, 0ms)) << "the lock is let go once the file is written";
}
