#pragma once

#include "Models/AppEnums.h"
#include "Models/BackupSnapshot.h"
#include "Platform/Error.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkaro {

// The snapshot store below a destination folder: history.json, and snapshots/ with one folder per
// snapshot (day/snapshot_HHmmss, or a flat snapshots/<name> that older stores may hold). This type owns
// the layout: naming, the walk, staging, publishing, deletion and retention.
//
// A snapshot folder is written once. A run builds it in a hidden staging folder inside snapshots/, writes
// its snapshot.json there and publishes it with a rename that never replaces anything; only then is
// history.json written. A deletion goes the same way back: the folder is moved aside under a staging
// name, history.json is rewritten, and the staged folder is removed. A kill therefore leaves a complete
// snapshot (listed again from its folder) or a staging folder (removed by the next run), never a torn one.
//
// What counts as a snapshot folder (one rule for the rebuild, the recovery of unlisted snapshots and
// retention): a real folder (not a link) one or two levels below snapshots/, whose name is not a staging
// name, holding a regular file snapshot.json. Nothing without one is ever removed by cleanup or retention.
//
// Every writing operation expects the caller to hold the store's lock (StoreLock).
class SnapshotStore
{
public:
    using Path = std::filesystem::path;

    // Errors of the store's own rules (the others come from the file system).
    static constexpr const char *kErrorDomain = "SnapshotStore";
    static constexpr int kNotASnapshotFolder = 400; // remove: the id names no snapshot folder of ours
    static constexpr int kSecondTaken = 409; // publish: every second it may take is taken

    static constexpr const char *kHistoryFileName = "history.json";
    static constexpr const char *kSnapshotFileName = "snapshot.json";
    static constexpr const char *kDataFolderName = "data";
    static constexpr const char *kSnapshotsFolderName = "snapshots";
    // Starts the name of every staging folder in snapshots/: hidden, and ours.
    static constexpr std::string_view kStagingMark = ".velkaro-staging-";
    static constexpr std::string_view kSnapshotPrefix = "snapshot_";
    // Starts the name of a moved-aside snapshot folder that could not be put back: never cleaned up.
    static constexpr std::string_view kKeptMark = ".velkaro-kept-";

    explicit SnapshotStore(Path destination);

    const Path &destination() const { return m_destination; }
    const Path &snapshotsDirectory() const { return m_snapshots; }

    // --- Naming ---

    // "yyyy-MM-dd/snapshot_HHmmss" of `time` in local time.
    static std::string idFor(TimePoint time);
    // True for an id that names a folder strictly inside snapshots/: relative, with no empty, "." or
    // ".." component and no control character (U+0000 to U+001F, U+007F).
    static bool isSafeSnapshotId(std::string_view id);
    // The test for a recorded file path: relative, staying below the data folder, no NUL. Any other
    // byte Linux allows in a name (tabs, newlines, leading dashes) is the user's and is kept.
    static bool isSafeRelativePath(std::string_view path);
    static bool isStagingName(std::string_view name) { return name.starts_with(kStagingMark); }
    // The second a new snapshot's id starts from: the later of `now` and one second after the newest
    // listed snapshot, so ids never go backwards; just `now` when that newest lies more than a minute
    // ahead of the clock.
    static TimePoint firstIdTime(TimePoint now, const std::vector<BackupSnapshot> &listed);

    // --- Locating ---

    // The folder of snapshot `id`: snapshots/id, or the flat folder named after the id's last component
    // when only that one exists. Nothing for an unsafe id or when snapshots/ or a folder on the way is a
    // symbolic link (it could lead out of the store). The folder itself may be missing.
    std::optional<Path> snapshotFolder(std::string_view id) const;
    // The data/ folder of snapshot `id`, when it stands as a real folder; nothing otherwise.
    std::optional<Path> dataFolder(std::string_view id) const;
    // The stored copy of `relativePath` of snapshot `id`: a regular file below its data/ folder reached
    // through real folders only. Nothing for an unsafe path or a missing copy.
    std::optional<Path> storedFile(std::string_view id, std::string_view relativePath) const;
    // The one rule above, for a folder below snapshots/.
    static bool isSnapshotFolder(const Path &folder);

    // --- History (history.json) ---

