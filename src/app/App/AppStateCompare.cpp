// The history page's comparisons, all in the pool: each snapshot against the one before it (the list's
// row summaries), the chosen snapshot and file against the current files (the detail pane), and one
// file's versions. Only the latest request of each kind of the detail pane is answered.
#include "App/AppStateBackground.h"
#include "Services/SnapshotStore.h"

#include <utility>

namespace velkaro {

void AppState::requestChangeSummaries(std::vector<SnapshotPair> pairs)
{
    m_changeSummaries.request(std::move(pairs));
}

std::optional<AppState::ChangeSummary> AppState::changeSummary(const SnapshotPair &pair) const
{
    return m_changeSummaries.find(pair);
}

void AppState::compareWithCurrentFiles(const BackupSnapshot &snapshot, ComparisonCompletion completion)
{
    const std::uint64_t ticket = ++m_comparisonTicket;
    runInBackground([snapshot, config = m_config] { return velkaro::compareWithCurrentFiles(snapshot, config); },
        [this, ticket, completion = std::move(completion)](const auto &comparison) {
            if (m_comparisonTicket == ticket && completion)
                completion(comparison);
        });
}

void AppState::diffWithCurrentFile(
    const BackupSnapshot &snapshot, const std::string &path, FileDiffCompletion completion)
{
    const std::uint64_t ticket = ++m_fileDiffTicket;
    runInBackground(
        [snapshot, path, config = m_config] { return velkaro::diffWithCurrentFile(snapshot, config, path); },
        [this, ticket, completion = std::move(completion)](const auto &diff) {
            if (m_fileDiffTicket == ticket && completion)
                completion(diff);
        });
}

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

} // namespace velkaro
