#include "Services/RestoreService.h"

#include "Platform/FileCopier.h"
#include "Platform/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <unistd.h>
#include <unordered_set>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

Error restoreError(int code, std::string description)
{
    return Error {RestoreService::kErrorDomain, code, std::move(description)};
}

// A hidden name beside the target, unique within this process and across processes.
std::string temporaryNameFor(const std::string &target)
{
    static std::atomic<unsigned> counter {0};
    const auto slash = target.rfind('/');
    return target.substr(0, slash + 1) + "." + target.substr(slash + 1) + std::string(FileSystem::kRestoreTemporaryMark)
        + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

} // namespace

std::string RestoreService::successMessage(std::int64_t count, std::int64_t failed)
{
    std::string text = std::to_string(count) + " 件のファイルを正常に復元しました！";
    if (failed > 0)
        text += "、" + std::to_string(failed) + " 件は復元できませんでした";
    return text;
}

std::string RestoreRun::message() const
{
    return RestoreService::successMessage(restoredCount, failedCount);
}

RestoreService::RestoreService(BackupService backupService)
    : m_backupService(std::move(backupService))
{ }

bool RestoreService::isIncluded(RestoreScopeOption scope, std::string_view relativePath)
{
    switch (scope) {
    case RestoreScopeOption::allFiles:
        return true;
    case RestoreScopeOption::markdownOnly:
        return relativePath.ends_with(".md");
    case RestoreScopeOption::configOnly:
        return !relativePath.ends_with(".md");
    }
    return false;
}

Result<RestoreRun> RestoreService::executeRestore(const BackupSnapshot &snapshot, const BackupConfig &config,
    RestoreScopeOption scope, const RestoreProgressHandler &progressHandler) const
{
    return run(
        snapshot, config, [scope](std::string_view rel) { return isIncluded(scope, rel); }, progressHandler);
}

Result<RestoreRun> RestoreService::executeRestore(const BackupSnapshot &snapshot, const BackupConfig &config,
    const std::vector<std::string> &chosenPaths, const RestoreProgressHandler &progressHandler) const
{
    // Checked before the lock and the safety snapshot: a wrong name changes nothing.
    const auto &recorded = snapshot.relativeFilePaths;
    for (const auto &path : chosenPaths) {
        if (std::find(recorded.begin(), recorded.end(), path) == recorded.end())
            return std::unexpected(restoreError(404, "スナップショットに含まれていません: " + path));
    }
    return run(
        snapshot, config,
        [&](std::string_view rel) {
            return std::find(chosenPaths.begin(), chosenPaths.end(), rel) != chosenPaths.end();
        },
        progressHandler);
}

Result<RestoreRun> RestoreService::run(const BackupSnapshot &snapshot, const BackupConfig &config, const Admits &admits,
    const RestoreProgressHandler &progressHandler) const
{
    const auto report = [&](const std::string &text) {
        if (progressHandler)
            progressHandler(text);
    };
    const auto notFound = [&] { return restoreError(404, "スナップショットデータが見つかりません: " + snapshot.id); };
    // An id that leads outside the store is refused before anything is read or written.
    if (!SnapshotStore::isSafeSnapshotId(snapshot.id))
        return std::unexpected(notFound());

    if (auto refused = config.pathProblem())
        return std::unexpected(*refused);
    const SnapshotStore store {fs::path(config.destinationDirectory)};
    const auto abortedText = "セーフティバックアップを作成できなかったため、復元を中止しました: ";
    auto lock = StoreLock::acquire(store.destination(), m_backupService.lockWait());
    if (!lock) {
        if (StoreLock::isBusy(lock.error()))
            return std::unexpected(lock.error());
        return std::unexpected(restoreError(500, abortedText + lock.error().description));
    }

    report("復元前のセーフティバックアップを作成中...");
    // Under the lock already held: a second acquire would open a new file description and wait on us.
    const auto safety
        = m_backupService.executeBackup(config, BackupTriggerType::preRestoreSafety, {}, *lock, snapshot.id);
    if (!safety)
        return std::unexpected(restoreError(500, abortedText + safety.error().description));
    // A safety snapshot that misses files would not bring the user's current files back.
    if (safety->skippedFileCount > 0) {
        return std::unexpected(restoreError(
            500, abortedText + std::to_string(safety->skippedFileCount) + " 件のファイルをコピーできませんでした"));
    }
    for (const auto &failure : safety->failedSources) {
        if (failure.sourceIndex == 0) // the folder the restore writes into
            return std::unexpected(restoreError(500, abortedText + failure.description()));
    }

    // A snapshot of no files has nothing in data/ (older ones have no data/ at all) and restores as 0.
    const auto folder = store.snapshotFolder(snapshot.id);
    if (!folder || !FileSystem::isDirectory(*folder)
        || (!snapshot.relativeFilePaths.empty() && !store.dataFolder(snapshot.id)))
        return std::unexpected(notFound());
    // An empty first entry would otherwise mean the file-system root.
    if (config.sourceDirectories.empty() || config.sourceDirectories.front().empty())
        return std::unexpected(restoreError(400, "復元先ディレクトリが指定されていません"));

    std::string base = config.sourceDirectories.front();
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    base += '/';
    const RestoreRun done = restoreFiles(store, snapshot, base, admits, report);
    report("復元完了 (" + std::to_string(done.restoredCount) + " 件)");
    return done;
}

RestoreRun RestoreService::restoreFiles(const SnapshotStore &store, const BackupSnapshot &snapshot,
    const std::string &base, const Admits &admits, const RestoreProgressHandler &report) const
{
    FileCopier copier;
    RestoreRun run;
    const auto failed = [&](const std::string &rel) {
        ++run.failedCount;
        run.failedPaths.push_back(rel);
    };
    std::unordered_set<std::string_view> seen; // a path recorded twice is one file
    std::set<std::string> renamedInto;
    for (const auto &rel : snapshot.relativeFilePaths) {
        if (!admits(rel) || !seen.insert(rel).second)
            continue;
        // A recorded path must stay below the target folder and name a stored copy, whatever
        // history.json says.
        const auto source = store.storedFile(snapshot.id, rel);
        if (!source) {
            failed(rel);
            continue;
        }
        report("復元中: " + rel);
        const std::string target = base + rel;
        const std::string folder = target.substr(0, target.rfind('/'));
        // A linked folder on the way would carry the write out of the source folder. Folders made here
        // are the user's own: the umask decides their mode.
        const bool placed = !FileSystem::passesThroughLink(base, rel) && FileSystem::createDirectories(folder)
            && !FileSystem::passesThroughLink(base, rel);
        // A synced copy beside the target, then a rename over it: neither a failed copy nor a power cut
        // leaves the target empty or partial. A folder standing at the target is never replaced (the
        // rename fails and the entry is skipped).
        const std::string temporary = temporaryNameFor(target);
        if (!placed || !copier.copy(source->string(), temporary, false, true)) {
            failed(rel);
            continue;
        }
        if (std::rename(temporary.c_str(), target.c_str()) != 0) {
            ::unlink(temporary.c_str());
            failed(rel);
            continue;
        }
        renamedInto.insert(folder);
        ++run.restoredCount;
    }
    // The renames themselves reach the disk before the restore is reported done.
    for (const auto &folder : renamedInto)
        FileSystem::syncFolder(folder);
    return run;
}

} // namespace velkaro
