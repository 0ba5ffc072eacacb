#pragma once

// The history page over a real AppState, and its file pane.
#include "Services/StoreLock.h"
#include "ViewFixture.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Backups/FileDiffView.h"
#include "Views/Backups/FileVersionsPane.h"
#include "Views/Backups/SnapshotListModel.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Main/MainWindowView.h"

#include <QListWidget>
#include <QTextBlock>

#include <map>
#include <string>
#include <vector>

namespace velkaro::test {

// The page over a real AppState; the delete and restore questions are answered by the test.
class BackupHistoryViewTest : public ViewFixture<BackupHistoryView>
{
protected:
    BackupHistoryView &open(bool realConfirm = false)
    {
        make();
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
        view->setChosenRestoreConfirmFunction(
            [this](QWidget *, const BackupSnapshot &, const std::vector<std::string> &paths) {
                chosenAsked.push_back(paths);
                return restoreAnswer;
            });
        return show(680, 560);
    }

    std::string selectedId() const { return view->selectedSnapshot() ? view->selectedSnapshot()->id : "<none>"; }
    QVariant rowData(int row, int role) const { return view->listModel()->index(row).data(role); }
    QString trigger(int row) const { return rowData(row, SnapshotListModel::TriggerRole).toString(); }
    Tint tint(int row) const { return Tint(rowData(row, SnapshotListModel::TintRole).toInt()); }
    QString summary(int row) const { return rowData(row, SnapshotListModel::SummaryRole).toString(); }
    // The file list's row for `path`, -1 when it is not listed.
    int fileRow(const char *path) const
    {
        const auto found = view->fileList()->findItems(QString::fromUtf8(path), Qt::MatchExactly);
        return found.isEmpty() ? -1 : view->fileList()->row(found.front());
    }
    int fileData(const char *path, int role) const { return view->fileList()->item(fileRow(path))->data(role).toInt(); }

    std::vector<std::string> asked;
    bool confirmAnswer = true;
    std::vector<std::string> restoreAsked;
    std::vector<std::vector<std::string>> chosenAsked;
    bool restoreAnswer = true;
};

// The page's file pane: marks against now, the diff view, and the restore of chosen files.
class SnapshotFilesPaneTest : public BackupHistoryViewTest
{
protected:
    SnapshotFilesPane &pane() const { return *view->filesPane(); }
    int mark(const char *path) const { return fileData(path, SnapshotFilesPane::MarkRole); }
    // The diff view's lines by kind, once it shows something other than its waiting note.
    std::map<int, int> chooseAndCountLines(const char *path)
    {
        pane().fileList()->setCurrentRow(fileRow(path));
        EXPECT_TRUE(waitForDiff(*pane().diffView()));
        return linesByKind(*pane().diffView());
    }

    // Waits until `diff` shows something other than its waiting note.
    bool waitForDiff(const FileDiffView &diff)
    {
        return waitUntil([&] { return !diff.toPlainText().startsWith(QStringLiteral("読み込み中")); });
    }

    // How many lines of each kind `diff` shows.
    static std::map<int, int> linesByKind(const FileDiffView &diff)
    {
        std::map<int, int> kinds;
        for (QTextBlock b = diff.document()->firstBlock(); b.isValid(); b = b.next())
            ++kinds[b.userState()];
        return kinds;
    }

    // One manual backup per text, GEMINI.md holding that text (rewritten only when it differs): the
    // snapshots, newest first.
    SnapshotList backupEachText(const std::vector<std::string> &texts)
    {
        for (const std::string &text : texts) {
            if (readText(src / "GEMINI.md") != text)
                writeText(src / "GEMINI.md", text);
            manualBackups(1);
        }
        return state->snapshots();
    }
};

} // namespace velkaro::test
