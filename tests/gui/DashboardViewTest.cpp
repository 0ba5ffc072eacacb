#include "Views/Dashboard/DashboardView.h"
#include "ViewFixture.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Backups/SnapshotListModel.h"
#include "Views/Backups/SnapshotListView.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Widgets/ActivatableCard.h"
#include "Views/Widgets/ElidedLabel.h"
#include "Views/Widgets/TintedIconLabel.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace velkaro::test {
namespace {

// The dashboard over a real AppState; folder openings are recorded instead of reaching the desktop.
class DashboardViewTest : public ViewFixture<DashboardView>
{
protected:
    DashboardView &open()
    {
        start();
        make().setUrlOpener([this](const QUrl &url) { opened.push_back(url); });
        return show(680, 560);
    }

    static QString cardText(const DashboardView &page, int index)
    {
        const auto &card = page.statusCard(index);
        return card.value->fullText() + QStringLiteral(" | ") + card.subtext->text();
    }

    std::vector<QUrl> opened;
};

// The page at rest: its cards, the schedule card following the saved interval, and the shortcuts.
TEST_F(DashboardViewTest, AtRest)
{
    config.sourceDirectories.push_back((root / "second").string());
    DashboardView &page = open();
    EXPECT_EQ(cardText(page, 0), QStringLiteral("未実行 | データなし"));
    // The fixture's clock stands at 10:00 and the interval is hourly.
    EXPECT_EQ(cardText(page, 1), QStringLiteral("1時間ごと | 次回: 11:00"));
    EXPECT_EQ(page.statusCard(1).icon->tint(), Tint::green);
    EXPECT_EQ(cardText(page, 2), QStringLiteral("0 世代 | 上限設定: 30 世代"));
    EXPECT_TRUE(page.recentRows().empty());
    EXPECT_TRUE(page.emptyHistoryLabel()->isVisible());
    EXPECT_EQ(page.backupButton()->text(), QStringLiteral("今すぐバックアップ"));
    EXPECT_TRUE(page.backupButton()->isEnabled());

    // The schedule card follows the saved interval.
    BackupConfig edited = state->config();
    for (const auto &[interval, text, tint] :
        {std::tuple {BackupInterval::disabled, "無効 (手動のみ) | 自動実行停止中", Tint::secondary},
            std::tuple {BackupInterval::everyThreeHours, "3時間ごと | 次回: 13:00", Tint::green}}) {
        edited.backupInterval = interval;
        state->setConfig(edited);
        state->saveConfig();
        EXPECT_EQ(cardText(page, 1), QString::fromUtf8(text));
        EXPECT_EQ(page.statusCard(1).icon->tint(), tint);
    }

    // The shortcuts open the destination and the first source only; no source, nothing opened.
    QTest::mouseClick(page.openBackupDirectoryButton(), Qt::LeftButton);
    QTest::mouseClick(page.openSourceDirectoryButton(), Qt::LeftButton);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(qs(dest.string())));
    EXPECT_EQ(opened[1], QUrl::fromLocalFile(qs(src.string())));
    edited.sourceDirectories.clear();
    state->setConfig(edited);
    QTest::mouseClick(page.openSourceDirectoryButton(), Qt::LeftButton);
    EXPECT_EQ(opened.size(), 2u);
}

// One snapshot fills the cards; five show exactly the three newest, newest first. The engine's clock
// starts at 2025-03-04 09:00:00 in Tokyo and moves on a second per run; the sources hold 7 + 2 bytes.
TEST_F(DashboardViewTest, CardsAndRecentRowsFollowTheHistory)
{
    DashboardView &page = open();
    manualBackups(1);
    EXPECT_EQ(cardText(page, 0), QStringLiteral("2025/03/04 09:00 | 2 ファイル (9 バイト)"));
    EXPECT_EQ(cardText(page, 2), QStringLiteral("1 世代 | 上限設定: 30 世代"));
    ASSERT_EQ(page.recentRows().size(), 1u);
    EXPECT_FALSE(page.emptyHistoryLabel()->isVisible());

    manualBackups(4);
    ASSERT_EQ(state->snapshots().size(), 5u);
    EXPECT_EQ(cardText(page, 2), QStringLiteral("5 世代 | 上限設定: 30 世代"));
    const auto rows = [&page] {
        QStringList shown;
        for (const auto &row : page.recentRows())
            shown << row.id->text() + QStringLiteral(" | ") + row.detail->text() + QStringLiteral(" | ")
                    + row.files->text();
        return shown;
    };
    EXPECT_EQ(rows(),
        QStringList({QStringLiteral("2025-03-04/snapshot_090005 | 2025/03/04 09:00:05 • 手動 | 2 ファイル • 9 バイト"),
            QStringLiteral("2025-03-04/snapshot_090004 | 2025/03/04 09:00:04 • 手動 | 2 ファイル • 9 バイト"),
            QStringLiteral("2025-03-04/snapshot_090003 | 2025/03/04 09:00:03 • 手動 | 2 ファイル • 9 バイト")}));
    for (const auto &row : page.recentRows())
        EXPECT_TRUE(row.frame->isVisible());

    // Deleting the newest brings the fourth newest up.
    ASSERT_TRUE(deleteNow(state->snapshots().front()));
    const QStringList after = rows();
    ASSERT_EQ(after.size(), 3);
    EXPECT_TRUE(after[0].startsWith(QStringLiteral("2025-03-04/snapshot_090004 ")));
    EXPECT_TRUE(after[2].startsWith(QStringLiteral("2025-03-04/snapshot_090002 ")));
    EXPECT_EQ(cardText(page, 2), QStringLiteral("4 世代 | 上限設定: 30 世代"));
}

// A snapshot's note (an apply's safety snapshot says which template) shows in its recent row and in the
// history list's row.
TEST_F(DashboardViewTest, ANoteShowsInTheRows)
{
    BackupSnapshot noted = recordedSnapshot("2025-03-01/snapshot_080200", 2);
    noted.triggerType = BackupTriggerType::preRestoreSafety;
    noted.note = "テンプレート「標準AIアシスタント」を適用する前";
    writeText(dest / "history.json", encodeSnapshotList({noted, recordedSnapshot("2025-03-01/snapshot_080100", 1)}));
    DashboardView &page = open();
    ASSERT_EQ(page.recentRows().size(), 2u);
    ASSERT_NE(page.recentRows()[0].note, nullptr);
    EXPECT_EQ(page.recentRows()[0].note->fullText().toStdString(), *noted.note);
    EXPECT_TRUE(page.recentRows()[0].note->isVisible());
    EXPECT_TRUE(page.recentRows()[0].frame->accessibleName().contains(QString::fromStdString(*noted.note)));
    EXPECT_EQ(page.recentRows()[1].note, nullptr);

    BackupHistoryView history(*state);
    const QAbstractItemModel &model = *history.list()->model();
    EXPECT_EQ(model.index(0, 0).data(SnapshotListModel::NoteRole).toString().toStdString(), *noted.note);
    EXPECT_TRUE(
        model.index(0, 0).data(Qt::AccessibleTextRole).toString().contains(QString::fromStdString(*noted.note)));
    EXPECT_TRUE(model.index(1, 0).data(SnapshotListModel::NoteRole).toString().isEmpty());
}

} // namespace
} // namespace velkaro::test
