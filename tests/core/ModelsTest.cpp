#include "Models/AppEnums.h"
#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "TestSupport.h"

#include <initializer_list>
#include <string_view>
#include <vector>

using namespace velkaro;
using namespace velkaro::test;

namespace {

// The cases in the order pickers list them, each with its label; the label is also the id and the
// only text that reads back as that case.
template<class E> void expectLabels(std::initializer_list<std::pair<E, std::string_view>> expected)
{
    std::vector<E> order;
    for (const auto &[value, label] : expected) {
        order.push_back(value);
        EXPECT_EQ(rawValue(value), label);
        EXPECT_EQ(fromRawValue<E>(label), value) << label;
    }
    const auto cases = allCases<E>();
    EXPECT_EQ(std::vector<E>(cases.begin(), cases.end()), order);
}

} // namespace

TEST(EnumerationsTest, LabelsPickerOrderIntervalsAndIcons)
{
    // Half-width parentheses and the space are part of the label.
    for (const char *bad : {"hourly", "1時間ごと ", "2時間ごと", "", "無効（手動のみ）"})
        EXPECT_EQ(fromRawValue<BackupInterval>(bad), std::nullopt) << bad;

    using I = BackupInterval;
    expectLabels<I>({{I::disabled, "無効 (手動のみ)"}, {I::everyThirtyMinutes, "30分ごと"}, {I::hourly, "1時間ごと"},
        {I::everyThreeHours, "3時間ごと"}, {I::everySixHours, "6時間ごと"}, {I::everyTwelveHours, "12時間ごと"},
        {I::daily, "24時間ごと"}});
    using T = BackupTriggerType;
    expectLabels<T>({{T::manual, "手動"}, {T::scheduled, "定期自動"}, {T::preRestoreSafety, "復元前自動退避"}});
    using R = RestoreScopeOption;
    expectLabels<R>({{R::allFiles, "すべての設定とプロンプト"}, {R::markdownOnly, "Markdown (.md) プロンプトのみ"},
        {R::configOnly, "設定ファイル (.json / .pbtxt 等) のみ"}});
    expectLabels<AutoLaunchState>({{AutoLaunchState::enabled, "有効"}, {AutoLaunchState::disabled, "無効"}});
    using W = StartupWindowMode;
    expectLabels<W>(
        {{W::showWindow, "メイン画面を表示する"}, {W::minimizeToMenuBar, "メニューバーのみに常駐 (非表示)"}});
    using N = NotificationSettingMode;
    expectLabels<N>(
        {{N::all, "すべて通知 (成功・失敗)"}, {N::errorsOnly, "エラー時のみ通知"}, {N::none, "通知しない"}});
    using K = TemplateKind;
    expectLabels<K>({{K::general, "汎用プロンプト"}, {K::character, "キャラクター / 人格"},
        {K::coding, "コーディング特化"}, {K::review, "レビュー / 改善"}, {K::custom, "カスタム"}});
    using A = AppEdition;
    expectLabels<A>(
        {{A::sorane, "ソラネエディション (お兄専用)"}, {A::standardPublic, "一般配布用エディション (Public)"}});
    using V = NavigationTab;
    expectLabels<V>({{V::dashboard, "ダッシュボード"}, {V::history, "バックアップ履歴"},
        {V::templates, "プロンプト管理"}, {V::settings, "環境設定"}});

    // Half an hour, an hour and six hours are run by the scheduler and AppState tests.
    EXPECT_EQ(timeIntervalInSeconds(BackupInterval::disabled), std::nullopt);
    EXPECT_EQ(timeIntervalInSeconds(BackupInterval::everyThreeHours), 10800.0);
    EXPECT_EQ(timeIntervalInSeconds(BackupInterval::everyTwelveHours), 43200.0);
    EXPECT_EQ(timeIntervalInSeconds(BackupInterval::daily), 86400.0);
    EXPECT_EQ(iconName(NavigationTab::history), "clock.arrow.circlepath");
}

TEST(BackupExecutionStateTest, DefaultTitlesAndRunning)
{
    using S = BackupExecutionState;
    const TimePoint t {std::chrono::seconds(1000)};
    EXPECT_EQ(S {}, S::idle());

    const std::vector<std::tuple<S, std::string, bool>> cases {{S::idle(), "待機中", false},
        {S::preparing(), "バックアップ準備中...", true}, {S::copying(0, "GEMINI.md"), "コピー中: GEMINI.md", true},
        {S::finalizing(), "スナップショット作成中...", true}, {S::success(t, "x"), "バックアップ完了", false},
        {S::failed("だめ"), "エラー: だめ", false}};
    for (const auto &[state, title, running] : cases) {
        EXPECT_EQ(state.displayTitle(), title);
        EXPECT_EQ(state.isRunning(), running) << title;
    }
}

using BackupConfigTest = TempDirTest;

TEST_F(BackupConfigTest, DefaultsAndFileRoundTripWithLabelsAndFieldOrder)
{
    EXPECT_EQ(BackupConfig {},
        (BackupConfig {{(home / ".gemini").string()}, (home / "Documents/VelkaroAntigraviti_Backups").string(),
            {"md", "json", "pbtxt", "yaml", "yml", "txt", "proto", "pb", "toml"}, BackupInterval::hourly,
            AutoLaunchState::disabled, StartupWindowMode::showWindow, NotificationSettingMode::all, 30, true}));

    const auto path = BackupConfig::defaultConfigFilePath();
    EXPECT_EQ(path, home / ".config/VelkaroAntigraviti_Backup/config.json");
    const BackupConfig custom {.sourceDirectories = {"/a/b", "/c"},
        .targetExtensions = {},
        .backupInterval = BackupInterval::daily,
        .autoLaunchState = AutoLaunchState::enabled,
        .startupWindowMode = StartupWindowMode::minimizeToMenuBar,
        .notificationMode = NotificationSettingMode::none,
        .maxSnapshotsLimit = -4,
        .shouldIncludeSubdirectories = false};
    ASSERT_TRUE(custom.writeFile()); // creates the folder
    EXPECT_EQ(BackupConfig::readFile(), custom);

    const std::string text = readText(path);
    EXPECT_NE(text.find("\"backupInterval\": \"24時間ごと\""), std::string::npos) << text;
    EXPECT_NE(text.find("\\/a\\/b"), std::string::npos) << "slashes are written escaped";
    EXPECT_LT(text.find("sourceDirectories"), text.find("destinationDirectory"));
    EXPECT_LT(text.find("maxSnapshotsLimit"), text.find("shouldIncludeSubdirectories"));
}

