#pragma once

#include <QListView>
#include <QTimer>

namespace velkaro {

class SnapshotListModel;

// The history's list: one row per snapshot, painted by SnapshotRowDelegate. Asks its model for the
// change summaries of the rows on screen, and only those, whenever they may have changed.
class SnapshotListView : public QListView
{
    Q_OBJECT

public:
    SnapshotListView(SnapshotListModel *model, QWidget *parent = nullptr);

    int count() const;
    int currentRow() const;
    // -1 clears the current row and the selection.
    void setCurrentRow(int row);
    // The first and last row on screen; -1 and -1 when none is.
    std::pair<int, int> shownRows() const;

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void requestShownSummaries();

    SnapshotListModel *m_model;
    QTimer m_shownRowsTimer; // one request for a burst of scrolling or resizing
};

} // namespace velkaro
