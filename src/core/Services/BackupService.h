#pragma once

#include "Models/AppEnums.h"
#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Platform/Error.h"
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
struct BackupRun {
    BackupSnapshot snapshot;
    std::int64_t skippedFileCount = 0; // collected files that could not be copied
    std::int64_t skippedFolderCount = 0; // folders below the sources that could not be read
    std::vector<std::string> removedSnapshotIds; // what retention removed (also gone from history.json)

    // "、N 件はコピーできませんでした" when files or folders were skipped, else empty.
    std::string skippedFilesSuffix() const;
    // The line the application and the command-line tool show for a successful run:
    // "バックアップ完了 (N 件 • size)", with the skipped-files suffix before the closing parenthesis.
    std::string successMessage() const;
};

using BackupProgressHandler = std::function<void(const BackupExecutionState &)>;

// Makes snapshots and keeps their history. Holds no state besides its clock and lock wait: every call
// works from its arguments and the disk, so one instance may serve several threads one call at a time.
class BackupService
{
public:
    using Path = std::filesystem::path;
    using Clock = std::function<TimePoint()>;

    BackupService() = default;
    // `clock` gives the start instant of each run (tests pin it); `lockWait` bounds the wait for the
    // store lock.
    explicit BackupService(Clock clock, std::chrono::milliseconds lockWait = StoreLock::kDefaultWait);

    std::chrono::milliseconds lockWait() const { return m_lockWait; }

    // --- Snapshot creation ---

    // One backup run under the store lock: copies the wanted files of the sources into a new snapshot
    // folder, writes its snapshot.json, records it in history.json and applies retention. Reports
    // preparing, one copying per collected file, finalizing and success (or failed) to the handler,
    // synchronously. Fails when the store cannot be locked, the snapshot folder cannot be made, the
    // destination runs out of space, or snapshot.json or history.json cannot be written; a failed run
    // removes its own snapshot folder and leaves history.json as it was. Before it starts, the run
    // removes what killed runs left behind: snapshot folders without snapshot.json and temporary files
    // in the store and below the sources.
    Result<BackupRun> executeBackup(const BackupConfig &config, BackupTriggerType trigger,
                                    const BackupProgressHandler &progressHandler) const;

    // The same run for a caller that already holds `heldLock` on the config's destination (a restore's
    // safety snapshot). Retention never removes `keptSnapshotId`, and the run waits for the next second
    // rather than write into that snapshot's folder.
    Result<BackupRun> executeBackup(const BackupConfig &config, BackupTriggerType trigger,
                                    const BackupProgressHandler &progressHandler, const StoreLock &heldLock,
                                    std::string_view keptSnapshotId) const;

    // The wanted regular files below the sources, in collection order: sources in list order, each
    // folder's entries by name, sub-folders where they sort. Hidden names and symbolic links are
    // skipped, hidden and linked folders are not entered; a source naming a file is taken as it is.
    std::vector<Path> collectFiles(const std::vector<std::string> &from,
                                   const std::vector<std::string> &extensions) const;

    // The file's path after the first source whose path is a text prefix of it (not a component test),
    // with the slashes at both ends removed; the file name when no source matches or nothing is left.
    static std::string calculateRelativePath(const Path &file, const std::vector<std::string> &sourceDirs);

    // The deletion of the history view, under the store lock: the snapshot folder, its day folder when
    // left empty, and the snapshot's entries in history.json. Fails when the lock cannot be had or the
    // folder stays (its history entry then stays too).
    Result<void> deleteSnapshot(const BackupSnapshot &snapshot, const Path &destination) const;

    // --- History and retention (history.json and the snapshots/ folder of a destination) ---

    // The history in file order. A missing, unreadable or damaged history.json yields the list rebuilt
    // from the snapshot folders instead. Complete snapshot folders that an intact history.json lacks
    // (a run killed between its two writes) are added in date order.
    std::vector<BackupSnapshot> loadHistory(const Path &destination) const;

    // Puts `snapshot` at the front of history.json, replacing an entry with the same id. A damaged
    // history.json is kept once as history.json.damaged before it is replaced.
    Result<void> updateHistory(const BackupSnapshot &snapshot, const Path &destination) const;

    // Drops the entries with these ids from history.json (rewritten only when something changed).
    void removeFromHistory(const std::vector<std::string> &ids, const Path &destination) const;

    // The snapshots whose snapshot.json can be read, one level (flat form) or two levels (day folder
    // form) below destination/snapshots, newest first; equal dates keep the order found.
    std::vector<BackupSnapshot> scanSnapshotsDirectory(const Path &destination) const;

    // Removes the oldest snapshot folders beyond `limit` (limit < 1 means no limit), then any day
    // folder left empty, and drops the removed snapshots from history.json. Returns their ids. The
    // snapshots in `keptIds` are never removed (nothing else is removed in their place).
    std::vector<std::string> cleanOldSnapshots(const Path &snapshotsDirectory, std::int64_t limit,
                                               const std::vector<std::string> &keptIds = {}) const;

    // --- Store paths ---

    // True for an id that names a folder strictly inside snapshots/: relative, with no empty, "." or
    // ".." component and no control character (U+0000 to U+001F, U+007F).
    static bool isSafeSnapshotId(std::string_view id);

    // The same test for a recorded file path: relative and staying below the data folder.
    static bool isSafeRelativePath(std::string_view path) { return isSafeSnapshotId(path); }

    // The folder of snapshot `id` below `snapshotsDirectory`: the two-level folder, or the flat folder
    // named after the id's last component when only that one exists. Nothing for an unsafe id or when
    // a folder on the way is a symbolic link (it could lead out of the store).
    static std::optional<Path> snapshotFolder(const Path &snapshotsDirectory, std::string_view id);

private:
    Result<BackupRun> runBackup(const BackupConfig &config, BackupTriggerType trigger,
                                const BackupProgressHandler &progressHandler, std::string_view keptSnapshotId) const;

    // The history as one read of history.json gives it, and whether that file was there and whole.
    struct HeldHistory {
        std::vector<BackupSnapshot> snapshots;
        bool fileIntact = false;
    };
    HeldHistory readHistory(const Path &destination) const;
    // Writes the held list crash-safely; a file that was not whole when read is kept as .damaged first.
    Result<void> writeHistory(const HeldHistory &history, const Path &destination) const;
    // Retention on the held list: picks the snapshot folders beyond `limit` (newest first, folders that
    // exist only) except `keptIds`, and drops them from the list. Returns their ids and folders.
    std::vector<std::pair<std::string, Path>> pickOldSnapshots(HeldHistory &history, const Path &snapshots,
                                                               std::int64_t limit,
                                                               const std::vector<std::string> &keptIds) const;
    // Removes picked folders (and day folders left empty); returns the ids whose folder went.
    std::vector<std::string> removeSnapshotFolders(const std::vector<std::pair<std::string, Path>> &picked,
                                                   const Path &snapshots) const;
    // Removes what killed runs left in the store: snapshot folders without snapshot.json and temporary
    // files, all last modified before `before` (seconds since the epoch). Only under the store lock.
    void removeLeftovers(const Path &destination, std::int64_t before) const;

    Clock m_clock = [] { return currentTime(); };
    std::chrono::milliseconds m_lockWait = StoreLock::kDefaultWait;
};

} // namespace velkaro
