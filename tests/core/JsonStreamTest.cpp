// The streamed history reader and writer against the document-tree ones they replace: for every text,
// both must accept the same documents and yield the same snapshots, and both writers the same bytes.
#include "Models/BackupSnapshot.h"
#include "Platform/JsonReader.h"
#include "Services/BackupService.h"
#include "TestSupport.h"

#include <random>

namespace velkaro::test {
namespace {

using Snapshots = std::vector<BackupSnapshot>;

std::optional<Snapshots> treeDecode(std::string_view text)
{
    return Json::decodeArray<BackupSnapshot>(text);
}

// The streamed reader fed `chunk` bytes at a time, so that every token also meets a chunk border.
std::optional<Snapshots> chunkedDecode(std::string_view text, std::size_t chunk)
{
    std::size_t at = 0;
    Json::JsonReader reader(
        [&](char *buffer, std::size_t size) -> std::ptrdiff_t {
            const std::size_t n = std::min({size, chunk, text.size() - at});
            std::copy_n(text.data() + at, n, buffer);
            at += n;
            return static_cast<std::ptrdiff_t>(n);
        },
        chunk);
    return decodeSnapshotList(reader);
}

void expectSameReading(std::string_view text)
{
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    const auto expected = treeDecode(text);
    EXPECT_EQ(decodeSnapshotList(text), expected);
    EXPECT_EQ(chunkedDecode(text, 1), expected);
    EXPECT_EQ(chunkedDecode(text, 7), expected);
}

std::string element(std::string_view members)
{
    return R"({"id":"2026-01-02\/snapshot_030405","createdAt":"2026-01-02T03:04:05Z","triggerType":"手動",)"
           R"("filesCount":1,"totalSizeBytes":10,"relativeFilePaths":["a.md"])"
        + std::string(members) + "}";
}

TEST(JsonStreamTest, ReadersAgreeOnTrickyDocuments)
{
    const std::vector<std::string> documents = {
        "[]",
        " [ ] ",
        "",
        "[",
        "]",
        "{}",
        "[{}]",
        "[1]",
        "[] x",
        std::string("[]\0", 3),
        "null",
        "[" + element("") + "]",
        "\xEF\xBB\xBF[" + element("") + "]",
        "\xEF\xBB[]",
        "\xEF\xBB\xBF",
        "[\xEF\xBB\xBF]",
        "[" + element("") + "," + element("") + "]",
        "[" + element("") + ",]",
        "[" + element(",") + "]",
        "[," + element("") + "]",
        // Repeated members: the last one counts, even when an earlier one was wrong.
        "[" + element(R"(,"id":5,"id":"x\/y")") + "]",
        "[" + element(R"(,"filesCount":2.5)") + "]",
        "[" + element(R"(,"filesCount":"3","filesCount":3)") + "]",
        // note: string or null; any other type fails the element.
        "[" + element(R"(,"note":null)") + "]",
        "[" + element(R"(,"note":"メモ")") + "]",
        "[" + element(R"(,"note":5)") + "]",
        "[" + element(R"(,"note":5,"note":null)") + "]",
        // Unknown members of any shape are read past, strictly.
        "[" + element(R"(,"x":[[{"a":[1,{"b":null,"c":[true,false]}]}],{}],"y":{})") + "]",
        "[" + element(R"(,"x":[1,2,])") + "]",
        "[" + element(R"(,"x":{"a" 1})") + "]",
        "[" + element(R"(,"x":[}])") + "]",
        "[" + element(R"(,"x":tru)") + "]",
        "[" + element(R"(,"x":nul)") + "]",
        // Numbers: the integer range, doubles, and what no reader may take.
        "[" + element(R"(,"filesCount":-0)") + "]",
        "[" + element(R"(,"filesCount":1.0)") + "]",
        "[" + element(R"(,"filesCount":1e2)") + "]",
        "[" + element(R"(,"totalSizeBytes":9223372036854775807)") + "]",
        "[" + element(R"(,"totalSizeBytes":9223372036854775808)") + "]",
        "[" + element(R"(,"totalSizeBytes":-9223372036854775808)") + "]",
        "[" + element(R"(,"totalSizeBytes":-9223372036854775809)") + "]",
        "[" + element(R"(,"totalSizeBytes":18446744073709551616)") + "]",
        "[" + element(R"(,"x":1e400)") + "]",
        "[" + element(R"(,"x":-1e400)") + "]",
        "[" + element(R"(,"x":1e-400)") + "]",
        "[" + element(R"(,"x":01)") + "]",
        "[" + element(R"(,"x":1.)") + "]",
        "[" + element(R"(,"x":.5)") + "]",
        "[" + element(R"(,"x":-)") + "]",
        "[" + element(R"(,"x":+1)") + "]",
        "[" + element(R"(,"x":1E+2)") + "]",
        "[" + element(R"(,"x":2e)") + "]",
        // Strings: escapes, surrogates, control characters and UTF-8.
        "[" + element(R"(,"id":"\u00e9\ud83d\ude00\u0000\"\\\/\b\f\n\r\t")") + "]",
        "[" + element(R"(,"id":"\ud83d")") + "]",
        "[" + element(R"(,"id":"\ude00")") + "]",
        "[" + element(R"(,"id":"\ud83dx")") + "]",
        "[" + element(R"(,"id":"\ud83d\u0041")") + "]",
        "[" + element(R"(,"id":"\x")") + "]",
        "[" + element(R"(,"id":"\u12G4")") + "]",
        "[" + element(",\"id\":\"a\tb\"") + "]",
        "[" + element(",\"id\":\"a\x7f b\"") + "]",
        "[" + element(",\"id\":\"設定\"") + "]",
        "[" + element(",\"id\":\"\xC0\x80\"") + "]",
        "[" + element(",\"id\":\"\xED\xA0\x80\"") + "]",
        "[" + element(",\"id\":\"\xF4\x90\x80\x80\"") + "]",
        "[" + element(",\"id\":\"\xF0\x9F\x98\x80\"") + "]",
        "[" + element(",\"id\":\"\xE3\x81\"") + "]",
        "[" + element(",\"id\":\"\xE0\x9F\xBF\"") + "]",
        "[" + element(",\"\xFF\":1") + "]",
        "[" + element(R"(,"\u0069d":"escaped-key")") + "]",
        // Path lists: strings only.
        "[" + element(R"(,"relativeFilePaths":[])") + "]",
        "[" + element(R"(,"relativeFilePaths":["a",1])") + "]",
        "[" + element(R"(,"relativeFilePaths":["a",["b"]])") + "]",
        "[" + element(R"(,"relativeFilePaths":"a")") + "]",
        "[" + element(R"(,"relativeFilePaths":["a",])") + "]",
        "[" + element(R"(,"relativeFilePaths":[1],"relativeFilePaths":["b"])") + "]",
        "[" + element(R"(,"createdAt":"2026-13-01T00:00:00Z")") + "]",
        "[" + element(R"(,"triggerType":"manual")") + "]",
        // A NUL byte ends the text where a token may start, as it always has.
        std::string("[]\0junk", 7),
        std::string("[\0]", 3),
        "[" + element("") + std::string("\0]", 2),
    };
    for (const auto &text : documents)
        expectSameReading(text);
    EXPECT_TRUE(treeDecode("[" + element("") + "]")); // the base element is sound, so the cases above vary one thing
}

TEST(JsonStreamTest, ReadersAgreeOnMutatedHistories)
{
    std::mt19937 random(20261207);
    const std::string base = "[" + element(R"(,"note":"n","x":[1.5e3,{"k":[true,null]}])") + ","
        + element(R"(,"relativeFilePaths":["a.md","b\/設定.json","c\"q"])") + "]";
    const std::vector<std::string> pieces = {"\"", "\\", "\\u", "\\ud83d", "[", "]", "{", "}", ",", ":", "-", "0", "1e",
        ".", "null", "true", "\xC3", "\xA9", " ", "\x01"};
    int accepted = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string text = base;
        for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
            const std::size_t at = random() % text.size();
            switch (random() % 3) {
            case 0:
                text[at] = static_cast<char>(random() % 256);
                break;
            case 1:
                text.erase(at, 1 + random() % 4);
                break;
            default:
                text.insert(at, pieces[random() % pieces.size()]);
            }
            if (text.empty())
                text = "[";
        }
        expectSameReading(text);
        accepted += treeDecode(text).has_value() ? 1 : 0;
        if (HasFailure())
            return;
    }
    EXPECT_GT(accepted, 100); // the mutations must leave enough sound documents to compare values too
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

