// The streamed history reader and writer: which documents they take, what they make of them, and
// that reading in chunks, reading whole and nlohmann's own document tree all agree.
#include "../fuzz/SnapshotTree.h"
#include "Models/BackupSnapshot.h"
#include "Services/BackupService.h"
#include "TestSupport.h"

#include <algorithm>
#include <random>

namespace velkaro::test {
namespace {

using Snapshots = std::vector<BackupSnapshot>;

// The summary read (no path lists kept, fed 7 bytes at a time) takes exactly what the full read takes,
// with the same members, and places each entry where its own text decodes to that entry.
void expectSummariesAgree(std::string_view text, const std::optional<Snapshots> &whole)
{
    std::size_t at = 0;
    const auto summaries = decodeSnapshotSummaries([&](char *buffer, std::size_t size) {
        const std::size_t n = std::min({size, std::size_t(7), text.size() - at});
        std::copy_n(text.data() + at, n, buffer);
        at += n;
        return static_cast<std::ptrdiff_t>(n);
    });
    ASSERT_EQ(summaries.has_value(), whole.has_value());
    if (!whole)
        return;
    ASSERT_EQ(summaries->size(), whole->size());
    for (std::size_t i = 0; i < whole->size(); ++i) {
        BackupSnapshot expected = (*whole)[i];
        EXPECT_EQ(BackupSnapshot::decode(text.substr((*summaries)[i].offset, (*summaries)[i].length)), expected);
        expected.relativeFilePaths = {};
        EXPECT_EQ((*summaries)[i].summary, expected);
    }
}

// Read whole and in chunks of 1 and 7 bytes, with one outcome; taken as JSON or not just as nlohmann's
// parser takes it; and when taken, with the values of nlohmann's document tree.
std::optional<Snapshots> decodeEveryWay(std::string_view text)
{
    EXPECT_TRUE(fuzz::syntaxAgrees(text));
    const auto whole = decodeSnapshotList(text);
    EXPECT_EQ(fuzz::chunkedDecode(text, 1), whole);
    EXPECT_EQ(fuzz::chunkedDecode(text, 7), whole);
    if (whole) {
        const auto tree = Json::parse(text);
        EXPECT_TRUE(tree && fuzz::agreesWithTree(*whole, *tree));
    }
    expectSummariesAgree(text, whole);
    return whole;
}

std::string element(std::string_view members)
{
    return R"({"id":"2026-01-02\/snapshot_030405","createdAt":"2026-01-02T03:04:05Z","triggerType":"手動",)"
           R"("filesCount":1,"totalSizeBytes":10,"relativeFilePaths":["a.md"])"
        + std::string(members) + "}";
}

// One element with `members` appended (a later member of the same name counts in place of the first).
std::string list(std::string_view members)
{
    return "[" + element(members) + "]";
}

TEST(JsonStreamTest, TrickyDocumentsAreTakenOrRefused)
{
    const std::string e = element("");
    const std::string bom = "\xEF\xBB\xBF";
    const std::vector<std::pair<std::string, bool>> documents = {
        // The shape: an array of snapshot objects, one value, white space and a leading byte order mark.
        {"[]", true}, {" [ ] ", true}, {"", false}, {"[", false}, {"]", false}, {"{}", false}, {"[{}]", false},
        {"[1]", false}, {"[[]]", false}, {"[] x", false}, {"null", false}, {e, false}, {"[" + e + "]", true},
        {bom + "[" + e + "]", true}, {"\xEF\xBB[]", false}, {bom, false}, {"[" + bom + "]", false},
        {"[" + e + "," + e + "]", true}, {"[" + e + ",]", false}, {"[," + e + "]", false}, {list(","), false},
        // One bad element fails the whole list; no member has a default.
        {"[" + e + "," + element(R"(,"triggerType":"不明")") + "]", false}, {list(R"(,"filesCount":"2")"), false},
        {R"([{"id":"a","createdAt":"2026-01-02T03:04:05Z","triggerType":"手動","filesCount":1,"totalSizeBytes":1}])",
            false},
        // A NUL byte ends the text where a token may start, and nowhere else.
        {std::string("[]\0", 3), true}, {std::string("[]\0junk", 7), true}, {std::string("[\0]", 3), false},
        {"[" + e + std::string("\0]", 2), false},
        // Repeated members: the last one counts, a wrong one too (a right one: the next test).
        {list(R"(,"id":"a","id":5)"), false},
        // note: string or null; any other type fails the element.
        {list(R"(,"note":null)"), true}, {list(R"(,"note":5)"), false}, {list(R"(,"note":5,"note":null)"), true},
        {list(R"(,"note":["a"])"), false},
        // Unknown members of any shape are read past, strictly.
        {list(R"(,"x":[[{"a":[1,{"b":null,"c":[true,false]}]}],{}],"y":{})"), true}, {list(R"(,"x":[1,2,])"), false},
        {list(R"(,"x":{"a" 1})"), false}, {list(R"(,"x":[}])"), false}, {list(R"(,"x":tru)"), false},
        {list(R"(,"x":nul)"), false}, {list(R"(,"x":{"id":5,"note":1})"), true},
        // Numbers: the 64-bit integer range for counts, finite doubles elsewhere, JSON's grammar.
        {list(R"(,"filesCount":2.5)"), false}, {list(R"(,"filesCount":1.0)"), false},
        {list(R"(,"filesCount":1e2)"), false}, {list(R"(,"totalSizeBytes":9223372036854775807)"), true},
        {list(R"(,"totalSizeBytes":9223372036854775808)"), false},
        {list(R"(,"totalSizeBytes":-9223372036854775809)"), false},
        {list(R"(,"totalSizeBytes":18446744073709551616)"), false}, {list(R"(,"x":1e400)"), false},
        {list(R"(,"x":-1e400)"), false}, {list(R"(,"x":1e-400)"), true}, {list(R"(,"x":1E+2)"), true},
        {list(R"(,"x":01)"), false}, {list(R"(,"x":1.)"), false}, {list(R"(,"x":.5)"), false},
        {list(R"(,"x":-)"), false}, {list(R"(,"x":+1)"), false}, {list(R"(,"x":2e)"), false},
        // Strings: escapes, surrogates, control characters and UTF-8.
        {list(R"(,"id":"\ud83d")"), false}, {list(R"(,"id":"\ude00")"), false}, {list(R"(,"id":"\ud83dx")"), false},
        {list(R"(,"id":"\ud83d\u0041")"), false}, {list(R"(,"id":"\x")"), false}, {list(R"(,"id":"\u12G4")"), false},
        {list(",\"id\":\"a\tb\""), false}, {list(",\"id\":\"a\x7f b\""), true}, {list(",\"id\":\"\xC0\x80\""), false},
        {list(",\"id\":\"\xED\xA0\x80\""), false}, {list(",\"id\":\"\xF4\x90\x80\x80\""), false},
        {list(",\"id\":\"\xE3\x81\""), false}, {list(",\"id\":\"\xE0\x9F\xBF\""), false}, {list(",\"\xFF\":1"), false},
        {list(",\"x\":\"\xFF\""), false},
        // Path lists hold strings only; trigger labels are the program's own.
        {list(R"(,"relativeFilePaths":["a",1])"), false}, {list(R"(,"relativeFilePaths":["a",["b"]])"), false},
        {list(R"(,"relativeFilePaths":"a")"), false}, {list(R"(,"relativeFilePaths":["a",])"), false},
        {list(R"(,"triggerType":"manual")"), false},
        // A date the program cannot hold makes the document unreadable, as any damage does.
        {list(R"(,"createdAt":"2026-13-01T00:00:00Z")"), false},
        {list(R"(,"createdAt":"1969-12-31T23:59:59Z")"), false},
        {list(R"(,"createdAt":"10000-01-01T00:00:00Z")"), false},
        {list(R"(,"createdAt":"2026-01-02T03:04:05.5Z")"), false}};
    for (const auto &[text, taken] : documents) {
        SCOPED_TRACE(::testing::PrintToString(text));
        EXPECT_EQ(decodeEveryWay(text).has_value(), taken);
    }
}

TEST(JsonStreamTest, TakenDocumentsYieldTheirValues)
{
    const auto one = [](std::string_view members) {
        const auto read = decodeEveryWay(list(members));
        EXPECT_TRUE(read && read->size() == 1) << members;
        return read && read->size() == 1 ? read->front() : BackupSnapshot {};
    };
    const BackupSnapshot base = one("");
    EXPECT_EQ(base,
        (BackupSnapshot {"2026-01-02/snapshot_030405", TimePoint(std::chrono::seconds(1767323045)),
            BackupTriggerType::manual, 1, 10, {"a.md"}, std::nullopt}));

    EXPECT_EQ(one(R"(,"id":5,"id":"x\/y")").id, "x/y");
    EXPECT_EQ(one(R"(,"\u0069d":"escaped-key")").id, "escaped-key");
    EXPECT_EQ(one(R"(,"id":"\u00e9\ud83d\ude00\u0000\"\\\/\b\f\n\r\t")").id,
        std::string("\xC3\xA9\xF0\x9F\x98\x80\0\"\\/\b\f\n\r\t", 15));
    EXPECT_EQ(one(",\"id\":\"設定\xF0\x9F\x98\x80\"").id, "設定\xF0\x9F\x98\x80");
    EXPECT_EQ(one(R"(,"filesCount":"3","filesCount":3)").filesCount, 3);
    EXPECT_EQ(one(R"(,"filesCount":-0)").filesCount, 0);
    EXPECT_EQ(one(R"(,"totalSizeBytes":-9223372036854775808)").totalSizeBytes, INT64_MIN);
    EXPECT_EQ(one(R"(,"note":"メモ")").note, "メモ");
    EXPECT_EQ(one(R"(,"note":"メモ","note":null)").note, std::nullopt);
    EXPECT_EQ(one(R"(,"createdAt":"2026-01-02T12:04:05+09:00")").createdAt, base.createdAt);
    EXPECT_EQ(one(R"(,"triggerType":"定期自動")").triggerType, BackupTriggerType::scheduled);
    EXPECT_EQ(one(R"(,"relativeFilePaths":[1],"relativeFilePaths":["b","c\/d"])").relativeFilePaths,
        (std::vector<std::string> {"b", "c/d"}));
    EXPECT_TRUE(one(R"(,"relativeFilePaths":[])").relativeFilePaths.empty());
}

// Every cut of a history (a torn file), and every byte dropped or piece inserted at every place.
TEST(JsonStreamTest, ReaderAgreesWithTheTreeOnEveryCutAndEditOfAHistory)
{
    const std::string base = "[" + element(R"(,"note":"n","x":[1.5e3,{"k":[true,null]}])") + ","
        + element(R"(,"relativeFilePaths":["a.md","b\/設定.json","c\"q"])") + "]";
    const std::vector<std::string> pieces = {"\"", "\\", "\\u", "\\ud83d", "[", "]", "{", "}", ",", ":", "-", "0", "1e",
        ".", "null", "true", "\xC3", "\xA9", "\xFF", " ", "\x01"};
    int accepted = 0;
    for (std::size_t at = 0; at < base.size() && !HasFailure(); ++at) {
        std::vector<std::string> texts {base.substr(0, at), std::string(base).erase(at, 1)};
        for (const auto &piece : pieces)
            texts.push_back(std::string(base).insert(at, piece));
        for (const auto &text : texts) {
            SCOPED_TRACE(::testing::PrintToString(text));
            accepted += decodeEveryWay(text) ? 1 : 0;
        }
    }
    EXPECT_GT(accepted, 1000); // enough sound documents to compare values too
}

