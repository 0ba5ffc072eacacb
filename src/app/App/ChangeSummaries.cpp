#include "App/ChangeSummaries.h"

#include "App/Background.h"
#include "Services/SnapshotCompare.h"
#include "Services/SnapshotStore.h"

#include <algorithm>
#include <set>
#include <utility>

namespace velkaro {

namespace {

const BackupSnapshot *findSnapshot(const std::vector<BackupSnapshot> &list, const std::string &id)
{
    const auto found = std::ranges::find(list, id, &BackupSnapshot::id);
    return found == list.end() ? nullptr : &*found;
}

ChangeSummary summarize(const SnapshotStore &store, const BackupSnapshot &older, const BackupSnapshot &newer)
{
    const CompareResult result = compareSnapshots(store, older, newer);
    return {
        result.count(CompareState::added), result.count(CompareState::changed), result.count(CompareState::removed)};
}

} // namespace

ChangeSummaries::ChangeSummaries(
    const std::vector<BackupSnapshot> &snapshots, const std::string &destination, QObject *parent)
    : QObject(parent)
    , m_snapshots(snapshots)
    , m_destination(destination)
{ }

void ChangeSummaries::request(std::vector<SnapshotPair> pairs)
{
    m_waiting.clear();
    for (SnapshotPair &pair : pairs) {
        if (m_known.contains(pair) || m_running == pair)
            continue;
        if (std::ranges::find(m_waiting, pair) == m_waiting.end())
            m_waiting.push_back(std::move(pair));
    }
    startNext();
}

std::optional<ChangeSummary> ChangeSummaries::find(const SnapshotPair &pair) const
{
    const auto found = m_known.find(pair);
    return found == m_known.end() ? std::nullopt : std::optional(found->second);
}

void ChangeSummaries::startNext()
{
    while (!m_busy && !m_waiting.empty()) {
        SnapshotPair pair = std::move(m_waiting.front());
        m_waiting.pop_front();
        const BackupSnapshot *older = findSnapshot(m_snapshots, pair.olderId);
        const BackupSnapshot *newer = findSnapshot(m_snapshots, pair.newerId);
        if (!older || !newer)
            continue;
        m_running = pair;
        m_busy = true;
        m_knownDestination = m_destination;
        runThenCallback(
            this,
            [store = SnapshotStore(m_destination), older = *older, newer = *newer] {
                return summarize(store, older, newer);
            },
            [this, pair, generation = m_generation](
                const ChangeSummary &summary) { finish(pair, generation, summary); });
    }
}

void ChangeSummaries::finish(const SnapshotPair &pair, std::uint64_t generation, const ChangeSummary &summary)
{
    m_busy = false;
    m_running.reset();
    if (generation == m_generation) {
        m_known[pair] = summary;
        emit ready(pair);
    }
    startNext();
}

void ChangeSummaries::historyChanged()
{
    ++m_generation;
    m_waiting.clear();
    m_running.reset(); // its result will be dropped: the pair may be asked for again meanwhile
    if (m_knownDestination != m_destination) {
        m_known.clear();
        return;
    }
    std::set<SnapshotPair> neighbours;
    for (std::size_t i = 0; i + 1 < m_snapshots.size(); ++i)
        neighbours.insert({m_snapshots[i + 1].id, m_snapshots[i].id});
    std::erase_if(m_known, [&](const auto &entry) { return !neighbours.contains(entry.first); });
}

} // namespace velkaro
