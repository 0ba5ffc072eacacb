#include "Views/Backups/BackupHistoryView.h"
#include "AppStateFixture.h"
#include "Services/StoreLock.h"
#include "Views/Common/ViewStyle.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace velkaro::test {
namespace {

using namespace std::chrono_literals;

// The page over a real AppState; the alert and the delete question are answered by the test.
class BackupHistoryViewTest : public AppStateFixture
{
protected:
    BackupHistoryView &open(bool realConfirm = false)
    {
        view = std::make_unique<BackupHistoryView>(*state);
        view->setAlertFunction([this](QWidget *, const QString &title, const QString &message) {
            alerts.push_back(title + QStringLiteral("|") + message);
        });
        if (!realConfirm) {
            view->setConfirmFunction([this](QWidget *, const BackupSnapshot &s) {
                asked.push_back(s.id);
                return confirmAnswer;
            });
        }
        view->setRestoreConfirmFunction([this](QWidget *, const BackupSnapshot &s, RestoreScopeOption scope) {
            restoreAsked.push_back(s.id + "|" + std::string(rawValue(scope)));
            return restoreAnswer;
        });
        view->resize(680, 560);
        view->show();
        return *view;
    }

    void TearDown() override
    {
        view.reset();
        AppStateFixture::TearDown();
    }

    std::string selectedId() const { return view->selectedSnapshot() ? view->selectedSnapshot()->id : "<none>"; }
    Badge *badge(int row) const { return view->list()->itemWidget(view->list()->item(row))->findChild<Badge *>(); }

    std::unique_ptr<BackupHistoryView> view;
    std::vector<QString> alerts;
    std::vector<std::string> asked;
    bool confirmAnswer = true;
    std::vector<std::string> restoreAsked;
    bool restoreAnswer = true;
};

TEST_F(BackupHistoryViewTest, EmptyHistoryThenOpeningSelectsNewest)
{
    start();
    BackupHistoryView &page = open();
    EXPECT_EQ(page.headerLabel()->text(), QStringLiteral("バックアップ履歴 (0)"));
    EXPECT_TRUE(page.emptyState()->isVisible());
    EXPECT_TRUE(page.hintLabel()->isVisible());
    EXPECT_FALSE(page.selectedSnapshot());

    view.reset();
    manualBackups(3);
    BackupHistoryView &again = open();
    EXPECT_EQ(again.headerLabel()->text(), QStringLiteral("バックアップ履歴 (3)"));
    EXPECT_EQ(again.selectedSnapshot(), state->snapshots().front());
    EXPECT_EQ(again.list()->currentRow(), 0);
    EXPECT_EQ(again.idLabel()->text(), qs(state->snapshots().front().id));
    EXPECT_TRUE(again.idLabel()->isVisible());
}

// Deleting asks first; whichever snapshot goes, the newest remaining one is shown next. A refresh
// never moves the selection.
TEST_F(BackupHistoryViewTest, SelectionAfterDeleteAndRefresh)
{
    start();
    manualBackups(4);
    const SnapshotList made = state->snapshots();
    BackupHistoryView &page = open();

    page.list()->setCurrentRow(2);
    EXPECT_EQ(selectedId(), made[2].id);
    confirmAnswer = false;
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    EXPECT_EQ(asked, std::vector<std::string> {made[2].id});
    EXPECT_EQ(state->snapshots(), made); // cancel keeps everything
    EXPECT_EQ(selectedId(), made[2].id);

    confirmAnswer = true;
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton); // an older one
    settle();
    EXPECT_EQ(state->snapshots().size(), 3u);
    EXPECT_EQ(selectedId(), made[0].id);
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton); // the newest
    settle();
    EXPECT_EQ(selectedId(), made[1].id);
    EXPECT_EQ(page.list()->currentRow(), 0);

    page.list()->setCurrentRow(1);
    QTest::mouseClick(page.refreshButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(selectedId(), made[3].id);
    EXPECT_EQ(page.list()->currentRow(), 1);

    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    settle();
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    settle();
    EXPECT_TRUE(state->snapshots().empty());
    EXPECT_FALSE(page.selectedSnapshot());
    EXPECT_TRUE(page.hintLabel()->isVisible());
    EXPECT_TRUE(page.emptyState()->isVisible());
}

