#include "Services/CurrentFilesDiff.h"
#include "Services/BackupService.h"
#include "TestSupport.h"

using namespace velkaro;
using namespace velkaro::test;

namespace {

class CurrentFilesDiffTest : public StoreTest
{
protected:
    BackupSnapshot backup()
    {
        auto run = BackupService([] {
            return localTime(2025, 3, 4, 9, 15, 0);
        }).executeBackup(config, BackupTriggerType::manual, {});
        EXPECT_TRUE(run);
        return run->snapshot;
    }

    ScopedTimeZone tz {"UTC0"};
};

// Removed, added and common lines as the view shows them: "old new sign text".
std::vector<std::string> numbered(const std::vector<DiffHunk> &hunks)
{
    std::vector<std::string> out;
    for (const auto &hunk : hunks) {
        for (const auto &line : hunk.lines) {
            const char sign = line.kind == DiffLine::Kind::added ? '+'
                : line.kind == DiffLine::Kind::removed           ? '-'
                                                                 : ' ';
            out.push_back(
                std::to_string(line.oldNumber) + " " + std::to_string(line.newNumber) + " " + sign + line.text);
        }
    }
    return out;
}

} // namespace

// Every recorded file is marked against now; current files the snapshot lacks are only counted. Text
// gives numbered hunks; binary and large files give their sizes only; a file gone now is diffed against
// nothing; a missing stored copy gives nothing to show.
TEST_F(CurrentFilesDiffTest, MarksCountAndDiffOfEveryKindOfFile)
{
    std::string lines;
    for (int i = 1; i <= 12; ++i)
        lines += "line " + std::to_string(i) + "\n";
    writeText(src / "text.md", lines);
    writeText(src / "same.md", "a\nb\n");
    writeText(src / "sized.json", "{\"a\":1}");
    writeText(src / "binary.json", std::string("ab\0cd", 5));
    writeText(src / "large.md", "small before");
    writeText(src / "gone.md", "x\ny\n");
    writeText(src / "sub/lost.md", "l");
    const BackupSnapshot snapshot = backup();
    std::string edited = lines;
    edited.replace(edited.find("line 2\n"), 7, "two\n");
    edited += "line 13\n";
    writeText(src / "text.md", edited);
    writeText(src / "sized.json", "{\"a\":2}"); // same size, other bytes
    writeText(src / "binary.json", std::string("ab\0cdef", 7));
    writeText(src / "large.md", std::string(kLargestDiffedFile + 1, 'x'));
    fs::remove(src / "gone.md");
    fs::remove(*SnapshotStore(dest).storedFile(snapshot.id, "sub/lost.md"));
    writeText(src / "new.md", "n");
    writeText(src / "deep/new.json", "{}");
    writeText(src / "left-out.bin", "not a target");

    using enum CompareState;
    const CurrentFilesComparison comparison = compareWithCurrentFiles(snapshot, config);
    EXPECT_EQ(comparison.marks,
        (std::map<std::string, CompareState> {{"text.md", changed}, {"same.md", unchanged}, {"sized.json", changed},
            {"binary.json", changed}, {"large.md", changed}, {"gone.md", removed}, {"sub/lost.md", missing}}));
    EXPECT_EQ(comparison.onlyNowCount, 2);

    using Kind = CurrentFileDiff::Kind;
    using Size = std::optional<std::int64_t>;
    const std::vector<std::tuple<std::string, Kind, Size, Size, std::vector<std::string>>> cases {
        {"text.md", Kind::text, 87, 92,
            {"1 1  line 1\n", "2 0 -line 2\n", "0 2 +two\n", "3 3  line 3\n", "4 4  line 4\n", "5 5  line 5\n",
                "10 10  line 10\n", "11 11  line 11\n", "12 12  line 12\n", "0 13 +line 13\n"}},
        {"same.md", Kind::text, 4, 4, {}}, {"binary.json", Kind::binary, 5, 7, {}},
        {"large.md", Kind::tooLarge, 12, kLargestDiffedFile + 1, {}},
        {"gone.md", Kind::text, 4, std::nullopt, {"1 0 -x\n", "2 0 -y\n"}},
        {"sub/lost.md", Kind::unavailable, std::nullopt, 1, {}},
        {"../outside.md", Kind::unavailable, std::nullopt, std::nullopt, {}}};
    for (const auto &[path, kind, snapshotSize, currentSize, hunks] : cases) {
        const auto diff = diffWithCurrentFile(snapshot, config, path);
        EXPECT_EQ(std::tuple(diff.kind, diff.snapshotSize, diff.currentSize, numbered(diff.hunks)),
            std::tuple(kind, snapshotSize, currentSize, hunks))
            << path;
    }
    EXPECT_EQ(diffWithCurrentFile(snapshot, config, "text.md").hunks.at(1).oldStart, 9u);
}

// A recorded file that is not met because its source cannot be read now is not called gone.
TEST_F(CurrentFilesDiffTest, FilesOfASourceThatCannotBeReadAreNotCalledGone)
{
    const fs::path second = root / "second/inner";
    writeText(src / "a.md", "a");
    writeText(second / "o.md", "o");
    config.sourceDirectories.push_back(second.string());
    const BackupSnapshot snapshot = backup();
    fs::remove_all(root / "second");
    writeText(root / "second", "a file where the folder was"); // inner: "not a directory", not "gone"
    using enum CompareState;
    EXPECT_EQ(compareWithCurrentFiles(snapshot, config).marks,
        (std::map<std::string, CompareState> {{"a.md", unchanged}, {"o.md", unreadable}}));
    fs::remove(root / "second");
    EXPECT_EQ(compareWithCurrentFiles(snapshot, config).marks,
        (std::map<std::string, CompareState> {{"a.md", unchanged}, {"o.md", removed}}));
}
