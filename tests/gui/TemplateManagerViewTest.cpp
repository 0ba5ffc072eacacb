#include "Views/Templates/TemplateManagerView.h"
#include "Services/StoreLock.h"
#include "ViewFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

namespace velkaro::test {
namespace {

// The page over a real AppState; dialogs are recorded instead of shown.
class TemplateManagerViewTest : public ViewFixture<TemplateManagerView>
{
protected:
    TemplateManagerView &open()
    {
        start();
        make().setConfirmFunction([this](QWidget *, const QString &title, const QString &message) {
            ++confirms;
            lastConfirm = title + QStringLiteral("|") + message;
            return confirmAnswer;
        });
        view->setSaveQuestion([this](QWidget *, const QString &) {
            ++saveQuestions;
            return saveAnswer;
        });
        return show(860, 560);
    }

    int confirms = 0;
    QString lastConfirm;
    bool confirmAnswer = true;
    int saveQuestions = 0;
    SaveAnswer saveAnswer = SaveAnswer::cancel;
};

TEST_F(TemplateManagerViewTest, OpensOnAPresetCreateStoresAtOnceAndSaveKeepsPlace)
{
    TemplateManagerView &page = open();
    ASSERT_FALSE(state->templates().empty());
    EXPECT_EQ(page.selectedTemplateId(), state->templates().front().id);
    EXPECT_EQ(page.list()->count(), int(state->templates().size()));
    EXPECT_TRUE(page.list()->item(0)->text().contains(QStringLiteral("プリセット")));
    EXPECT_FALSE(page.deleteButton()->isVisible()) << "a preset cannot be deleted";

    const std::size_t before = state->templates().size();
    QTest::mouseClick(page.createButton(), Qt::LeftButton);
    ASSERT_EQ(state->templates().size(), before + 1);
    const PromptTemplate created = state->templates().back();
    EXPECT_EQ(created.title, "新規プロンプトテンプレート");
    EXPECT_EQ(page.selectedTemplateId(), created.id);
    EXPECT_TRUE(page.deleteButton()->isVisible());
    EXPECT_TRUE(alerts.empty());
    // Already in the library file, before any save.
    EXPECT_NE(readText(home / ".config/VelkaroAntigraviti_Backup/templates.json").find("新規プロンプトテンプレート"),
        std::string::npos);

    // A preset edited and saved stays a preset in its place, keeping its creation time.
    page.list()->setCurrentRow(0);
    const PromptTemplate preset = state->templates().front();
    page.titleField()->clear();
    EXPECT_EQ(page.headerLabel()->text(), QStringLiteral("テンプレート編集"));
    EXPECT_TRUE(page.unsavedMark()->isVisible());
    page.titleField()->setText(QStringLiteral("改題"));
    QTest::mouseClick(page.saveButton(), Qt::LeftButton);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], QStringLiteral("テンプレート操作|テンプレートを保存したよ！"));
    const PromptTemplate saved = state->templates().front();
    EXPECT_EQ(saved.id, preset.id);
    EXPECT_EQ(saved.title, "改題");
    EXPECT_TRUE(saved.isPresetTemplate);
    EXPECT_EQ(saved.createdAt, preset.createdAt);
    EXPECT_FALSE(page.unsavedMark()->isVisible());
    EXPECT_FALSE(page.deleteButton()->isVisible());
}

