#include "Services/RestoreService.h"
#include "Services/SnapshotCompare.h"
#include "Services/TextDiff.h"
#include "TestSupport.h"

#include <random>
#include <sys/stat.h>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

namespace {

// The whole text writeUnifiedDiff hands out in pieces.
std::string unifiedDiff(
    std::string_view before, std::string_view after, const std::string &beforeLabel, const std::string &afterLabel)
{
    std::string text;
    writeUnifiedDiff(before, after, beforeLabel, afterLabel, [&](std::string_view piece) { text += piece; });
    return text;
}

class CompareTest : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        for (const char *name : {"same.md", "sized.md", "touched.md", "gone.md", "lost.json"})
            writeText(src / name, std::string("old ") + name);
        first = backup();
    }

    BackupSnapshot backup()
    {
        auto run = BackupService([this] { return now; }).executeBackup(config, BackupTriggerType::manual, {});
        now += 1s;
        return run->snapshot;
    }

    static std::map<std::string, CompareState> states(const CompareResult &result)
    {
        std::map<std::string, CompareState> out;
        for (const auto &entry : result.entries)
            out[entry.path] = entry.state;
        return out;
    }

    // Gives `file` the modification time of `like`, to the nanosecond, or one second later.
    static void setMtime(const fs::path &file, const fs::path &like, bool later = false)
    {
        fs::last_write_time(file, fs::last_write_time(like) + (later ? 1s : 0s));
    }

    ScopedTimeZone tz {"UTC0"};
    TimePoint now = localTime(2025, 3, 4, 9, 15, 0);
    BackupSnapshot first;
};

using State = CompareState;

} // namespace

