#pragma once

#include "Models/AppEnums.h"
#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Platform/Clock.h"
#include "Platform/Error.h"
#include "Services/SourceSelection.h"
#include "Services/StoreLock.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// The result of one backup run.
struct BackupRun
{
    BackupSnapshot snapshot;
    std::int64_t skippedFileCount = 0; // taken files that could not be copied
    std::int64_t skippedFolderCount = 0; // folders below the sources that could not be read (whole or in part)
    std::string firstSkippedFolder;
    // The sources that could not be read at all; the snapshot holds what the others had.
    std::vector<SourceFailure> failedSources;
    std::vector<std::string> removedSnapshotIds; // what retention removed (also gone from history.json)

    // Everything the sources hold was read: no failed source and no unreadable folder. A run that is not
    // complete is reported as a failure (the snapshot still stands) and prunes nothing.
    bool isComplete() const { return failedSources.empty() && skippedFolderCount == 0; }
    // "、N 件はコピーできませんでした" when files were skipped, else empty.
    std::string skippedFilesSuffix() const;
    // The skipped-files suffix, then "、N 件のフォルダを読み込めませんでした: PATH" and each failed source.
    std::string problemsSuffix() const;
    // The line the application and the command-line tool show for a finished run:
    // "バックアップ完了 (N 件 • size)", with the problems suffix before the closing parenthesis.
    std::string successMessage() const;
};

using BackupProgressHandler = std::function<void(const BackupExecutionState &)>;

// Makes snapshots and keeps their history. Holds no state besides its clock and lock wait: every call
// works from its arguments and the disk, so one instance may serve several threads one call at a time.
class BackupService
{
public:
    using Path = std::filesystem::path;

    // Errors of the run itself (the others come from the file system, the store and its lock).
    static constexpr const char *kErrorDomain = "BackupService";
    static constexpr int kSourcesUnreadable = 403; // no source could be read, some of them exist
    static constexpr int kSourcesMissing = 404; // no source exists

    BackupService() = default;
    // `clock` gives the start instant of each run and the file-time instant that tells a killed run's
    // leftovers and a racy change apart (tests pin it); `lockWait` bounds the wait for the store lock.
    explicit BackupService(Clock clock, std::chrono::milliseconds lockWait = StoreLock::kDefaultWait);

    std::chrono::milliseconds lockWait() const { return m_lockWait; }

    // --- Snapshot creation ---

    // One backup run under the store lock: copies the files the source selection takes into a new
    // snapshot, publishes it, records it in history.json and applies retention. A file is hard-linked to
    // the newest snapshot's copy only when it is provably unchanged: its stat (device, inode, size, times
    // to the nanosecond, mode) is the one that snapshot recorded and it changed before that run started,
    // or its bytes, size, time and mode are those of the copy. The snapshot is built in a staging folder,
    // flushed to disk and published under the first free second from SnapshotStore::firstIdTime, so ids
    // never go backwards; its id and createdAt are that second's. Reports preparing, one copying per
    // collected file, finalizing and success (or failed) to the handler, synchronously. Fails, writing
    // nothing, when the settings' paths break their rules (BackupConfig::pathProblem) or no source can be
    // read; sources that cannot be read beside readable ones, and folders that cannot be read, make an
    // incomplete run (BackupRun::isComplete) that publishes what it read and prunes nothing. A safety
    // snapshot (preRestoreSafety) passes over missing sources: there is nothing of them to keep. Also
    // fails when the store cannot be locked, history.json cannot be read or written, the snapshot cannot
    // be staged, flushed or published, or the destination runs out of space; a failed run leaves the
    // store and history.json as they were. Before it starts, the run removes what killed runs left
    // behind: staging folders and temporary files in the store and below the sources. A `note` is recorded
    // with the snapshot (why it was taken, when the trigger alone does not say).
    Result<BackupRun> executeBackup(const BackupConfig &config, BackupTriggerType trigger,
        const BackupProgressHandler &progressHandler, const std::optional<std::string> &note = std::nullopt) const;

    // The same run for a caller that already holds `heldLock` on the config's destination (a restore's
    // safety snapshot). Retention never removes `keptSnapshotId`.
    Result<BackupRun> executeBackup(const BackupConfig &config, BackupTriggerType trigger,
        const BackupProgressHandler &progressHandler, const StoreLock &heldLock, std::string_view keptSnapshotId,
        const std::optional<std::string> &note = std::nullopt) const;

    // The deletion of the history view, under the store lock (SnapshotStore::remove): the snapshot
    // folder, its day folder when left empty, and the snapshot's entries in history.json. Fails, leaving
    // the snapshot listed and whole, when the lock cannot be had, the id names no snapshot folder, a
    // link stands on the way, or history.json cannot be written.
    Result<void> deleteSnapshot(const BackupSnapshot &snapshot, const Path &destination) const;

    // --- History and retention (forwarded to the destination's SnapshotStore) ---

    // The history in file order. A missing, unreadable or damaged history.json yields the list rebuilt
    // from the snapshot folders instead. Complete snapshot folders that an intact history.json lacks
    // (a run killed between publishing and the history write) are added in date order.
    std::vector<BackupSnapshot> loadHistory(const Path &destination) const;

    // Part of the documented service interface; nothing here calls it besides the tests.
    // Puts `snapshot` into history.json at its date (newest first), replacing an entry with the same id.
    // A damaged history.json is kept aside (FileSystem::keepAsDamaged) before it is replaced; one that
    // cannot be read fails the update.
    Result<void> updateHistory(const BackupSnapshot &snapshot, const Path &destination) const;

    // Part of the documented service interface; a run prunes through SnapshotStore itself.
    // Removes the oldest snapshot folders beyond `limit` (limit < 1 means no limit), then any day
    // folder left empty, and drops the removed snapshots from history.json. Returns their ids. The
    // snapshots in `keptIds` are never removed (nothing else is removed in their place).
    std::vector<std::string> cleanOldSnapshots(
        const Path &snapshotsDirectory, std::int64_t limit, const std::vector<std::string> &keptIds = {}) const;

private:
    Result<BackupRun> runBackup(const BackupConfig &config, BackupTriggerType trigger,
        const BackupProgressHandler &progressHandler, std::string_view keptSnapshotId,
        const std::optional<std::string> &note = std::nullopt) const;

    Clock m_clock;
    std::chrono::milliseconds m_lockWait = StoreLock::kDefaultWait;
};

} // namespace velkaro