TEST(JsonStreamTest, WritersAgreeByteForByte)
{
    std::mt19937 random(7);
    EXPECT_EQ(encodeSnapshotList({}), Json::encodeArray(Snapshots {}));
    for (const std::size_t paths : {1u, 3u, 20000u}) { // the last spans many 64 KB pieces
        const Snapshots list = sampleSnapshots(random, paths);
        const std::string expected = Json::encodeArray(list);
        std::vector<std::size_t> pieces;
        std::string streamed;
        encodeSnapshotList(list, [&](std::string_view piece) {
            pieces.push_back(piece.size());
            streamed += piece;
        });
        EXPECT_EQ(streamed, expected);
        EXPECT_LE(*std::max_element(pieces.begin(), pieces.end()), std::size_t(1 << 17));
        for (const auto &s : list)
            EXPECT_EQ(s.encode(), Json::encodePretty(s.toJson()));
        // And what was written reads back (invalid UTF-8 comes back as U+FFFD, as before).
        EXPECT_EQ(decodeSnapshotList(expected), treeDecode(expected));
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

class StoreSharingTest : public StoreTest
{
};

TEST_F(StoreSharingTest, UnchangedRunsShareTheirPathListInTheHistory)
{
    writeText(src / "GEMINI.md", "# a");
    writeText(src / "sub/b.json", "{}");
    int second = 0;
    BackupService service([&] { return TimePoint(std::chrono::seconds(1'780'000'000 + 10 * second++)); });
    ASSERT_TRUE(service.executeBackup(config, BackupTriggerType::manual, {}));
    const auto run = service.executeBackup(config, BackupTriggerType::manual, {});
    ASSERT_TRUE(run);
    writeText(src / "sub/b.json", "{\"changed\": true}"); // same paths, other content
    ASSERT_TRUE(service.executeBackup(config, BackupTriggerType::manual, {}));
    writeText(src / "c.md", "new");
    ASSERT_TRUE(service.executeBackup(config, BackupTriggerType::manual, {}));

    const auto history = service.loadHistory(dest);
    ASSERT_EQ(history.size(), 4u);
    EXPECT_EQ(history[3].relativeFilePaths, (std::vector<std::string> {"GEMINI.md", "sub/b.json"}));
    EXPECT_TRUE(history[2].relativeFilePaths.sharesStorageWith(history[3].relativeFilePaths));
    EXPECT_TRUE(history[1].relativeFilePaths.sharesStorageWith(history[2].relativeFilePaths));
    EXPECT_FALSE(history[0].relativeFilePaths.sharesStorageWith(history[1].relativeFilePaths));
    EXPECT_EQ(history[0].relativeFilePaths.size(), 3u);

    // A damaged history is rebuilt from the folders, and the rebuilt list shares as well.
    writeText(dest / "history.json", "[{\"id\":");
    const auto rebuilt = service.loadHistory(dest);
    ASSERT_EQ(rebuilt, history);
    EXPECT_TRUE(rebuilt[2].relativeFilePaths.sharesStorageWith(rebuilt[3].relativeFilePaths));
}

} // namespace
} // namespace velkaro::test
