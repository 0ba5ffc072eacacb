// The history list: loaded in the pool, only the newest request shown, and loaded again when the store's
// history.json changes by another hand (the command-line tool, a cron job).
#include "App/AppStateBackground.h"
#include "Services/SnapshotStore.h"

#include <QFileInfo>
#include <QFileSystemWatcher>

#include <sys/stat.h>

#include <utility>

namespace velkaro {

namespace {

// What tells one history.json from another: a rewrite (a rename over it) changes the inode, an edit in
// place the time or the size.
std::string identityOf(const std::filesystem::path &file)
{
    struct stat st = {};
    if (::stat(file.c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "."
        + std::to_string(st.st_mtim.tv_nsec);
}

} // namespace

void AppState::loadHistory()
{
    requestHistory(m_config.destinationDirectory);
}

// `then` runs when this request's result has arrived, whether it was shown or a later one overtook it.
void AppState::requestHistory(std::string destination, std::function<void()> then)
{
    const unsigned request = ++m_historyRequested;
    m_historyDestination = std::move(destination);
    watchStore();
    runInBackground(
        [service = m_backupService, destination = std::filesystem::path(m_historyDestination)] {
            return service->loadHistory(destination);
        },
        [this, request, then = std::move(then)](SnapshotList history) {
            if (request == m_historyRequested) {
                m_historyShown = request;
                applyHistory(std::move(history));
            }
            if (then)
                then();
        });
}

void AppState::applyHistory(SnapshotList history)
{
    // A reload for a change seen in the store moves the last success on, never back (a deletion).
    const bool forwardOnly = std::exchange(m_watchedReload, false);
    if (!history.empty() && (!forwardOnly || !m_lastSuccessDate || history.front().createdAt > *m_lastSuccessDate))
        setLastSuccessDate(history.front().createdAt);
    setSnapshots(std::move(history));
    if (std::exchange(m_rescheduleOnHistory, false) && m_autoBackupManager)
        m_autoBackupManager->updateSchedule(m_config.backupInterval, newestSnapshotDate());
}

void AppState::watchStore()
{
    if (!m_storeWatcher) {
        m_storeWatcher = new QFileSystemWatcher(this);
        m_storeSettle.setSingleShot(true);
        m_storeSettle.setInterval(200);
        connect(&m_storeSettle, &QTimer::timeout, this, &AppState::storeMayHaveChanged);
        // The folder sees history.json replaced by a rename; the file, an edit in place.
        connect(m_storeWatcher, &QFileSystemWatcher::directoryChanged, this, [this] { m_storeSettle.start(); });
        connect(m_storeWatcher, &QFileSystemWatcher::fileChanged, this, [this] { m_storeSettle.start(); });
    }
    const QString folder = QString::fromStdString(m_historyDestination);
    const QString file = QString::fromStdString(
        (std::filesystem::path(m_historyDestination) / SnapshotStore::kHistoryFileName).string());
    const QStringList wanted {folder, file};
    const QStringList watched = m_storeWatcher->files() + m_storeWatcher->directories();
    for (const QString &path : watched) {
        if (!wanted.contains(path))
            m_storeWatcher->removePath(path);
    }
    for (const QString &path : wanted) {
        if (!watched.contains(path) && QFileInfo::exists(path))
            m_storeWatcher->addPath(path);
    }
    m_storeSeen = identityOf(file.toStdString());
}

void AppState::storeMayHaveChanged()
{
    const std::string before = m_storeSeen;
    watchStore(); // a renamed-over file is watched afresh
    if (m_storeSeen != before) {
        m_watchedReload = true;
        requestHistory(m_historyDestination);
    }
}

} // namespace velkaro