TEST_F(BackupHistoryViewTest, BadgeColoursAndFileIcons)
{
    writeText(src / "notes/UPPER.MD", "x");
    config.targetExtensions.push_back("MD");
    start();
    manualBackups(1);
    state->executeScheduledBackup();
    settle();
    BackupHistoryView &page = open();
    EXPECT_EQ(badge(0)->text(), QStringLiteral("定期自動"));
    EXPECT_EQ(badge(0)->tint(), Tint::green);
    EXPECT_EQ(badge(1)->text(), QStringLiteral("手動"));
    EXPECT_EQ(badge(1)->tint(), Tint::blue);

    const BackupSnapshot &shown = *page.selectedSnapshot();
    ASSERT_EQ(page.fileList()->count(), int(shown.relativeFilePaths.size()));
    EXPECT_EQ(
        page.filesHeader()->text(), QStringLiteral("含まれるファイル (%1 件)").arg(shown.relativeFilePaths.size()));
    std::map<QString, int> tints;
    for (int i = 0; i < page.fileList()->count(); ++i)
        tints[page.fileList()->item(i)->text()]
            = page.fileList()->item(i)->data(BackupHistoryView::FileTintRole).toInt();
    EXPECT_EQ(tints.at(QStringLiteral("GEMINI.md")), int(Tint::blue));
    EXPECT_EQ(tints.at(QStringLiteral("settings.json")), int(Tint::secondary));
    ASSERT_TRUE(tints.count(QStringLiteral("notes/UPPER.MD")));
    EXPECT_EQ(tints.at(QStringLiteral("notes/UPPER.MD")), int(Tint::secondary));
}

// The chosen scope reaches the restore; the button stays busy until the completion, then the alert
// tells the outcome. The safety snapshot shows an orange badge, and the selection stays.
TEST_F(BackupHistoryViewTest, RestoreWithScopeBusyButtonAndAlerts)
{
    start(1500ms);
    manualBackups(1);
    const BackupSnapshot made = state->snapshots().front();
    writeText(src / "GEMINI.md", "changed");
    writeText(src / "settings.json", "{\"changed\":1}");
    BackupHistoryView &page = open();
    ASSERT_EQ(page.scopeButtons().size(), 3u);
    EXPECT_EQ(page.scopeButtons()[1]->text(), QStringLiteral("Markdown (.md) プロンプトのみ"));
    QTest::mouseClick(page.scopeButtons()[1], Qt::LeftButton);
    EXPECT_EQ(page.selectedRestoreScope(), RestoreScopeOption::markdownOnly);

    // Asked first, naming the snapshot and the scope; キャンセル restores nothing.
    restoreAnswer = false;
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    EXPECT_EQ(restoreAsked, std::vector<std::string> {made.id + "|Markdown (.md) プロンプトのみ"});
    EXPECT_FALSE(page.isRestoring());
    settle();
    EXPECT_EQ(state->snapshots().size(), 1u) << "no safety snapshot either";
    EXPECT_EQ(readText(src / "GEMINI.md"), "changed");
    EXPECT_TRUE(alerts.empty());

    restoreAnswer = true;
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    EXPECT_TRUE(page.isRestoring());
    EXPECT_FALSE(page.restoreButton()->isEnabled());
    EXPECT_EQ(page.restoreButton()->text(), QStringLiteral("復元中..."));
    EXPECT_TRUE(page.isRestoreSpinnerShown());
    EXPECT_TRUE(page.deleteButton()->isEnabled());
    settle();
    EXPECT_EQ(alerts, std::vector<QString> {QStringLiteral("復元結果|正常に復元が完了したよ！")});
    EXPECT_EQ(page.restoreButton()->text(), QStringLiteral("復元を実行"));
    EXPECT_TRUE(page.restoreButton()->isEnabled());
    EXPECT_FALSE(page.isRestoreSpinnerShown());
    EXPECT_EQ(readText(src / "GEMINI.md"), "# rules");
    EXPECT_EQ(readText(src / "settings.json"), "{\"changed\":1}"); // outside the scope
    EXPECT_EQ(page.selectedSnapshot(), made);
    EXPECT_EQ(badge(0)->text(), QStringLiteral("復元前自動退避"));
    EXPECT_EQ(badge(0)->tint(), Tint::orange);

    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    EXPECT_EQ(page.restoreButton()->text(), QStringLiteral("復元中..."));
    settle();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[1], QStringLiteral("復元結果|復元中にエラーが発生しました。"));
    EXPECT_TRUE(page.restoreButton()->isEnabled());
    EXPECT_EQ(status(), "復元エラー: 別の処理がバックアップ先を使用中です");
}

