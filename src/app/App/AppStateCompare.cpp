// The history page's comparisons, all in the pool: each snapshot against the one before it (the list's
// row summaries), and the chosen snapshot and file against the current files (the detail pane).
#include "App/AppStateBackground.h"

#include "Services/SnapshotCompare.h"
#include "Services/SnapshotStore.h"
#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>

namespace velkaro {

struct AppState::ChangeSummaries
{
    std::map<SnapshotPair, ChangeSummary> known;
    std::deque<SnapshotPair> waiting;
    std::optional<SnapshotPair> running; // the pair in the pool, while its result will still count
    bool busy = false; // a comparison is in the pool, counted or not
    // Moves on with every change of the history: a result computed for an older one is dropped, since
    // an id may stand for another snapshot by then (deleted and taken again, or another store).
    std::uint64_t generation = 0;
    std::string destination; // the store that `known` was computed in
};

namespace {

const BackupSnapshot *findSnapshot(const SnapshotList &list, const std::string &id)
{
    const auto found = std::ranges::find(list, id, &BackupSnapshot::id);
    return found == list.end() ? nullptr : &*found;
}

AppState::ChangeSummary summarize(const SnapshotStore &store, const BackupSnapshot &older, const BackupSnapshot &newer)
{
    const CompareResult result = compareSnapshots(store, older, newer);
    return {
        result.count(CompareState::added), result.count(CompareState::changed), result.count(CompareState::removed)};
}

} // namespace

void AppState::requestChangeSummaries(std::vector<SnapshotPair> pairs)
{
    if (!m_changeSummaries)
        m_changeSummaries = std::make_shared<ChangeSummaries>();
    ChangeSummaries &summaries = *m_changeSummaries;
    summaries.waiting.clear();
    for (SnapshotPair &pair : pairs) {
        if (summaries.known.contains(pair) || summaries.running == pair)
            continue;
        if (std::ranges::find(summaries.waiting, pair) == summaries.waiting.end())
            summaries.waiting.push_back(std::move(pair));
    }
    startNextChangeSummary();
}

std::optional<AppState::ChangeSummary> AppState::changeSummary(const SnapshotPair &pair) const
{
    if (!m_changeSummaries)
        return std::nullopt;
    const auto found = m_changeSummaries->known.find(pair);
    return found == m_changeSummaries->known.end() ? std::nullopt : std::optional(found->second);
}

void AppState::startNextChangeSummary()
{
    ChangeSummaries &summaries = *m_changeSummaries;
    // One at a time, so that a backup started meanwhile still finds a thread in the pool.
    while (!summaries.busy && !summaries.waiting.empty()) {
        SnapshotPair pair = std::move(summaries.waiting.front());
        summaries.waiting.pop_front();
        const BackupSnapshot *older = findSnapshot(m_snapshots, pair.olderId);
        const BackupSnapshot *newer = findSnapshot(m_snapshots, pair.newerId);
        if (!older || !newer)
            continue;
        summaries.running = pair;
        summaries.busy = true;
        summaries.destination = m_historyDestination;
        runInBackground([store = SnapshotStore(m_historyDestination), older = *older,
                            newer = *newer] { return summarize(store, older, newer); },
            [this, pair, generation = summaries.generation](
                const ChangeSummary &summary) { finishChangeSummary(pair, generation, summary); });
    }
}

void AppState::finishChangeSummary(const SnapshotPair &pair, std::uint64_t generation, const ChangeSummary &summary)
{
    ChangeSummaries &summaries = *m_changeSummaries;
    summaries.busy = false;
    summaries.running.reset();
    if (generation == summaries.generation) {
        summaries.known[pair] = summary;
        emit changeSummaryReady(pair);
    }
    startNextChangeSummary();
}

// Keeps only what still describes neighbours of the current list in the same store.
void AppState::forgetStaleChangeSummaries()
{
    if (!m_changeSummaries)
        return;
    ChangeSummaries &summaries = *m_changeSummaries;
    ++summaries.generation;
    summaries.waiting.clear();
    summaries.running.reset(); // its result will be dropped: the pair may be asked for again meanwhile
    if (summaries.destination != m_historyDestination) {
        summaries.known.clear();
        return;
    }
    std::set<SnapshotPair> neighbours;
    for (std::size_t i = 0; i + 1 < m_snapshots.size(); ++i)
        neighbours.insert({m_snapshots[i + 1].id, m_snapshots[i].id});
    std::erase_if(summaries.known, [&](const auto &entry) { return !neighbours.contains(entry.first); });
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

} // namespace velkaro