TEST_F(BackupConfigTest, RejectsIncompleteOrMistypedDocumentsAndKeepsADamagedFileOnce)
{
    const std::string good = Json::encodePretty(BackupConfig {}.toJson());
    ASSERT_TRUE(BackupConfig::decode(good));

    auto variant = [&](auto edit) {
        auto json = *Json::parse(good);
        edit(json);
        return BackupConfig::decode(json.dump());
    };
    for (const char *key :
        {"sourceDirectories", "destinationDirectory", "targetExtensions", "backupInterval", "autoLaunchState",
            "startupWindowMode", "notificationMode", "maxSnapshotsLimit", "shouldIncludeSubdirectories"})
        EXPECT_FALSE(variant([&](auto &j) { j.erase(key); })) << "no default for " << key;
    const std::vector<std::pair<const char *, Json::Value>> wrong {{"backupInterval", "hourly"},
        {"maxSnapshotsLimit", "30"}, {"maxSnapshotsLimit", 30.5}, {"shouldIncludeSubdirectories", 1},
        {"targetExtensions", Json::Value::array({"md", 3})}, {"autoLaunchState", "有効 "},
        {"destinationDirectory", std::string("/tmp/a\0/b", 9)},
        {"sourceDirectories", Json::Value::array({"/ok", std::string("/x\0", 3)})}};
    for (const auto &[key, value] : wrong)
        EXPECT_FALSE(variant([&](auto &j) { j[key] = value; })) << key << " = " << value.dump();
    EXPECT_FALSE(BackupConfig::decode("[]"));
    EXPECT_FALSE(BackupConfig::decode("{\"sourceDirectories\": [}"));

    // Unknown members are ignored on reading and gone after the next save.
    auto extra = variant([](auto &j) { j["somethingNew"] = {1, 2}; });
    ASSERT_TRUE(extra);
    EXPECT_EQ(*extra, BackupConfig {});
    EXPECT_EQ(extra->toJson().dump().find("somethingNew"), std::string::npos);

    // A damaged file is kept aside before it is replaced, and only once.
    const auto path = BackupConfig::defaultConfigFilePath();
    const std::string torn = "{ \"sourceDirectories\": [\"/mine\"";
    writeText(path, torn);
    EXPECT_FALSE(BackupConfig::readFile());
    ASSERT_TRUE(BackupConfig {}.writeFile());
    ASSERT_TRUE(BackupConfig {}.writeFile()); // the healthy file is simply replaced
    EXPECT_EQ(readText(path.string() + ".damaged"), torn);
    EXPECT_EQ(BackupConfig::readFile(), BackupConfig {});
}

namespace {

BackupSnapshot sampleSnapshot()
{
    return BackupSnapshot {"2025-03-04/snapshot_091500", TimePoint {std::chrono::seconds(1741047300)}, // 00:15Z
        BackupTriggerType::scheduled, 2, 1234, {"GEMINI.md", "sub/設定.json"}, std::nullopt};
}

} // namespace

TEST(BackupSnapshotTest, JsonFormRoundTrips)
{
    const BackupSnapshot snapshot = sampleSnapshot();
    const std::string text = snapshot.encode();
    EXPECT_EQ(text.find("note"), std::string::npos);
    EXPECT_NE(text.find("\"2025-03-04\\/snapshot_091500\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"createdAt\": \"2025-03-04T00:15:00Z\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"定期自動\""), std::string::npos);
    EXPECT_NE(text.find("sub\\/設定.json"), std::string::npos) << "UTF-8 stays unescaped";
    const std::array keys {
        "\"id\"", "\"createdAt\"", "\"triggerType\"", "\"filesCount\"", "\"totalSizeBytes\"", "\"relativeFilePaths\""};
    for (std::size_t i = 1; i < keys.size(); ++i)
        EXPECT_LT(text.find(keys[i - 1]), text.find(keys[i]));

    EXPECT_EQ(BackupSnapshot::decode(text), snapshot);

    BackupSnapshot noted = snapshot;
    noted.note = "メモ";
    EXPECT_EQ(BackupSnapshot::decode(noted.encode()), noted);
    // Other writers' forms and the reading rules: JsonStreamTest.
}

TEST(BackupSnapshotTest, DerivedPropertiesAndHash)
{
    ScopedTimeZone tz("JST-9");
    BackupSnapshot s = sampleSnapshot();
    s.relativeFilePaths = {"a.md", "b/c.md", "d.json", "E.MD"};
    EXPECT_EQ(s.markdownFilesCount(), 2);
    EXPECT_EQ(s.formattedDate(), "2025/03/04 09:15:00");

    // Equality is member-wise by default; the hash has to agree with it.
    BackupSnapshot t = s;
    EXPECT_EQ(hashValue(s), hashValue(t));
    t.note = "";
    EXPECT_NE(hashValue(s), hashValue(t)) << "an empty note differs from no note";
}
