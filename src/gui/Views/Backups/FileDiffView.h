#pragma once

#include "Services/CurrentFilesDiff.h"

#include <QPlainTextEdit>

#include <optional>

namespace velkaro {

// A read-only, monospaced view of one file's difference, snapshot against now: removed and added lines
// on tints of the palette, with the line numbers of both sides. Binary and large files show their sizes.
class FileDiffView : public QPlainTextEdit
{
    Q_OBJECT

public:
    // What a line of the view is; kept as the block's user state so that tests can read it.
    enum LineKind { note = 0, context = 1, removed = 2, added = 3, gap = 4 };

    explicit FileDiffView(QWidget *parent = nullptr);

    void showDiff(const CurrentFileDiff &diff);
    // A line of text in place of a diff (nothing chosen yet, or still reading).
    void showNote(const QString &text);

    // What the two sides are called in its notes: the older and the newer (by default the snapshot and now).
    void setSideNames(const QString &older, const QString &newer);

    // Background of removed and added lines: the palette's base with a little red or green in it.
    static QColor lineBackground(LineKind kind, const QPalette &palette);

protected:
    void changeEvent(QEvent *event) override;

private:
    void render();
    void appendLine(LineKind kind, const QString &text, const QString &gutter = {});
    void appendHunks(const CurrentFileDiff &diff);

    std::optional<CurrentFileDiff> m_diff;
    QString m_older = QStringLiteral("スナップショット");
    QString m_newer = QStringLiteral("いま");
    QString m_note;
    bool m_blank = true; // the document holds no line yet
};

} // namespace velkaro
