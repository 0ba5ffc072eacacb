#include "Services/BackupService.h"
#include "Services/SnapshotStore.h"
#include "TestSupport.h"

using namespace velkaro;
using namespace velkaro::test;

namespace {

class HistoryTest : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        snapshots = dest / "snapshots";
    }

    // A snapshot record taken `minute` minutes after a fixed instant.
    static BackupSnapshot record(std::string id, int minute)
    {
        return BackupSnapshot {std::move(id), TimePoint {std::chrono::seconds(1741047300 + 60 * minute)},
            BackupTriggerType::manual, 1, 10, {"GEMINI.md"}, std::nullopt};
    }

    // Writes a snapshot folder (snapshot.json and one data file) below snapshots/ at `folder`.
    void onDisk(const BackupSnapshot &s, const std::string &folder = {})
    {
        const fs::path dir = snapshots / (folder.empty() ? s.id : folder);
        writeText(dir / "data/GEMINI.md", "x");
        writeText(dir / "snapshot.json", s.encode());
    }

    std::vector<std::string> historyFileIds() { return ids(*decodeSnapshotList(readText(dest / "history.json"))); }

    BackupService service;
    fs::path snapshots;
};

using Ids = std::vector<std::string>;

} // namespace

TEST_F(HistoryTest, MissingHistoryIsRebuiltFromBothFolderDepthsNewestFirstAndAFileIsTakenAsItIs)
{
    EXPECT_TRUE(service.loadHistory(dest).empty());
    onDisk(record("2025-03-04/snapshot_091500", 0));
    onDisk(record("2025-03-04/snapshot_101500", 60));
    onDisk(record("old/snapshot_flat", 30), "snapshot_flat"); // flat form, id from its file
    // A damaged first-level file does not hide the snapshots inside that folder.
    writeText(snapshots / "2025-03-05/snapshot.json", "{ damaged");
    onDisk(record("2025-03-05/snapshot_000000", 90));
    // Deeper than two levels is not looked at; neither is a stray file.
    onDisk(record("a/b/snapshot_deep", 120));
    writeText(snapshots / "stray.txt", "");

    EXPECT_EQ(ids(service.loadHistory(dest)),
        (Ids {"2025-03-05/snapshot_000000", "2025-03-04/snapshot_101500", "old/snapshot_flat",
            "2025-03-04/snapshot_091500"}));
    EXPECT_FALSE(fs::exists(dest / "history.json")) << "loading never writes";

    // A readable file keeps its entries and order; complete folders it lacks (a run killed between
    // snapshot.json and history.json) are added before the first older entry. Incomplete folders are not.
    const auto listed = record("2025-03-04/snapshot_101500", 60);
    const auto newer = record("b/snapshot_2", 10);
    const auto older = record("a/snapshot_1", 0);
    writeText(dest / "history.json", encodeSnapshotList({listed, newer, older}));
    writeText(snapshots / "2025-03-06/snapshot_000000/data/GEMINI.md", "unfinished run");
    EXPECT_EQ(ids(service.loadHistory(dest)),
        (Ids {"2025-03-05/snapshot_000000", "2025-03-04/snapshot_101500", "old/snapshot_flat", "b/snapshot_2",
            "a/snapshot_1", "2025-03-04/snapshot_091500"}));
    EXPECT_EQ(service.loadHistory(dest)[1], listed) << "listed entries are taken as they are";
}

TEST_F(HistoryTest, UpdateKeepsDateOrderAndReplacesTheSameId)
{
    const auto first = record("2025-03-04/snapshot_091500", 0);
    onDisk(first);
    service.updateHistory(first, dest);
    EXPECT_EQ(historyFileIds(), Ids {first.id}) << "the scan found it, it is listed once";

    const auto second = record("2025-03-04/snapshot_101500", 60);
    service.updateHistory(second, dest);
    BackupSnapshot again = first;
    again.filesCount = 7; // same second, later run
    service.updateHistory(again, dest);
    const auto history = service.loadHistory(dest);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0], second) << "the list stays newest first by date, whatever was written last";
    EXPECT_EQ(history[1], again);
}