// A list of snapshots with every kind of string the writer must escape, and a path list of `paths`.
Snapshots sampleSnapshots(std::mt19937 &random, std::size_t paths)
{
    const std::vector<std::string> texts = {"plain", "a/b", "q\"uote", "back\\slash", "tab\tnew\nline",
        std::string("nul\0x", 5), "\x01\x1f\x7f", "設定/メモ.md", "bad\xC3(", "\xED\xA0\x80", "\xF0\x9F\x98\x80", ""};
    Snapshots out;
    for (int i = 0; i < 4; ++i) {
        BackupSnapshot s;
        s.id = "2026-0" + std::to_string(i + 1) + "-01/snapshot_1200" + std::to_string(i)
            + texts[random() % texts.size()];
        s.createdAt = TimePoint(std::chrono::microseconds(1'700'000'000'123'456LL + i));
        s.triggerType = i % 2 ? BackupTriggerType::scheduled : BackupTriggerType::manual;
        s.filesCount = i == 3 ? INT64_MIN : i * 1000;
        s.totalSizeBytes = i == 2 ? INT64_MAX : -i;
        std::vector<std::string> list;
        for (std::size_t p = 0; p < (i == 1 ? 0 : paths); ++p)
            list.push_back("dir/" + std::to_string(p) + texts[random() % texts.size()]);
        s.relativeFilePaths = std::move(list);
        if (i % 2 == 0)
            s.note = texts[random() % texts.size()];
        out.push_back(std::move(s));
    }
    return out;
}

TEST(JsonStreamTest, WriterWritesTheTreeFormInPieces)
{
    std::mt19937 random(7);
    EXPECT_EQ(encodeSnapshotList({}), "[]");
    for (const std::size_t paths : {1u, 3u, 20000u}) { // the last spans many 64 KB pieces
        const Snapshots list = sampleSnapshots(random, paths);
        std::vector<std::size_t> pieces;
        std::string streamed;
        encodeSnapshotList(list, [&](std::string_view piece) {
            pieces.push_back(piece.size());
            streamed += piece;
        });
        EXPECT_LE(*std::max_element(pieces.begin(), pieces.end()), std::size_t(1 << 17));
        // nlohmann's tree writer gives the same bytes for what it reads back.
        const auto tree = Json::parse(streamed);
        ASSERT_TRUE(tree);
        EXPECT_EQ(Json::encodePretty(*tree), streamed);
        for (std::size_t i = 0; i < list.size(); ++i)
            EXPECT_EQ(list[i].encode(), Json::encodePretty((*tree)[i]));
        // And what was written reads back, invalid UTF-8 as U+FFFD, every way.
        const auto read = decodeEveryWay(streamed);
        ASSERT_TRUE(read);
        ASSERT_EQ(read->size(), list.size());
        const auto shape = [](const BackupSnapshot &s) { // the file holds whole seconds
            return std::tuple(std::chrono::floor<std::chrono::seconds>(s.createdAt), s.triggerType, s.filesCount,
                s.totalSizeBytes, s.relativeFilePaths.size(), s.note.has_value());
        };
        for (std::size_t i = 0; i < list.size(); ++i)
            EXPECT_EQ(shape((*read)[i]), shape(list[i]));
    }
}

TEST(JsonStreamTest, EqualPathListsAreHeldOnce)
{
    BackupSnapshot a;
    a.id = "2026-01-01/snapshot_000001";
    a.relativeFilePaths = {"GEMINI.md", "x/y.json", "z.pb"};
    Snapshots list(5, a);
    list[2].relativeFilePaths = {"GEMINI.md", "x/y.json"}; // a prefix
    list[3].relativeFilePaths = {"GEMINI.md", "x/y.json"}; // equal to the one before
    list[4].relativeFilePaths = {"GEMINI.md", "x/y.json", "z.pbx"}; // differs in the last path
    const auto read = decodeSnapshotList(encodeSnapshotList(list));
    ASSERT_TRUE(read);
    ASSERT_EQ(*read, list);
    EXPECT_TRUE((*read)[1].relativeFilePaths.sharesStorageWith((*read)[0].relativeFilePaths));
    EXPECT_FALSE((*read)[2].relativeFilePaths.sharesStorageWith((*read)[1].relativeFilePaths));
    EXPECT_TRUE((*read)[3].relativeFilePaths.sharesStorageWith((*read)[2].relativeFilePaths));
    EXPECT_FALSE((*read)[4].relativeFilePaths.sharesStorageWith((*read)[3].relativeFilePaths));
}

using StoreSharingTest = StoreTest;

// The reader shares a history file's equal lists (above); a damaged file is rebuilt from the snapshot
// folders, and the rebuilt list shares just as well.
TEST_F(StoreSharingTest, RebuiltHistorySharesEqualPathLists)
{
    writeText(src / "GEMINI.md", "# a");
    writeText(src / "sub/b.json", "{}");
    int second = 0;
    BackupService service([&] { return TimePoint(std::chrono::seconds(1'780'000'000 + 10 * second++)); });
    ASSERT_TRUE(service.executeBackup(config, BackupTriggerType::manual, {}));
    writeText(src / "sub/b.json", "{\"changed\": true}"); // same paths, other content
    ASSERT_TRUE(service.executeBackup(config, BackupTriggerType::manual, {}));
    writeText(src / "c.md", "new");
    ASSERT_TRUE(service.executeBackup(config, BackupTriggerType::manual, {}));
    const auto history = service.loadHistory(dest);

    writeText(dest / "history.json", "[{\"id\":");
    const auto rebuilt = service.loadHistory(dest);
    ASSERT_EQ(rebuilt, history);
    ASSERT_EQ(rebuilt.size(), 3u);
    EXPECT_EQ(rebuilt[2].relativeFilePaths, (std::vector<std::string> {"GEMINI.md", "sub/b.json"}));
    EXPECT_TRUE(rebuilt[1].relativeFilePaths.sharesStorageWith(rebuilt[2].relativeFilePaths));
    EXPECT_FALSE(rebuilt[0].relativeFilePaths.sharesStorageWith(rebuilt[1].relativeFilePaths));
}

} // namespace
} // namespace velkaro::test