// Apply with unsaved edits asks first: キャンセル writes nothing, 破棄 applies the stored body and shows
// it again, 保存 applies the body shown.
TEST_F(TemplateManagerViewTest, ApplyWritesTheTextShown)
{
    TemplateManagerView &page = open();
    const PromptTemplate first = state->templates().front();
    const fs::path target = src / first.targetFileName;
    page.contentEditor()->setPlainText(QStringLiteral("未保存の本文"));
    QTest::mouseClick(page.applyButton(), Qt::LeftButton);
    EXPECT_EQ(saveQuestions, 1);
    EXPECT_EQ(readText(target), "# rules");
    EXPECT_TRUE(alerts.empty());

    // The apply runs in the background: the button waits for it, and the alert comes with the outcome.
    saveAnswer = SaveAnswer::discard;
    QTest::mouseClick(page.applyButton(), Qt::LeftButton);
    EXPECT_FALSE(page.applyButton()->isEnabled());
    EXPECT_TRUE(alerts.empty());
    settle();
    EXPECT_TRUE(page.applyButton()->isEnabled());
    EXPECT_EQ(readText(target), first.promptContent);
    EXPECT_EQ(page.contentEditor()->toPlainText().toStdString(), first.promptContent);
    EXPECT_EQ(alerts,
        std::vector<QString> {QStringLiteral("テンプレート操作|「標準AIアシスタント」を GEMINI.md に適用したよ！")});

    saveAnswer = SaveAnswer::save;
    page.contentEditor()->setPlainText(QStringLiteral("見えている本文"));
    QTest::mouseClick(page.applyButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(saveQuestions, 3);
    EXPECT_EQ(readText(target), "見えている本文");
    EXPECT_EQ(state->templates().front().promptContent, "見えている本文");
    EXPECT_FALSE(page.unsavedMark()->isVisible());

    // A failure tells its reason in full.
    page.list()->setCurrentRow(1);
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    QTest::mouseClick(page.applyButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(alerts.back(),
        QStringLiteral("テンプレート操作|適用に失敗しました。\n\n適用失敗: "
                       "上書き前のセーフティバックアップを作成できなかったため、適用を中止しました: "
                       "別の処理がバックアップ先を使用中です"));
    EXPECT_EQ(readText(target), "見えている本文");
}

// A row change by the arrow key asks; キャンセル keeps the row and the edits, 破棄 moves on and drops
// them, 保存 stores them. Without edits nothing is asked.
TEST_F(TemplateManagerViewTest, RowChangeAsksAboutUnsavedEdits)
{
    TemplateManagerView &page = open();
    const PromptTemplate first = state->templates().front();
    page.list()->setFocus();
    QTest::keyClick(page.list(), Qt::Key_Down);
    EXPECT_EQ(page.selectedTemplateId(), state->templates()[1].id);
    QTest::keyClick(page.list(), Qt::Key_Up);
    EXPECT_EQ(saveQuestions, 0);

    page.titleField()->setText(QStringLiteral("編集中"));
    QTest::keyClick(page.list(), Qt::Key_Down);
    drainEvents();
    EXPECT_EQ(saveQuestions, 1);
    EXPECT_EQ(page.selectedTemplateId(), first.id);
    EXPECT_EQ(page.list()->currentRow(), 0);
    EXPECT_EQ(page.titleField()->text(), QStringLiteral("編集中"));

    saveAnswer = SaveAnswer::discard;
    QTest::keyClick(page.list(), Qt::Key_Down);
    drainEvents();
    EXPECT_EQ(page.selectedTemplateId(), state->templates()[1].id);
    EXPECT_EQ(page.list()->currentRow(), 1);
    EXPECT_EQ(state->templates().front().title, first.title);

    saveAnswer = SaveAnswer::save;
    page.titleField()->setText(QStringLiteral("保存する題"));
    QTest::keyClick(page.list(), Qt::Key_Up);
    drainEvents();
    EXPECT_EQ(page.selectedTemplateId(), first.id);
    EXPECT_EQ(state->templates()[1].title, "保存する題");
    EXPECT_EQ(saveQuestions, 3);
}

// New, import and delete ask about unsaved edits too; キャンセル leaves the library and the edits as they
// were. Deleting asks first.
TEST_F(TemplateManagerViewTest, NewImportAndDeleteAsk)
{
    TemplateManagerView &page = open();
    page.createTemplate();
    const std::size_t count = state->templates().size();
    page.contentEditor()->setPlainText(QStringLiteral("編集中"));
    page.createTemplate();
    page.importTemplate();
    page.deleteTemplate();
    EXPECT_EQ(saveQuestions, 3);
    EXPECT_EQ(confirms, 0);
    EXPECT_EQ(state->templates().size(), count);
    EXPECT_EQ(page.contentEditor()->toPlainText(), QStringLiteral("編集中"));

    // Once the edits are dropped, deleting asks its own question, then shows the first template.
    saveAnswer = SaveAnswer::discard;
    confirmAnswer = false;
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    EXPECT_EQ(confirms, 1);
    EXPECT_EQ(lastConfirm.toStdString(), "テンプレート操作|テンプレート「新規プロンプトテンプレート」を削除しますか？");
    EXPECT_EQ(state->templates().size(), count);
    confirmAnswer = true;
    QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
    EXPECT_EQ(saveQuestions, 4);
    EXPECT_EQ(state->templates().size(), count - 1);
    EXPECT_EQ(page.selectedTemplateId(), state->templates().front().id);
}

TEST_F(TemplateManagerViewTest, ImportTwiceGivesTwoTemplatesAndMissingFileSaysSo)
{
    TemplateManagerView &page = open();
    QTest::mouseClick(page.importButton(), Qt::LeftButton);
    QTest::mouseClick(page.importButton(), Qt::LeftButton);
    EXPECT_EQ(std::ranges::count(state->templates(), std::string("取込: 現在のGEMINI.md"), &PromptTemplate::title), 2);
    EXPECT_EQ(page.selectedTemplateId(), state->templates().back().id);
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[1], QStringLiteral("テンプレート操作|現在の GEMINI.md をテンプレートとして取り込みました！"));

    fs::remove(src / "GEMINI.md");
    page.importTemplate();
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[2], QStringLiteral("テンプレート操作|GEMINI.md が見つかりませんでした。"));
}

// A library file that cannot be written is told instead of the success; the list has the edit.
TEST_F(TemplateManagerViewTest, AFailedWriteIsToldInsteadOfTheSuccess)
{
    TemplateManagerView &page = open();
    const fs::path folder = home / ".config/VelkaroAntigraviti_Backup";
    fs::remove_all(folder);
    writeText(folder, "not a folder");
    page.titleField()->setText(QStringLiteral("新しい題"));
    QTest::mouseClick(page.saveButton(), Qt::LeftButton);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_TRUE(alerts[0].startsWith(QStringLiteral("テンプレート操作|保存失敗: "))) << alerts[0].toStdString();
    EXPECT_EQ(state->templates().front().title, "新しい題");
    EXPECT_FALSE(page.unsavedMark()->isVisible());
}

} // namespace
} // namespace velkaro::test
