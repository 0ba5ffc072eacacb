#pragma once

#include "Models/BackupSnapshot.h"

#include <QObject>

#include <compare>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velkaro {

// What changed from one snapshot to a newer one: files added, changed and removed.
struct ChangeSummary
{
    std::int64_t added = 0;
    std::int64_t changed = 0;
    std::int64_t removed = 0;
    bool operator==(const ChangeSummary &) const = default;
};

// Two listed snapshots by id, the older first.
struct SnapshotPair
{
    std::string olderId;
    std::string newerId;
    auto operator<=>(const SnapshotPair &) const = default;
};

// The history list's row summaries: each snapshot against the next newer one, compared in the pool one
// pair at a time, so that a backup started meanwhile still finds a thread. It reads the list and the
// store that its owner shows, and is told whenever the list changes.
class ChangeSummaries : public QObject
{
    Q_OBJECT

public:
    ChangeSummaries(
        const std::vector<BackupSnapshot> &snapshots, const std::string &destination, QObject *parent = nullptr);

    // Queues the pairs whose summary is not known yet. Pairs of an earlier call that have not started are
    // dropped: the list asks for the rows it shows, and those rows may have scrolled away.
    void request(std::vector<SnapshotPair> pairs);
    std::optional<ChangeSummary> find(const SnapshotPair &pair) const;
    // The list changed: keeps only what still describes neighbours in the same store, and drops the
    // result of the comparison running now (an id may stand for another snapshot by then).
    void historyChanged();
    // True while a comparison is in the pool, counted or not.
    bool isComparing() const { return m_busy; }

signals:
    void ready(const velkaro::SnapshotPair &pair);

private:
    void startNext();
    void finish(const SnapshotPair &pair, std::uint64_t generation, const ChangeSummary &summary);

    const std::vector<BackupSnapshot> &m_snapshots;
    const std::string &m_destination;
    std::map<SnapshotPair, ChangeSummary> m_known;
    std::deque<SnapshotPair> m_waiting;
    std::optional<SnapshotPair> m_running; // the pair in the pool, while its result will still count
    bool m_busy = false;
    // Moves on with every change of the history: a result computed for an older one is dropped.
    std::uint64_t m_generation = 0;
    std::string m_knownDestination; // the store that `m_known` was computed in
};

} // namespace velkaro
