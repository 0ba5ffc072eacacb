// One file's versions for the history page, and the watch on the store for changes made elsewhere.
#include "App/AppStateBackground.h"

#include "Services/SnapshotStore.h"

#include <QFileInfo>
#include <QFileSystemWatcher>

#include <sys/stat.h>

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

void AppState::loadFileVersions(const std::string &path, FileVersionsCompletion completion)
{
    const std::uint64_t ticket = ++m_versionsTicket;
    auto work = [history = m_snapshots, path, destination = m_historyDestination] {
        std::vector<FileVersionRow> rows;
        for (const FileVersion &version : fileVersions(SnapshotStore(destination), history, path, true))
            rows.push_back({history[version.snapshotIndex], version.size, version.changes});
        return rows;
    };
    runInBackground(std::move(work), [this, ticket, completion = std::move(completion)](const auto &rows) {
        if (m_versionsTicket == ticket && completion)
            completion(rows);
    });
}

void AppState::diffFileVersion(const BackupSnapshot &version, const std::optional<BackupSnapshot> &previous,
    const std::string &path, FileDiffCompletion completion)
{
    const std::uint64_t ticket = ++m_versionDiffTicket;
    auto work = [version, previous, path, config = m_config] {
        return previous ? diffStoredVersions(*previous, version, config, path)
                        : velkaro::diffWithCurrentFile(version, config, path);
    };
    runInBackground(std::move(work), [this, ticket, completion = std::move(completion)](const auto &diff) {
        if (m_versionDiffTicket == ticket && completion)
            completion(diff);
    });
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
