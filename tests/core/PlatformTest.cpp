#include "Platform/Error.h"
#include "Platform/FileSystem.h"
#include "Platform/Formatters.h"
#include "Platform/JsonCoding.h"
#include "Platform/ParallelFor.h"
#include "Platform/QuotedName.h"
#include "TestSupport.h"

#include <mutex>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace velkaro;
using namespace velkaro::test;

TEST(FormattersTest, LocalDatesFollowTZ)
{
    const TimePoint t = *fromISO8601("2025-12-31T23:05:09Z") + std::chrono::milliseconds(999);
    {
        ScopedTimeZone tz("UTC0");
        EXPECT_EQ(formatDate(t, "yyyy-MM-dd HHmmss"), "2025-12-31 230509");
    }
    ScopedTimeZone tz("JST-9");
    EXPECT_EQ(formatDate(t, "yyyy-MM-dd HHmmss"), "2026-01-01 080509");
    EXPECT_EQ(formatDate(t, "yyyy/MM/dd HH:mm:ss"), "2026/01/01 08:05:09");
    EXPECT_EQ(formatDate(t, "MM/dd HH:mm"), "01/01 08:05");
    // ISO 8601 is written in UTC and whole seconds, whatever the zone.
    EXPECT_EQ(toISO8601(t), "2025-12-31T23:05:09Z");
    EXPECT_EQ(toISO8601(TimePoint {std::chrono::seconds(-1)}), "1969-12-31T23:59:59Z");
}

// ISO 8601 is read strictly, with an offset or Z, and only for dates between 1970 and 9999 in UTC.
TEST(FormattersTest, Iso8601IsReadStrictlyBetween1970And9999InUtc)
{
    const std::pair<const char *, std::int64_t> accepted[] {{"2025-03-04T00:15:00Z", 1741047300},
        {"2025-03-04T09:15:00+09:00", 1741047300}, {"2025-03-03T19:15:00-05:00", 1741047300},
        {"1970-01-01T00:00:00Z", 0}, {"1970-01-01T09:00:00+09:00", 0}, {"9999-12-31T23:59:59Z", 253402300799},
        {"9999-12-31T22:59:59-01:00", 253402300799}, {"2262-04-12T00:00:00Z", 9223372800}};
    for (const auto &[text, seconds] : accepted) {
        const auto read = fromISO8601(text);
        ASSERT_TRUE(read) << text;
        EXPECT_EQ(read->time_since_epoch(), std::chrono::seconds(seconds)) << text;
        EXPECT_EQ(fromISO8601(toISO8601(*read)), read) << "what is written reads back: " << text;
    }
    for (const char *bad : {"2025-03-04T00:15:00.000Z", "2025-03-04T00:15:00", "2025-03-04 00:15:00Z",
             "2025-02-30T00:00:00Z", "2025-13-01T00:00:00Z", "2025-03-04T24:00:00Z", "2025-03-04T00:15:00+9",
             "2025-3-04T00:15:00Z", "2025-03-04T00:15:00ZZ", "", "1969-12-31T23:59:59Z", "1970-01-01T00:00:00+00:01",
             "0000-01-01T00:00:00Z", "9999-12-31T23:59:59-00:01", "10000-01-01T00:00:00Z", "-0001-01-01T00:00:00Z",
             "99999999999999999999-01-01T00:00:00Z", "1677-09-21T00:12:43Z"})
        EXPECT_EQ(fromISO8601(bad), std::nullopt) << bad;
}

