#include "Views/Backups/FileDiffView.h"

#include "Platform/Formatters.h"
#include "Views/Common/Palette.h"
#include "Views/Common/Strings.h"
#include "Views/Common/Typography.h"

#include <QEvent>
#include <QLocale>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextOption>

#include <algorithm>

namespace velkaro {
namespace {

QColor blend(const QColor &base, const QColor &hue, float amount)
{
    return QColor::fromRgbF(base.redF() * (1 - amount) + hue.redF() * amount,
        base.greenF() * (1 - amount) + hue.greenF() * amount, base.blueF() * (1 - amount) + hue.blueF() * amount);
}

// A size as the user reads it; exact bytes when the rounded figure would not tell it from `other`.
QString sizeText(const std::optional<std::int64_t> &size, const std::optional<std::int64_t> &other)
{
    if (!size)
        return QStringLiteral("なし");
    if (other && *other != *size && formatByteCount(*other) == formatByteCount(*size))
        return QLocale(QLocale::Japanese).toString(qlonglong(*size)) + QStringLiteral(" バイト");
    return qs(formatByteCount(*size));
}

// A line's own text without its line end.
QString lineText(const std::string &text)
{
    std::string_view view = text;
    if (view.ends_with('\n'))
        view.remove_suffix(1);
    if (view.ends_with('\r')) // a CRLF file: the carriage return would show as a box
        view.remove_suffix(1);
    return qs(view);
}

} // namespace

FileDiffView::FileDiffView(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFont(styledFont(QFont(), TextStyle::body, true));
    setAccessibleName(QStringLiteral("いまとの違い"));
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

QColor FileDiffView::lineBackground(LineKind kind, const QPalette &palette)
{
    const QColor base = palette.color(QPalette::Base);
    if (kind == removed)
        return blend(base, tintColor(Tint::red, palette), 0.2f);
    if (kind == added)
        return blend(base, tintColor(Tint::green, palette), 0.2f);
    return base;
}

void FileDiffView::showDiff(const CurrentFileDiff &diff)
{
    m_diff = diff;
    m_note.clear();
    render();
}

void FileDiffView::setSideNames(const QString &older, const QString &newer)
{
    m_older = older;
    m_newer = newer;
    render();
}

void FileDiffView::showNote(const QString &text)
{
    m_diff.reset();
    m_note = text;
    render();
}

void FileDiffView::changeEvent(QEvent *event)
{
    QPlainTextEdit::changeEvent(event);
    // The tints come from the palette: a switch to a dark theme paints them again.
    if (event->type() == QEvent::PaletteChange)
        render();
}

void FileDiffView::appendLine(LineKind kind, const QString &text, const QString &gutter)
{
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    if (!m_blank)
        cursor.insertBlock();
    m_blank = false;
    QTextBlockFormat block;
    const QColor background = lineBackground(kind, palette());
    block.setBackground(background);
    cursor.setBlockFormat(block);
    // Line numbers and notes in the dimmed colour, kept readable on the line's tint.
    QTextCharFormat dim;
    dim.setForeground(readableOn(tintColor(Tint::secondary, palette()), background));
    QTextCharFormat plain;
    plain.setForeground(palette().color(QPalette::Text));
    if (!gutter.isEmpty())
        cursor.insertText(gutter, dim);
    cursor.insertText(text, kind == note || kind == gap ? dim : plain);
    cursor.block().setUserState(kind);
}

void FileDiffView::render()
{
    clear();
    m_blank = true;
    if (!m_diff) {
        if (!m_note.isEmpty())
            appendLine(note, m_note);
        return;
    }
    const CurrentFileDiff &d = *m_diff;
    switch (d.kind) {
    case CurrentFileDiff::Kind::unavailable:
        appendLine(note, QStringLiteral("スナップショットにこのファイルのデータが見つからないよ。"));
        return;
    case CurrentFileDiff::Kind::binary:
    case CurrentFileDiff::Kind::tooLarge:
        appendLine(note,
            d.kind == CurrentFileDiff::Kind::binary
                ? QStringLiteral("バイナリファイルだから、中身の違いは出さないよ。")
                : QStringLiteral("1 MB を超えるファイルだから、中身の違いは出さないよ。"));
        appendLine(note, m_older + QStringLiteral(": ") + sizeText(d.snapshotSize, d.currentSize));
        appendLine(note, m_newer + QStringLiteral(": ") + sizeText(d.currentSize, d.snapshotSize));
        // Equal sizes tell nothing: say whether the bytes differ, where they were read.
        if (d.sameContent && d.snapshotSize == d.currentSize)
            appendLine(note,
                *d.sameContent ? QStringLiteral("中身も同じだよ。") : QStringLiteral("同じサイズで中身が違うよ。"));
        return;
    case CurrentFileDiff::Kind::text:
        break;
    }
    const bool againstNow = m_newer == QStringLiteral("いま");
    if (!d.currentSize && againstNow)
        appendLine(note, QStringLiteral("いまはこのファイルがないよ。スナップショットの中身をぜんぶ赤で出してるよ。"));
    else if (d.hunks.empty() && againstNow)
        appendLine(note, QStringLiteral("いまのファイルと同じだよ。違いはないよ。"));
    else if (d.hunks.empty())
        appendLine(note, m_older + QStringLiteral("と同じだよ。違いはないよ。"));
    appendHunks(d);
    moveCursor(QTextCursor::Start);
}

void FileDiffView::appendHunks(const CurrentFileDiff &diff)
{
    std::size_t widest = 1;
    for (const DiffHunk &hunk : diff.hunks) {
        for (const DiffLine &line : hunk.lines)
            widest = std::max({widest, line.oldNumber, line.newNumber});
    }
    const int width = int(QString::number(widest).size());
    // The sign and the text start at fixed tab stops: spaces before Japanese text may be drawn in
    // another font, which would shift a line against its neighbours.
    const qreal digit = fontMetrics().horizontalAdvance(QLatin1Char('0'));
    QTextOption option = document()->defaultTextOption();
    option.setTabs({QTextOption::Tab(digit * (2 * width + 3), QTextOption::LeftTab),
        QTextOption::Tab(digit * (2 * width + 5), QTextOption::LeftTab)});
    document()->setDefaultTextOption(option);
    const auto number
        = [width](std::size_t n) { return n ? QStringLiteral("%1").arg(n, width) : QString(width, QLatin1Char(' ')); };
    std::size_t oldSeen = 0;
    for (const DiffHunk &hunk : diff.hunks) {
        // Lines left out between hunks (or before the first) stand as one dimmed mark.
        if (hunk.oldStart > oldSeen)
            appendLine(gap, QStringLiteral("\t\t⋯"));
        for (const DiffLine &line : hunk.lines) {
            const QChar sign = line.kind == DiffLine::Kind::added ? QLatin1Char('+')
                : line.kind == DiffLine::Kind::removed            ? QLatin1Char('-')
                                                                  : QLatin1Char(' ');
            const LineKind kind = line.kind == DiffLine::Kind::added ? added
                : line.kind == DiffLine::Kind::removed               ? removed
                                                                     : context;
            appendLine(kind, QString(sign) + QLatin1Char('\t') + lineText(line.text),
                number(line.oldNumber) + QStringLiteral("  ") + number(line.newNumber) + QLatin1Char('\t'));
            if (line.oldNumber)
                oldSeen = line.oldNumber;
        }
    }
}

} // namespace velkaro