// A restore that could not write every chosen file tells both counts in its result alert.
TEST_F(BackupHistoryViewTest, APartialRestoreIsToldInTheAlert)
{
    start(1500ms);
    writeText(src / "sub/notes.md", "n");
    manualBackups(1);
    fs::remove_all(src / "sub");
    fs::create_directory_symlink(root, src / "sub"); // the restore must not write through it
    BackupHistoryView &page = open();
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(alerts,
        std::vector<QString> {
            QStringLiteral("復元結果|2 件のファイルを正常に復元しました！、1 件は復元できませんでした")});
    EXPECT_EQ(status(), "2 件のファイルを正常に復元しました！、1 件は復元できませんでした");
    EXPECT_FALSE(fs::exists(root / "notes.md"));
}

// The selection is the snapshot's id: a restore and a reload that bring back the record changed keep it
// selected and shown as it now is; a reload without it clears the detail with the selection.
TEST_F(BackupHistoryViewTest, SelectionFollowsTheIdAcrossRestoreAndReload)
{
    start();
    manualBackups(3);
    const std::string id = state->snapshots()[1].id;
    BackupHistoryView &page = open();
    page.list()->setCurrentRow(1);
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    settle();
    ASSERT_EQ(state->snapshots().size(), 4u); // the safety snapshot came first
    EXPECT_EQ(selectedId(), id);
    EXPECT_EQ(page.list()->currentRow(), 2);
    EXPECT_EQ(page.list()->selectedItems().size(), 1);

    // The history file now says something else about the selected snapshot.
    const fs::path history = dest / "history.json";
    std::string text = readText(history);
    const std::string files = "\"filesCount\": " + std::to_string(state->snapshots()[2].filesCount);
    std::string quoted = id; // the store writes "/" as "\/"
    for (std::size_t slash = quoted.find('/'); slash != std::string::npos; slash = quoted.find('/', slash + 2))
        quoted.insert(slash, 1, '\\');
    const auto at = text.find(files, text.find(quoted));
    ASSERT_NE(at, std::string::npos);
    text.replace(at, files.size(), "\"filesCount\": 77");
    writeText(history, text);
    QTest::mouseClick(page.refreshButton(), Qt::LeftButton);
    settle();
    ASSERT_EQ(state->snapshots()[2].filesCount, 77);
    EXPECT_EQ(page.selectedSnapshot(), state->snapshots()[2]);
    EXPECT_EQ(page.list()->currentRow(), 2);
    EXPECT_EQ(page.idLabel()->text(), qs(id));

    // Gone from the store: nothing stays selected and the detail gives way to the hint.
    (void)BackupService().deleteSnapshot(state->snapshots()[2], dest);
    QTest::mouseClick(page.refreshButton(), Qt::LeftButton);
    settle();
    ASSERT_EQ(state->snapshots().size(), 3u);
    EXPECT_FALSE(page.selectedSnapshot());
    EXPECT_EQ(page.list()->currentRow(), -1);
    EXPECT_TRUE(page.list()->selectedItems().isEmpty());
    EXPECT_TRUE(page.hintLabel()->isVisible());
}

// A deletion that the store refuses leaves the snapshot listed and shown; the banner's message says why.
TEST_F(BackupHistoryViewTest, RefusedDeleteKeepsTheView)
{
    start();
    manualBackups(2);
    const SnapshotList made = state->snapshots();
    BackupHistoryView &page = open();
    page.list()->setCurrentRow(1);
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(state->snapshots(), made);
    EXPECT_EQ(page.list()->count(), 2);
    EXPECT_EQ(selectedId(), made[1].id);
    EXPECT_EQ(page.list()->currentRow(), 1);
    EXPECT_EQ(status(), "削除失敗: 別の処理がバックアップ先を使用中です");
}

// The real question: its buttons, "キャンセル" as the default, and nothing deleted on cancel.
TEST_F(BackupHistoryViewTest, DeleteQuestionDefaultsToCancel)
{
    start();
    manualBackups(1);
    BackupHistoryView &page = open(true);
    QString text, details, defaultButton;
    QStringList buttons;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        text = box->text();
        details = box->informativeText();
        for (QAbstractButton *button : box->buttons())
            buttons << button->text();
        defaultButton = box->defaultButton()->text();
        QTest::keyClick(box, Qt::Key_Return);
    });
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    EXPECT_EQ(text, QStringLiteral("スナップショットを削除しますか？"));
    EXPECT_TRUE(details.contains(qs(state->snapshots().front().id)));
    EXPECT_TRUE(details.contains(qs(state->snapshots().front().formattedDate())));
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList {QStringLiteral("キャンセル"), QStringLiteral("削除")}));
    EXPECT_EQ(defaultButton, QStringLiteral("キャンセル"));
    EXPECT_EQ(state->snapshots().size(), 1u);
}

} // namespace
} // namespace velkaro::test