TEST_F(CompareTest, EveryPathGetsItsStateAgainstNowAndAgainstALaterSnapshot)
{
    const SnapshotStore store {dest};
    const auto stored = [&](const char *name) { return *store.storedFile(first.id, name); };
    // Same size, other bytes, another time: read and found changed.
    writeText(src / "sized.md", "new sized.md");
    setMtime(src / "sized.md", stored("sized.md"), true);
    // Same bytes written again at another time: read and found unchanged.
    writeText(src / "touched.md", "old touched.md");
    setMtime(src / "touched.md", stored("touched.md"), true);
    fs::remove(src / "gone.md");
    writeText(src / "new.md", "x");
    // Recorded by the snapshot but no longer in its data/: neither removed nor added.
    fs::remove(stored("lost.json"));

    const std::map<std::string, State> expected {{"gone.md", State::removed}, {"lost.json", State::missing},
        {"new.md", State::added}, {"same.md", State::unchanged}, {"sized.md", State::changed},
        {"touched.md", State::unchanged}};
    EXPECT_EQ(states(compareWithCurrent(store, first, config)), expected);

    // A later snapshot: its unchanged files are hard links of the first one's.
    fs::remove(src / "lost.json");
    const auto second = backup();
    struct stat a = {}, b = {};
    ASSERT_EQ(::stat(stored("same.md").c_str(), &a), 0);
    ASSERT_EQ(::stat(store.storedFile(second.id, "same.md")->c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino) << "the hard-linked case is not exercised";
    const auto later = compareSnapshots(store, first, second);
    EXPECT_EQ(states(later), expected);
    EXPECT_TRUE(later.differs());
    EXPECT_EQ(later.count(State::missing), 1);
}

// Equal size and the very same time are no proof: an edit can keep both, so the bytes decide. And no
// compare reaches a stored copy through a link, be it the copy, a folder on its way or data/ itself,
// nor through a recorded path leading out of data/.
TEST_F(CompareTest, EqualSizeAndTimeAreNotTrustedAndNoCompareLeavesTheStore)
{
    writeText(src / "sub/deep.md", "old deep");
    writeText(src / "sub/inner/leaf.md", "old leaf");
    const auto snapshot = backup();
    const SnapshotStore store {dest};
    const fs::path data = *store.dataFolder(snapshot.id);
    const auto stateOf
        = [&](const std::string &path) { return states(compareWithCurrent(store, snapshot, config)).at(path); };
    writeText(src / "sized.md", "new sized.md");
    setMtime(src / "sized.md", data / "sized.md");
    EXPECT_EQ(fs::file_size(data / "sized.md"), fs::file_size(src / "sized.md"));
    EXPECT_EQ(stateOf("sized.md"), State::changed) << "equal size and time were trusted";
    EXPECT_FALSE(sameContent(data / "sized.md", src / "sized.md"));
    // The same bytes at another time are the same content.
    writeText(src / "sized.md", readText(data / "sized.md"));
    EXPECT_EQ(stateOf("sized.md"), State::unchanged);
    EXPECT_TRUE(sameContent(data / "sized.md", src / "sized.md"));
    EXPECT_FALSE(sameContent(data / "sized.md", root / "absent"));
    EXPECT_EQ(stateOf("sub/inner/leaf.md"), State::unchanged);

    // Each copy below moved out and reached through a link instead, with the very bytes of the source.
    const fs::path outside = root / "outside";
    fs::create_directories(outside);
    fs::rename(data / "sub", outside / "sub");
    fs::create_directory_symlink(outside / "sub", data / "sub");
    fs::rename(data / "same.md", outside / "same.md");
    fs::create_symlink(src / "same.md", data / "same.md");
    EXPECT_EQ(stateOf("sub/deep.md"), State::missing);
    EXPECT_EQ(stateOf("sub/inner/leaf.md"), State::missing);
    EXPECT_EQ(stateOf("same.md"), State::missing);
    EXPECT_EQ(stateOf("gone.md"), State::unchanged);
    BackupSnapshot forged = snapshot;
    forged.relativeFilePaths = {"same.md", "../snapshot.json", "sub/deep.md", "gone.md"};
    const auto forgedStates = states(compareSnapshots(store, forged, snapshot));
    for (const char *path : {"../snapshot.json", "same.md", "sub/deep.md"})
        EXPECT_EQ(forgedStates.at(path), State::missing) << path;
    const auto forgedSide = snapshotSide(store, forged); // ../snapshot.json is a real file
    EXPECT_EQ(forgedSide.at("../snapshot.json"), std::nullopt);
    EXPECT_TRUE(forgedSide.at("gone.md").has_value());
    EXPECT_EQ(snapshotSide(store, snapshot).at("sub/inner/leaf.md"), std::nullopt);

    fs::rename(data, outside / "data");
    fs::create_directory_symlink(outside / "data", data);
    const auto result = compareWithCurrent(store, snapshot, config);
    EXPECT_EQ(result.count(State::missing), static_cast<std::int64_t>(snapshot.relativeFilePaths.size()));
}

TEST_F(CompareTest, ChosenFilesRestoreOnlyThoseAfterASafetySnapshot)
{
    for (const char *name : {"same.md", "sized.md", "gone.md"})
        writeText(src / name, "changed");
    const RestoreService restore {BackupService([this] { return now; }, 100ms)};

    const auto refused = restore.executeRestore(first, config, std::vector<std::string> {"same.md", "nope.md"}, {});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description, "スナップショットに含まれていません: nope.md");
    EXPECT_EQ(readText(src / "same.md"), "changed");
    EXPECT_EQ(BackupService().loadHistory(dest).size(), 1u) << "no safety snapshot for a refused restore";

    const auto run = restore.executeRestore(first, config, std::vector<std::string> {"same.md", "gone.md"}, {});
    ASSERT_TRUE(run);
    EXPECT_EQ(run->restoredCount, 2);
    EXPECT_EQ(readText(src / "same.md"), "old same.md");
    EXPECT_EQ(readText(src / "gone.md"), "old gone.md");
    EXPECT_EQ(readText(src / "sized.md"), "changed") << "a file that was not chosen was written";
    const auto history = BackupService().loadHistory(dest);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history.front().triggerType, BackupTriggerType::preRestoreSafety);
    EXPECT_EQ(readText(*SnapshotStore(dest).storedFile(history.front().id, "sized.md")), "changed");
}

// The unified diff is what diff -u writes, and patch turns the old text into the new one.
TEST_F(CompareTest, UnifiedDiffMatchesDiffAndAppliesWithPatch)
{
    std::string lines;
    for (int i = 1; i <= 30; ++i)
        lines += "line " + std::to_string(i) + "\n";
    std::string edited = lines;
    edited.replace(edited.find("line 2\n"), 7, "two\n2b\n");
    edited.erase(edited.find("line 15\n"), 8);
    edited.replace(edited.find("line 20\n"), 8, "twenty\n");
    const std::vector<std::pair<std::string, std::string>> cases {{lines, edited}, {"", "a\nb\n"}, {"a\nb\n", ""},
        {"a\nb", "a\nb\n"}, {"a\nb\nc\n", "a\nc\nb"}, {"a\nb\nc\nd\n", "a\nB\nc\nd\ne"}, {lines, lines + "tail"},
        {"x\n" + lines, lines.substr(7)}};
    fs::create_directories(root / "scratch");
    for (const auto &[before, after] : cases) {
        writeText(root / "old.txt", before);
        writeText(root / "new.txt", after);
        const std::string ours = unifiedDiff(before, after, "a/f", "b/f");
        const auto reference = runProcess("/usr/bin/diff",
            {"-u", "--label", "a/f", "--label", "b/f", (root / "old.txt").string(), (root / "new.txt").string()}, root);
        EXPECT_EQ(ours, reference.out) << "from:\n" << before << "\nto:\n" << after;
        writeText(root / "fix.diff", ours);
        const auto patch = runProcess("/usr/bin/patch",
            {"-s", (root / "old.txt").string(), "-i", (root / "fix.diff").string()}, root / "scratch");
        EXPECT_EQ(patch.code, 0);
        EXPECT_EQ(readText(root / "old.txt"), after);
    }
    EXPECT_EQ(unifiedDiff(lines, lines, "a", "b"), "");
    EXPECT_TRUE(looksBinary(std::string("a\0b", 3)));
    EXPECT_FALSE(looksBinary("plain"));
}