    // The entries a listing read (readListing) took without their path lists: where each one's text lies
    // in history.json, which stays open for as long as the history is held.
    struct ListedText;
    // The history as one read of history.json gives it, and whether that file was there and whole.
    struct History
    {
        std::vector<BackupSnapshot> snapshots;
        bool fileIntact = false;
        std::optional<Error> readError; // history.json is there but could not be read whole
        std::shared_ptr<const ListedText> listed; // set by readListing() for the entries it left as text
    };
    // A missing, unreadable or damaged history.json yields the list rebuilt from the snapshot folders.
    // Complete snapshot folders that an intact file lacks (a run killed between publish and the history
    // write) are added in date order.
    History readHistory() const;
    // The history for a writer that adds and drops entries but reads few path lists (a backup run, a
    // deletion, retention): as readHistory(), except that the entries of an intact file come without
    // their path lists. writeHistory() writes each such entry back as the very text it was read as, so a
    // long history is neither held whole nor encoded again; whole() reads one back with its paths.
    History readListing() const;
    // `entry` as it stands in history.json, path list included, for an entry of a listing read; any other
    // entry as it is. Fails when history.json cannot be read again.
    Result<BackupSnapshot> whole(const History &history, const BackupSnapshot &entry) const;
    // Writes the list crash-safely; a file that was read whole and did not parse is kept aside first
    // (FileSystem::keepAsDamaged). Fails with the read's error for a file that could not be read.
    Result<void> writeHistory(const History &history) const;
    // Puts `snapshot` into the newest-first list at its date, replacing an entry with its id.
    static void insertByDate(std::vector<BackupSnapshot> &list, BackupSnapshot snapshot);
    // The snapshots whose snapshot.json can be read, newest first; equal dates keep the order found.
    std::vector<BackupSnapshot> scan() const;

    // --- Writing (under the lock) ---

    // Makes a new staging folder with its empty data/ folder and returns it. Fails when snapshots/ is a
    // link, something other than a folder, or cannot be made.
    Result<Path> stage() const;
    // Flushes the staged files to disk, gives `snapshot` the first free second from firstIdTime (neither
    // in `listed` nor on disk), writes its snapshot.json into `staging` and publishes the folder under that
    // id, syncing the folders the rename changed. On success `snapshot`'s id and createdAt are those it
    // was published under.
    Result<void> publish(
        const Path &staging, BackupSnapshot &snapshot, const std::vector<BackupSnapshot> &listed) const;
    // Takes a published folder back out of the store (a run that failed after publishing) and removes it.
    void unpublish(const std::string &id) const;
    // Removes a staging folder and its day folder when left empty.
    static void discard(const Path &staging);
    // Removes what killed runs left: every staging folder in snapshots/ (the lock we hold says their runs
    // are gone) and this program's temporary files in the destination last modified before `before`
    // (seconds since the epoch). Nothing else. A staging folder holding a snapshot whose own folder is
    // gone was being deleted (or pruned) when the kill came: its history entry goes first, and when
    // history.json cannot be written the folder stays. Returns the ids of the removed snapshots.
    std::vector<std::string> removeLeftovers(std::int64_t before) const;

    // Deletes snapshot `id`: refused unless the id names a snapshot folder (two components, the second
    // "snapshot_…", or a flat folder whose snapshot.json records this id) reached without links. The
    // folder is moved aside, the entry leaves history.json, then the folder is removed. A failed history
    // write puts the folder back and fails. A listed snapshot whose folder is gone loses its entry only.
    Result<void> remove(const std::string &id) const;

    // --- Retention ---

    // A folder picked for removal, moved aside while the history is rewritten.
    struct Picked
    {
        std::string id;
        Path folder;
        Path staged; // empty until moved aside
    };
    // Picks snapshot folders until `limit` remain (snapshot folders only, by date), never `keptIds`, and
    // drops them from the list: first the oldest that holds the same files as the next newer one, then
    // the oldest (chooseSnapshotsToRemove). limit < 1 picks nothing.
    std::vector<Picked> pickOld(History &history, std::int64_t limit, const std::vector<std::string> &keptIds) const;
    // Moves the picked folders aside; the ones that could not be moved stay and are dropped from `picked`.
    void setAside(std::vector<Picked> &picked) const;
    // Puts set-aside folders back (the history write failed). One that cannot go back is renamed to a
    // kKeptMark name, and the first such failure is returned.
    Result<void> putBack(const std::vector<Picked> &picked) const;
    // Removes set-aside folders (and day folders left empty); returns their ids.
    std::vector<std::string> removeSetAside(const std::vector<Picked> &picked) const;

private:
    // The folder a deletion or retention may remove for `id`, by the rule in remove().
    std::optional<Path> removableFolder(std::string_view id) const;
    // Walks the candidate folders: first-level entries, and the second level of first-level folders that
    // hold no readable snapshot. Calls visit(folder, name below snapshots/).
    template<class Visit> void walk(const Visit &visit) const;
    void addMissingSnapshots(std::vector<BackupSnapshot> &history) const;
    // Renames `folder` to a fresh staging name; the new path, or nothing.
    std::optional<Path> moveAside(const Path &folder) const;
    void removeDayIfEmpty(const Path &day) const;
    Result<void> putBackOne(const Path &staged, const Path &folder) const;
    // Drops these ids from history.json; false when it had to be written and could not be.
    bool dropFromHistory(const std::set<std::string, std::less<>> &ids) const;
    // Fails when snapshots/ is a link or not a folder (missing is fine).
    Result<void> checkSnapshotsFolder() const;
    // Renames the staging folder to `folder` (making its day folder); 0 or the errno.
    int moveInto(const Path &staging, const Path &folder) const;

    Path m_destination;
    Path m_snapshots;
};

} // namespace velkaro
