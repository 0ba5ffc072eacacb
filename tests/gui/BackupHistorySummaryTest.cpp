// The rows' summaries of what changed since the snapshot before, compared in the background.
#include "BackupHistoryFixture.h"

#include <QListWidget>
#include <QSignalSpy>
#include <QTest>

namespace velkaro::test {
namespace {

// Each row tells what changed since the row below it, once the comparison has come back; the oldest
// row has nothing to compare with.
TEST_F(BackupHistoryViewTest, RowSummariesAgainstTheOlderSnapshot)
{
    start();
    manualBackups(1);
    writeText(src / "notes.md", "new");
    writeText(src / "GEMINI.md", "# rules, longer");
    fs::remove(src / "settings.json");
    manualBackups(2); // the second takes the very same files
    open();
    // Nothing is shown before it is known: no "変更なし" that then turns into counts.
    EXPECT_EQ(summary(0), QString());
    EXPECT_EQ(summary(1), QString());
    ASSERT_TRUE(waitUntil([&] { return !summary(0).isEmpty() && !summary(1).isEmpty(); }));
    EXPECT_EQ(summary(0), QStringLiteral("変更なし"));
    EXPECT_EQ(summary(1), QStringLiteral("+1 ~1 \u22121"));
    EXPECT_EQ(summary(2), QString());
    EXPECT_EQ(rowData(1, Qt::AccessibleTextRole).toString(),
        QStringLiteral("2025/03/04 09:00:02 手動 2 ファイル • 18 バイト • +1 ~1 \u22121"));

    // A new snapshot on top: the old rows keep their summaries, the new one gets its own.
    writeText(src / "more.md", "more");
    writeText(src / "other.md", "other");
    manualBackups(1);
    EXPECT_EQ(summary(1), QStringLiteral("変更なし"));
    ASSERT_TRUE(waitUntil([&] { return !summary(0).isEmpty(); }));
    EXPECT_EQ(summary(0), QStringLiteral("+2 ~0 \u22120"));
}

// Only the rows on screen are compared; scrolling brings the others in.
TEST_F(BackupHistoryViewTest, SummariesOnlyForTheRowsShown)
{
    start();
    manualBackups(30);
    BackupHistoryView &page = open();
    ASSERT_TRUE(waitUntil([&] { return !summary(0).isEmpty(); }));
    const auto [first, last] = page.list()->shownRows();
    ASSERT_EQ(first, 0);
    ASSERT_LT(last, 20);
    ASSERT_TRUE(waitUntil([&] { return !summary(last).isEmpty(); }));
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    EXPECT_EQ(summary(last + 1), QString());
    EXPECT_EQ(summary(28), QString());
    EXPECT_FALSE(state->changeSummary({state->snapshots()[29].id, state->snapshots()[28].id}));

    page.list()->scrollToBottom();
    ASSERT_TRUE(waitUntil([&] { return !summary(28).isEmpty(); }));
    EXPECT_EQ(summary(28), QStringLiteral("変更なし"));
    EXPECT_EQ(summary(29), QString());
}

// A comparison that comes back after the history changed is dropped, and a pair of the new history
// is still answered.
TEST_F(BackupHistoryViewTest, ASummaryForAnOlderHistoryIsDropped)
{
    start();
    manualBackups(3);
    const SnapshotList made = state->snapshots();
    QSignalSpy ready(state.get(), &AppState::changeSummaryReady);
    const AppState::SnapshotPair gone {made[1].id, made[0].id};
    state->requestChangeSummaries({gone});
    // Another store empties the list at once, before the comparison can come back.
    BackupConfig edited = state->config();
    edited.destinationDirectory = (root / "elsewhere").string();
    state->setConfig(edited);
    ASSERT_TRUE(state->saveConfig());
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    EXPECT_EQ(ready.count(), 0);
    EXPECT_FALSE(state->changeSummary(gone));
    edited.destinationDirectory = dest.string();
    state->setConfig(edited);
    ASSERT_TRUE(state->saveConfig());
    settle();

    const AppState::SnapshotPair kept {made[2].id, made[1].id};
    state->requestChangeSummaries({kept});
    ASSERT_TRUE(ready.wait(5000));
    ASSERT_TRUE(state->changeSummary(kept));
    EXPECT_EQ(*state->changeSummary(kept), (AppState::ChangeSummary {0, 0, 0}));
}

} // namespace
} // namespace velkaro::test