namespace {

// The number of removed and added lines of a unified diff.
std::size_t editCount(const std::string &diff)
{
    std::size_t count = 0;
    std::size_t at = 0;
    while (at < diff.size()) {
        const std::string_view line = std::string_view(diff).substr(at, diff.find('\n', at) - at);
        if ((line.starts_with('-') || line.starts_with('+')) && !line.starts_with("---") && !line.starts_with("+++"))
            ++count;
        at += line.size() + 1;
    }
    return count;
}

// Rewrites of `n` numbered lines as editors and generators make them.
std::vector<std::pair<std::string, std::string>> rewrites(int n, unsigned seed)
{
    std::vector<std::string> old;
    for (int i = 0; i < n; ++i)
        old.push_back("line " + std::to_string(i) + "\n");
    const auto join = [](const std::vector<std::string> &lines, std::size_t from, std::size_t to) {
        std::string text;
        for (std::size_t i = from; i < to; ++i)
            text += lines[i];
        return text;
    };
    std::vector<std::string> all, other, half = old;
    for (int i = 0; i < n; ++i) {
        all.push_back("new " + std::to_string(i) + "\n");
        other.push_back(i % 2 ? old[static_cast<std::size_t>(i)] : "other " + std::to_string(i) + "\n");
    }
    std::mt19937 random(seed);
    for (int k = 0; k < n / 2; ++k) {
        const auto i = random() % static_cast<unsigned>(n);
        half[i] = "half " + std::to_string(i) + "\n";
    }
    const std::size_t size = old.size(), block = size / 5;
    const std::string moved = join(old, block, 3 * block) + join(old, 0, block) + join(old, 3 * block, size);
    return {{join(old, 0, size), join(all, 0, size)}, {join(old, 0, size), join(half, 0, size)},
        {join(old, 0, size), join(other, 0, size)}, {join(old, 0, size), moved}};
}

} // namespace

// Large rewrites (every line, a random half, every other line, blocks moved) give what diff -u gives
// wherever its script is the shortest, and patch applies every output forwards and backwards.
TEST_F(CompareTest, LargeRewritesMatchDiffAndPatchBothWays)
{
    fs::create_directories(root / "scratch");
    const fs::path oldFile = root / "old.txt", newFile = root / "new.txt", target = root / "target.txt";
    for (const int n : {1000, 3000, 20000}) {
        for (const auto &[before, after] : rewrites(n, static_cast<unsigned>(n))) {
            writeText(oldFile, before);
            writeText(newFile, after);
            const std::string ours = unifiedDiff(before, after, "a/f", "b/f");
            const auto diff = [&](std::vector<std::string> flags) {
                flags.insert(flags.end(), {"--label", "a/f", "--label", "b/f", oldFile.string(), newFile.string()});
                return runProcess("/usr/bin/diff", std::move(flags), root).out;
            };
            const std::string reference = diff({"-u"});
            const std::string at = std::to_string(n) + " lines, edit " + std::to_string(editCount(reference));
            // Where diff settles for a longer script than the shortest, the two may differ.
            if (ours != reference) {
                EXPECT_NE(editCount(reference), editCount(diff({"-u", "--minimal"}))) << at;
            }
            EXPECT_LE(editCount(ours), editCount(reference)) << at;
            writeText(root / "fix.diff", ours);
            for (const bool reverse : {false, true}) {
                fs::copy_file(reverse ? newFile : oldFile, target, fs::copy_options::overwrite_existing);
                std::vector<std::string> flags {"-s", target.string(), "-i", (root / "fix.diff").string()};
                if (reverse)
                    flags.insert(flags.begin(), "-R");
                EXPECT_EQ(runProcess("/usr/bin/patch", flags, root / "scratch").code, 0) << at;
                EXPECT_TRUE(readText(target) == (reverse ? before : after)) << at << (reverse ? " reversed" : "");
            }
        }
    }
}