// A writer that only adds or drops entries copies the others as the text it read them as: an unknown
// member, another layout and each path list survive, and the list reads back whole.
TEST_F(HistoryTest, AWriteCarriesUntouchedEntriesOverAsTheyStand)
{
    const std::string compact = R"({"note":null,"id":"2025-03-04/snapshot_091500","createdAt":"2025-03-04T00:15:00Z",)"
                                R"("triggerType":"手動","filesCount":2,"totalSizeBytes":3,"extra":{"k":[1,"x"]},)"
                                R"("relativeFilePaths":["a\tb.md","日.md"]})";
    auto middle = record("2025-03-04/snapshot_101500", 60);
    middle.relativeFilePaths = {"one.md", "two.md"};
    writeText(dest / "history.json", "\xEF\xBB\xBF[ " + middle.encode() + " ,\n" + compact + "]");
    const auto read = service.loadHistory(dest);
    ASSERT_EQ(read.size(), 2u);

    const auto added = record("2025-03-05/snapshot_000000", 2000);
    ASSERT_TRUE(service.updateHistory(added, dest));
    const std::string text = readText(dest / "history.json");
    EXPECT_NE(text.find(compact), std::string::npos) << text;
    EXPECT_NE(text.find(middle.encode().substr(1)), std::string::npos) << text;
    EXPECT_EQ(service.loadHistory(dest), (std::vector<BackupSnapshot> {added, read[0], read[1]}));
    EXPECT_EQ(read[1].relativeFilePaths, (PathList {"a\tb.md", "\u65e5.md"})) << "checked against the reader";

    // Dropping the middle one keeps the other two whole as well.
    ASSERT_TRUE(service.cleanOldSnapshots(snapshots, 1).empty()) << "no folders: nothing to prune";
    const SnapshotStore store(dest);
    auto history = store.readListing();
    ASSERT_TRUE(history.listed);
    std::erase_if(history.snapshots, [&](const BackupSnapshot &s) { return s.id == middle.id; });
    ASSERT_TRUE(store.writeHistory(history));
    EXPECT_EQ(service.loadHistory(dest), (std::vector<BackupSnapshot> {added, read[1]}));
}

// Two entries under one id cannot be told apart by it: the list is then read and written whole, so
// neither loses its path list.
TEST_F(HistoryTest, EntriesSharingAnIdKeepTheirPathLists)
{
    auto a = record("2025-03-04/snapshot_091500", 0);
    auto b = a;
    b.relativeFilePaths = {"other.md"};
    b.createdAt += std::chrono::seconds(1);
    writeText(dest / "history.json", encodeSnapshotList({b, a}));
    const auto added = record("2025-03-05/snapshot_000000", 2000);
    ASSERT_TRUE(service.updateHistory(added, dest));
    EXPECT_EQ(service.loadHistory(dest), (std::vector<BackupSnapshot> {added, b, a}));
}

// history.json read as text must still be there to be copied; when it is not, the write fails and
// nothing half-copied replaces it.
TEST_F(HistoryTest, AWriteFailsWhenTheTextItCarriesCannotBeReadAgain)
{
    const auto a = record("2025-03-04/snapshot_091500", 0);
    writeText(dest / "history.json", encodeSnapshotList({a}));
    const SnapshotStore store(dest);
    auto history = store.readListing();
    ASSERT_TRUE(history.listed);
    SnapshotStore::insertByDate(history.snapshots, record("2025-03-05/snapshot_000000", 2000));
    fs::resize_file(dest / "history.json", 20); // the same file, cut short
    EXPECT_FALSE(store.writeHistory(history));
    EXPECT_FALSE(store.whole(history, history.snapshots.back()));
    EXPECT_EQ(fs::file_size(dest / "history.json"), 20u) << "the file was not replaced";
}

