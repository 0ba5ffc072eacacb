#pragma once

#include <QUrl>
#include <QWidget>

#include <functional>
#include <vector>

class QGridLayout;
class QIcon;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace velkaro {

class AppState;
class ActivatableCard;
class ButtonSpinner;
class ElidedLabel;
class TintedIconLabel;
enum class Tint;

// The first page: the backup button, three summary cards, the two folder shortcuts and the three
// newest snapshots. Everything shown is read from AppState and redrawn when it changes.
class DashboardView : public QWidget
{
    Q_OBJECT

public:
    // Opens a folder in the file browser; tests replace it.
    using UrlOpener = std::function<void(const QUrl &url)>;

    struct StatusCard
    {
        TintedIconLabel *icon = nullptr;
        QLabel *title = nullptr;
        ElidedLabel *value = nullptr;
        QLabel *subtext = nullptr;
    };
    struct RecentRow
    {
        ActivatableCard *frame = nullptr; // opens the snapshot in the history
        QLabel *id = nullptr;
        QLabel *detail = nullptr; // date and trigger
        QLabel *files = nullptr; // count and size
        ElidedLabel *note = nullptr; // why it was taken, when the snapshot says
    };

    explicit DashboardView(AppState &state, QWidget *parent = nullptr);

    void setUrlOpener(UrlOpener opener) { m_openUrl = std::move(opener); }

    void openBackupDirectory();
    void openSourceDirectory();

    QPushButton *backupButton() const { return m_backupButton; }
    bool isBackupSpinnerShown() const;
    // 0: last backup, 1: schedule, 2: stored snapshots.
    const StatusCard &statusCard(int index) const { return m_cards.at(std::size_t(index)); }
    QPushButton *openBackupDirectoryButton() const { return m_openDestinationButton; }
    QPushButton *openSourceDirectoryButton() const { return m_openSourceButton; }
    QPushButton *showAllButton() const { return m_showAllButton; }
    const std::vector<RecentRow> &recentRows() const { return m_recentRows; }
    QLabel *emptyHistoryLabel() const { return m_emptyLabel; }

private:
    QWidget *buildHeaderCard(QWidget *content);
    QGridLayout *buildSummaryGrid(QWidget *content);
    QWidget *buildStatusCard(QWidget *content, const QIcon &icon, Tint tint, const QString &title);
    QWidget *buildQuickActions(QWidget *content);
    QWidget *buildRecentCard(QWidget *content);
    void refresh();
    void refreshBackupButton();
    void rebuildRecent();

    AppState &m_state;
    UrlOpener m_openUrl;

    QPushButton *m_backupButton = nullptr;
    ButtonSpinner *m_backupSpinner = nullptr;
    std::vector<StatusCard> m_cards;
    QPushButton *m_openDestinationButton = nullptr;
    QPushButton *m_openSourceButton = nullptr;
    QPushButton *m_showAllButton = nullptr;
    QLabel *m_emptyLabel = nullptr;
    QVBoxLayout *m_recentLayout = nullptr;
    std::vector<RecentRow> m_recentRows;
};

} // namespace velkaro
