#pragma once

#include <QLabel>

namespace velkaro {

// Text on at most `maxLines` lines (wrapped anywhere, as Japanese text breaks), cut with an ellipsis
// only beyond them; the full text stays in the tooltip and the accessible name, and while cut also in
// the accessible description, so a narrow sidebar never hides it from a screen reader.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr, Qt::TextElideMode mode = Qt::ElideRight, int maxLines = 1);
    void setFullText(const QString &text);
    QString fullText() const { return m_fullText; }
    bool isElided() const { return m_elided; }
    // The lines shown, as many as the width needs and `maxLines` allows.
    int lineCount() const { return int(text().count(QLatin1Char('\n'))) + 1; }
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void elide();
    QString wrapped(int room, bool &cut) const;

    QString m_fullText;
    Qt::TextElideMode m_mode;
    int m_maxLines;
    bool m_elided = false;
};

} // namespace velkaro