TEST_F(HistoryTest, DamagedHistoryIsRebuiltAndKeptOnce)
{
    const auto a = record("2025-03-04/snapshot_091500", 0);
    const auto b = record("2025-03-04/snapshot_101500", 60);
    onDisk(a);
    onDisk(b);
    const std::string torn = encodeSnapshotList({b, a}).substr(0, 80);
    writeText(dest / "history.json", torn);

    EXPECT_EQ(ids(service.loadHistory(dest)), (Ids {b.id, a.id}));
    EXPECT_EQ(readText(dest / "history.json"), torn) << "loading leaves the damaged file alone";

    const auto c = record("2025-03-04/snapshot_111500", 120);
    onDisk(c);
    service.updateHistory(c, dest);
    EXPECT_EQ(historyFileIds(), (Ids {c.id, b.id, a.id}));
    EXPECT_EQ(readText(dest / "history.json.damaged"), torn);
}

TEST_F(HistoryTest, RetentionRemovesOldestFoldersAndTheirHistoryEntries)
{
    std::vector<BackupSnapshot> all;
    for (int i = 0; i < 5; ++i) {
        // Two days: the first two snapshots share day 1.
        const std::string id = (i < 2 ? "2025-03-01" : "2025-03-02") + std::string("/snapshot_0") + char('0' + i);
        all.push_back(record(id, i));
        onDisk(all.back());
        service.updateHistory(all.back(), dest);
    }
    // A snapshot known only to the history (folder gone long ago) stays listed.
    service.updateHistory(record("1999-01-01/snapshot_gone", -1000), dest);

    const auto removed = service.cleanOldSnapshots(snapshots, 3);
    EXPECT_EQ(removed, (Ids {all[1].id, all[0].id}));
    EXPECT_FALSE(fs::exists(snapshots / "2025-03-01")) << "an emptied day folder goes too";
    EXPECT_TRUE(fs::exists(snapshots / all[2].id));
    EXPECT_EQ(historyFileIds(), (Ids {all[4].id, all[3].id, all[2].id, "1999-01-01/snapshot_gone"}));

    EXPECT_TRUE(service.cleanOldSnapshots(snapshots, 3).empty());
    EXPECT_TRUE(service.cleanOldSnapshots(snapshots, 0).empty());
    EXPECT_TRUE(service.cleanOldSnapshots(snapshots, -1).empty());
}

// Over the limit, a snapshot that holds the same files as the next newer one goes first, whether the
// copies share an inode or only their bytes; an edit that keeps the size is still a version of its own.
// Only then does the oldest go, unless it must stay.
TEST_F(HistoryTest, RetentionRemovesCopiesBeforeVersions)
{
    std::vector<BackupSnapshot> all;
    for (const char *text : {"x", "y", "y", "y", "y"}) {
        all.push_back(record("2025-03-01/snapshot_0" + std::to_string(all.size()), int(all.size())));
        onDisk(all.back());
        writeText(snapshots / all.back().id / "data/GEMINI.md", text);
    }
    // The newest holds the same bytes under another list of paths: a version of its own.
    all.back().relativeFilePaths = {"GEMINI.md", "extra.md"};
    writeText(snapshots / all.back().id / "snapshot.json", all.back().encode());
    writeText(snapshots / all.back().id / "data/extra.md", "e");
    fs::remove(snapshots / all[3].id / "data/GEMINI.md");
    fs::create_hard_link(snapshots / all[2].id / "data/GEMINI.md", snapshots / all[3].id / "data/GEMINI.md");

    EXPECT_EQ(service.cleanOldSnapshots(snapshots, 3), (Ids {all[2].id, all[1].id}));
    EXPECT_EQ(readText(snapshots / all[0].id / "data/GEMINI.md"), "x");
    EXPECT_EQ(readText(snapshots / all[3].id / "data/GEMINI.md"), "y");
    // The oldest that must stay is not replaced by a newer version.
    EXPECT_EQ(service.cleanOldSnapshots(snapshots, 2, {all[0].id}), Ids {});
    EXPECT_EQ(service.cleanOldSnapshots(snapshots, 2, {all[4].id}), Ids {all[0].id});
}