TEST(FormattersTest, ByteCountsAreDecimalWithFewDigits)
{
    // 999'600 rounds up into the next unit; amounts past GB stay in GB.
    const std::pair<std::int64_t, const char *> cases[] {{0, "0 バイト"}, {999, "999 バイト"}, {1000, "1 KB"},
        {3456, "3 KB"}, {999'499, "999 KB"}, {999'600, "1 MB"}, {1'500'000, "1.5 MB"}, {2'000'000, "2 MB"},
        {12'345'678, "12.3 MB"}, {1'234'567'890, "1.23 GB"}, {3'000'000'000'000, "3,000 GB"}, {-1'500'000, "-1.5 MB"}};
    for (const auto &[bytes, text] : cases)
        EXPECT_EQ(formatByteCount(bytes), text) << bytes;
}

TEST(FormattersTest, UuidsAreRandomVersion4UpperCase)
{
    const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string uuid = makeUUID();
        EXPECT_TRUE(std::regex_match(uuid, shape)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 200u);
}

// Names print as they are unless they could break a line or drive the terminal; then git's quoting.
TEST(QuotedNameTest, ControlCharactersAreQuotedAsGitQuotesThem)
{
    EXPECT_EQ(quotedName("日本語/settings.json"), "日本語/settings.json");
    EXPECT_EQ(quotedName(" -lead space"), " -lead space");
    EXPECT_EQ(quotedName("a\tb\nc\r\x1b[2J\x7f"), "\"a\\tb\\nc\\r\\033[2J\\177\"");
    EXPECT_EQ(quotedName("say \"hi\" \\ bye"), "\"say \\\"hi\\\" \\\\ bye\"");
    EXPECT_EQ(quotedName("c1 \xc2\x9b csi"), "\"c1 \\302\\233 csi\""); // U+009B: CSI to some terminals
    EXPECT_EQ(quotedName("bad \xff \xe3\x81"), "\"bad \\377 \\343\\201\"");
    EXPECT_EQ(quotedName(std::string("nul\0", 4)), "\"nul\\000\"");
    EXPECT_FALSE(needsQuoting("plain.md"));
}

TEST(JsonCodingTest, EncoderEscapesSlashesOnlyInsideStrings)
{
    Json::Value v = Json::Value::object();
    v["path"] = "/a/b";
    v["n"] = -12;
    v["list"] = Json::Value::array({"x/y", "日本語"});
    const std::string text = Json::encodePretty(v);
    EXPECT_EQ(
        text, "{\n  \"path\": \"\\/a\\/b\",\n  \"n\": -12,\n  \"list\": [\n    \"x\\/y\",\n    \"日本語\"\n  ]\n}");
    EXPECT_EQ(Json::parse(text), v);
    EXPECT_EQ(Json::getString(*Json::parse(R"({"p":"\/x"})"), "p"), "/x");

    // A file name that is not UTF-8 must not bring the writer down.
    Json::Value bad = Json::Value::object();
    bad["name"] = std::string("a\xff.md");
    EXPECT_NE(Json::encodePretty(bad).find("a\xEF\xBF\xBD.md"), std::string::npos);
    EXPECT_EQ(Json::parse("{\"a\": \"\xff\"}"), std::nullopt);
    EXPECT_EQ(Json::parse("{\"a\": 1"), std::nullopt);
}

// Every index is worked on exactly once, in ranges that never overlap; below the threshold in one call on
// the calling thread, from it on in two halves, one of them on another thread where there are cores.
TEST(ParallelForTest, CoversEachIndexOnceAndSplitsOnlyFromTheThreshold)
{
    for (const std::size_t count : {0u, 1u, 7u, 8u, 9u, 1001u}) {
        std::mutex lock;
        std::vector<int> visits(count, 0);
        std::vector<std::pair<std::size_t, std::size_t>> ranges;
        std::set<std::thread::id> threads;
        parallelFor(count, 8, [&](std::size_t from, std::size_t to) {
            const std::scoped_lock held(lock);
            ranges.emplace_back(from, to);
            threads.insert(std::this_thread::get_id());
            for (std::size_t i = from; i < to; ++i)
                ++visits[i];
        });
        EXPECT_EQ(visits, std::vector<int>(count, 1)) << count;
        const bool split = count >= 8 && std::thread::hardware_concurrency() > 1;
        EXPECT_EQ(ranges.size(), count == 0 ? 0u : split ? 2u : 1u) << count;
        if (split) {
            EXPECT_EQ(threads.size(), 2u) << count;
        } else if (count > 0) {
            EXPECT_EQ(*threads.begin(), std::this_thread::get_id()) << count;
        }
    }
}

using FileSystemTest = TempDirTest;

TEST_F(FileSystemTest, AtomicWriteKeepsModeAndOldContentOnFailureAndLeavesNoTemporaryFile)
{
    const fs::path file = root / "deep/er/file.json";
    ASSERT_TRUE(FileSystem::writeFileAtomically(file, "one"));
    ::chmod(file.c_str(), 0600);
    ASSERT_TRUE(FileSystem::writeFileAtomically(file, "two"));
    EXPECT_EQ(readText(file), "two");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
    EXPECT_EQ(FileSystem::listDirectory(file.parent_path())->size(), 1u) << "no temporary file is left behind";

    // A name of the longest length a name may have still gets a temporary of its own beside it.
    const fs::path longest = root / (std::string(250, 'n') + ".json");
    ASSERT_TRUE(FileSystem::writeFileAtomically(longest, "long"));
    EXPECT_EQ(readText(longest), "long");

    // A folder in the way makes the final rename fail after the temporary file was written.
    const fs::path target = root / "d/history.json";
    writeText(target / "inside", "old");
    const auto result = FileSystem::writeFileAtomically(target, "new");
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().description.find(target.string()), std::string::npos);
    EXPECT_EQ(readText(target / "inside"), "old");
    EXPECT_EQ(FileSystem::listDirectory(root / "d")->size(), 1u) << "the temporary file is removed";

    // A damaged copy never replaces an earlier one (a folder included), and the file is new and private.
    writeText(root / "e/config.json", "{ torn");
    writeText(root / "e/config.json.damaged", "first");
    fs::create_directories(root / "e/config.json.damaged-2/blocker");
    ASSERT_TRUE(FileSystem::writeFileKeepingDamaged(
        root / "e/config.json", "{}", [](auto) { return false; }, true));
    EXPECT_EQ(readText(root / "e/config.json"), "{}");
    EXPECT_EQ(readText(root / "e/config.json.damaged"), "first");
    EXPECT_TRUE(fs::exists(root / "e/config.json.damaged-2/blocker"));
    EXPECT_EQ(readText(root / "e/config.json.damaged-3"), "{ torn");
    EXPECT_EQ(fs::status(root / "e/config.json").permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // A file that cannot be read is not damaged: nothing is replaced or set aside.
    fs::create_directories(root / "f/templates.json");
    const auto unread
        = FileSystem::writeFileKeepingDamaged(root / "f/templates.json", "[]", [](auto) { return false; });
    ASSERT_FALSE(unread);
    EXPECT_TRUE(fs::is_directory(root / "f/templates.json"));
    EXPECT_FALSE(fs::exists(root / "f/templates.json.damaged"));
}

TEST_F(FileSystemTest, ListingIsSortedWithHiddenEntriesAndReadErrorsNameThePath)
{
    writeText(root / "d/b.txt", "");
    writeText(root / "d/.hidden", "");
    writeText(root / "d/a/x", "");
    EXPECT_EQ(
        FileSystem::listDirectory(root / "d"), (std::vector {root / "d/.hidden", root / "d/a", root / "d/b.txt"}));
    EXPECT_FALSE(FileSystem::listDirectory(root / "d/b.txt"));
    EXPECT_FALSE(FileSystem::listDirectory(root / "missing"));

    const auto missing = FileSystem::readFile(root / "nope.json");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain, kSystemErrorDomain);
    EXPECT_EQ(missing.error().description, "ファイルまたはフォルダが見つかりません: " + (root / "nope.json").string());
    EXPECT_FALSE(FileSystem::readFile(root));

    // Only a regular file is read: a device or a FIFO without a writer in its place fails at once.
    fs::create_symlink("/dev/null", root / "device.json");
    ASSERT_EQ(::mkfifo((root / "fifo.json").c_str(), 0600), 0);
    for (const char *odd : {"device.json", "fifo.json"}) {
        const auto read = FileSystem::readFile(root / odd);
        ASSERT_FALSE(read) << odd;
        EXPECT_EQ(read.error().code, EINVAL) << odd;
    }
}

TEST_F(FileSystemTest, ApplicationSupportFollowsXdgConfigHome)
{
    EXPECT_EQ(FileSystem::applicationSupportDirectory(), home / ".config/VelkaroAntigraviti_Backup");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(FileSystem::applicationSupportDirectory(), home / ".config/VelkaroAntigraviti_Backup");
    ::setenv("XDG_CONFIG_HOME", (root / "cfg").c_str(), 1);
    EXPECT_EQ(FileSystem::applicationSupportDirectory(), root / "cfg/VelkaroAntigraviti_Backup");
}

// Only "~" alone or before "/" stands for the home folder; "~name" is another user's and stays.
TEST_F(FileSystemTest, ExpandHomeTakesOnlyALeadingTilde)
{
    EXPECT_EQ(FileSystem::expandHome("~"), home.string());
    EXPECT_EQ(FileSystem::expandHome("~/a/~b"), (home / "a/~b").string());
    for (const char *kept : {"~other/x", "a/~", "/abs/~", "", "rel"})
        EXPECT_EQ(FileSystem::expandHome(kept), kept);
    ::setenv("HOME", "/", 1);
    EXPECT_EQ(FileSystem::expandHome("~/x"), "/x");
    ::setenv("HOME", home.c_str(), 1);
}
