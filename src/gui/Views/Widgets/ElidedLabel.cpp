#include "Views/Widgets/ElidedLabel.h"

#include <QTextLayout>

#include <algorithm>

namespace velkaro {

ElidedLabel::ElidedLabel(QWidget *parent, Qt::TextElideMode mode, int maxLines)
    : QLabel(parent)
    , m_mode(mode)
    , m_maxLines(std::max(1, maxLines))
{
    setSizePolicy(QSizePolicy::Ignored, m_maxLines > 1 ? QSizePolicy::Fixed : QSizePolicy::Preferred);
    if (m_maxLines > 1)
        setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void ElidedLabel::setFullText(const QString &text)
{
    m_fullText = text;
    setToolTip(text);
    setAccessibleName(text);
    elide();
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {fontMetrics().averageCharWidth() * 4, sizeHint().height()};
}

QSize ElidedLabel::sizeHint() const
{
    const QMargins margins = contentsMargins();
    // Measured as drawn: Japanese text comes from a fallback font whose lines may be taller.
    const int height = m_maxLines > 1
        ? fontMetrics().boundingRect(QRect(0, 0, 100000, 100000), Qt::AlignLeft | Qt::AlignTop, text()).height()
            + margins.top() + margins.bottom()
        : QLabel::sizeHint().height();
    return {fontMetrics().horizontalAdvance(m_fullText), height};
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    elide();
}

// The lines `m_fullText` takes in `room`; the last allowed one is cut at its end when more would follow.
QString ElidedLabel::wrapped(int room, bool &cut) const
{
    QTextLayout layout(m_fullText, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(room);
        if (int(lines.size()) == m_maxLines - 1) {
            const QString rest = m_fullText.mid(line.textStart());
            const QString last = fontMetrics().elidedText(rest, Qt::ElideRight, room);
            cut = last != rest;
            lines << last;
            break;
        }
        lines << m_fullText.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines.join(QLatin1Char('\n'));
}

void ElidedLabel::elide()
{
    const int room = contentsRect().width();
    const int linesBefore = lineCount();
    bool cut = false;
    if (room <= 0)
        setText(m_fullText);
    else if (m_maxLines > 1)
        setText(wrapped(room, cut));
    else
        setText(fontMetrics().elidedText(m_fullText, m_mode, room));
    m_elided = room > 0 && (m_maxLines > 1 ? cut : text() != m_fullText);
    setAccessibleDescription(m_elided ? m_fullText : QString());
    if (lineCount() != linesBefore)
        updateGeometry();
}

} // namespace velkaro