TEST_F(HistoryTest, RetentionKeepsScanOrderForEqualDatesAndDayFoldersWithStrays)
{
    onDisk(record("2025-03-01/snapshot_A", 0));
    onDisk(record("2025-03-01/snapshot_B", 0));
    writeText(snapshots / "2025-03-01/.DS_Store", "");
    EXPECT_EQ(service.cleanOldSnapshots(snapshots, 1), Ids {"2025-03-01/snapshot_B"});
    EXPECT_TRUE(fs::exists(snapshots / "2025-03-01/snapshot_A"));

    onDisk(record("2025-03-02/snapshot_C", 5));
    writeText(snapshots / "2025-03-01/stray.txt", "");
    fs::remove(snapshots / "2025-03-01/.DS_Store");
    EXPECT_EQ(service.cleanOldSnapshots(snapshots, 1), Ids {"2025-03-01/snapshot_A"});
    EXPECT_TRUE(fs::exists(snapshots / "2025-03-01/stray.txt")) << "a stray file keeps its day folder";
}

TEST_F(HistoryTest, RetentionNeverFollowsIdsOutOfTheStore)
{
    const fs::path victim = root / "victim";
    writeText(victim / "precious.txt", "keep me");
    fs::create_directories(snapshots);
    fs::create_symlink(root, snapshots / "link");

    onDisk(record("2025-03-02/snapshot_new", 100));
    onDisk(record("../../victim", 0), "2025-03-01/snapshot_a");
    onDisk(record(victim.string(), 1), "2025-03-01/snapshot_b");
    onDisk(record("link/victim", 2), "2025-03-01/snapshot_c");
    onDisk(record("", 3), "2025-03-01/snapshot_d");
    // Written as "..\u0000": the system call would see "snapshots/..", the destination itself.
    const BackupSnapshot nul = record(std::string("..\0", 3), 4);
    onDisk(nul, "2025-03-01/snapshot_e");
    writeText(dest / "history.json", encodeSnapshotList({nul}));

    EXPECT_TRUE(service.cleanOldSnapshots(snapshots, 1).empty());
    (void)service.deleteSnapshot(nul, dest); // may drop the record; never removes a folder outside
    EXPECT_EQ(readText(victim / "precious.txt"), "keep me");
    EXPECT_TRUE(fs::exists(snapshots / "2025-03-02/snapshot_new"));
    EXPECT_TRUE(fs::exists(snapshots / "2025-03-01/snapshot_a"));
    EXPECT_TRUE(fs::exists(snapshots / "2025-03-01/snapshot_e"));

    EXPECT_TRUE(SnapshotStore::isSafeSnapshotId("2025-03-01/snapshot_091500"));
    using namespace std::string_literals; // the NULs count
    for (const auto &bad : std::vector<std::string> {
             "", "/abs", "a/../b", "..", "a//b", "./a", "a/", "a/.", "..\0"s, "a\0/b"s, "a\x1f", "a\nb", "a\x7f"})
        EXPECT_FALSE(SnapshotStore::isSafeSnapshotId(bad)) << bad;
    EXPECT_TRUE(SnapshotStore::isSafeSnapshotId("2025-03-01/snapshot \u00e9~"));
}

TEST_F(HistoryTest, SnapshotFolderFallsBackToTheFlatForm)
{
    onDisk(record("2025-03-04/snapshot_091500", 0), "snapshot_091500");
    EXPECT_EQ(SnapshotStore(snapshots.parent_path()).snapshotFolder("2025-03-04/snapshot_091500"),
        snapshots / "snapshot_091500");
    EXPECT_EQ(service.cleanOldSnapshots(snapshots, 1), Ids {});
    onDisk(record("2025-03-05/snapshot_000000", 10));
    EXPECT_EQ(service.cleanOldSnapshots(snapshots, 1), Ids {"2025-03-04/snapshot_091500"});
    EXPECT_FALSE(fs::exists(snapshots / "snapshot_091500"));
    EXPECT_TRUE(fs::exists(snapshots)) << "the store itself is never removed as an empty day folder";
}
