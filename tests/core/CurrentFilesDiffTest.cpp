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

// Every recorded file is marked against now; current files the snapshot lacks are only counted.
TEST_F(CurrentFilesDiffTest, MarksAndTheCountOfFilesOnlyThereNow)
{
    writeText(src / "same.md", "same");
    writeText(src / "sized.json", "{\"a\":1}");
    writeText(src / "gone.md", "bye");
    writeText(src / "sub/lost.md", "lost");
    const BackupSnapshot snapshot = backup();
    writeText(src / "sized.json", "{\"a\":2}"); // same size, other bytes
    fs::remove(src / "gone.md");
    fs::remove(*SnapshotStore(dest).storedFile(snapshot.id, "sub/lost.md"));
    writeText(src / "new.md", "n");
    writeText(src / "deep/new.json", "{}");
    writeText(src / "left-out.bin", "not a target");

    const CurrentFilesComparison comparison = compareWithCurrentFiles(snapshot, config);
    EXPECT_EQ(comparison.marks,
        (std::map<std::string, CompareState> {{"same.md", CompareState::unchanged},
            {"sized.json", CompareState::changed}, {"gone.md", CompareState::removed},
            {"sub/lost.md", CompareState::missing}}));
    EXPECT_EQ(comparison.onlyNowCount, 2);
}

// Text gives numbered hunks; binary and large files give their sizes only; a file gone now is diffed
// against nothing; a missing stored copy gives nothing to show.
TEST_F(CurrentFilesDiffTest, TextBinaryLargeGoneAndMissingFiles)
{
    std::string lines;
    for (int i = 1; i <= 12; ++i)
        lines += "line " + std::to_string(i) + "\n";
    writeText(src / "text.md", lines);
    writeText(src / "same.md", "a\nb\n");
    writeText(src / "binary.json", std::string("ab\0cd", 5));
    writeText(src / "large.md", "small before");
    writeText(src / "gone.md", "x\ny\n");
    writeText(src / "lost.md", "l");
    const BackupSnapshot snapshot = backup();
    std::string edited = lines;
    edited.replace(edited.find("line 2\n"), 7, "two\n");
    edited += "line 13\n";
    writeText(src / "text.md", edited);
    writeText(src / "binary.json", std::string("ab\0cdef", 7));
    writeText(src / "large.md", std::string(kLargestDiffedFile + 1, 'x'));
    fs::remove(src / "gone.md");
    fs::remove(*SnapshotStore(dest).storedFile(snapshot.id, "lost.md"));

    const auto text = diffWithCurrentFile(snapshot, config, "text.md");
    EXPECT_EQ(text.kind, CurrentFileDiff::Kind::text);
    EXPECT_EQ(numbered(text.hunks),
        (std::vector<std::string> {"1 1  line 1\n", "2 0 -line 2\n", "0 2 +two\n", "3 3  line 3\n", "4 4  line 4\n",
            "5 5  line 5\n", "10 10  line 10\n", "11 11  line 11\n", "12 12  line 12\n", "0 13 +line 13\n"}));
    EXPECT_EQ(text.hunks.at(1).oldStart, 9u);

    const auto same = diffWithCurrentFile(snapshot, config, "same.md");
    EXPECT_EQ(same.kind, CurrentFileDiff::Kind::text);
    EXPECT_TRUE(same.hunks.empty());

    const auto binary = diffWithCurrentFile(snapshot, config, "binary.json");
    EXPECT_EQ(binary.kind, CurrentFileDiff::Kind::binary);
    EXPECT_EQ(binary.snapshotSize, 5);
    EXPECT_EQ(binary.currentSize, 7);
    EXPECT_TRUE(binary.hunks.empty());

    const auto large = diffWithCurrentFile(snapshot, config, "large.md");
    EXPECT_EQ(large.kind, CurrentFileDiff::Kind::tooLarge);
    EXPECT_EQ(large.snapshotSize, 12);
    EXPECT_EQ(large.currentSize, kLargestDiffedFile + 1);
    EXPECT_TRUE(large.hunks.empty());

    const auto gone = diffWithCurrentFile(snapshot, config, "gone.md");
    EXPECT_EQ(gone.kind, CurrentFileDiff::Kind::text);
    EXPECT_EQ(gone.currentSize, std::nullopt);
    EXPECT_EQ(numbered(gone.hunks), (std::vector<std::string> {"1 0 -x\n", "2 0 -y\n"}));

    const auto lost = diffWithCurrentFile(snapshot, config, "lost.md");
    EXPECT_EQ(lost.kind, CurrentFileDiff::Kind::unavailable);
    EXPECT_EQ(lost.snapshotSize, std::nullopt);
    EXPECT_EQ(diffWithCurrentFile(snapshot, config, "../outside.md").kind, CurrentFileDiff::Kind::unavailable);
}
