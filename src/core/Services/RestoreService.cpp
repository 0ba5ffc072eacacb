#include "Services/RestoreService.h"

#include "Platform/FileCopier.h"
#include "Platform/FileSystem.h"
#include "Platform/QuotedName.h"
#include "Services/SourceSelection.h"

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
    const std::string suffix
        = std::string(FileSystem::kRestoreTemporaryMark) + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    return target.substr(0, slash + 1) + FileSystem::temporaryName(std::string_view(target).substr(slash + 1), suffix);
}

// The settings with the extensions of the files the restore may write added: the safety snapshot then
// holds every file the restore may replace, even one whose extension the settings no longer take.
BackupConfig withRestoredExtensions(
    BackupConfig config, const BackupSnapshot &snapshot, const std::function<bool(std::string_view)> &admits)
{
    if (config.targetExtensions.empty())
        return config; // every file is taken already
    const FileNameRule rule(config.targetExtensions);
    std::set<std::string> added;
    for (const auto &rel : snapshot.relativeFilePaths) {
        const std::string_view name = std::string_view(rel).substr(rel.rfind('/') + 1);
        if (admits(rel) && !rule.wants(name) && added.insert(FileNameRule::extensionOf(name)).second)
            config.targetExtensions.push_back(FileNameRule::extensionOf(name));
    }
    return config;
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

std::string RestoreRun::failureList(std::size_t shown) const
{
    std::string text;
    for (std::size_t i = 0; i < failures.size() && i < shown; ++i)
        text += (i ? "\n・" : "・") + failures[i].path + ": " + failures[i].reason;
    if (failures.size() > shown)
        text += "\nほか " + std::to_string(failures.size() - shown) + " 件";
    return text;
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
            return std::unexpected(restoreError(kNotFound, "スナップショットに含まれていません: " + quotedName(path)));
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
    const auto notFound
        = [&] { return restoreError(kNotFound, "スナップショットデータが見つかりません: " + quotedName(snapshot.id)); };
    // An id that leads outside the store is refused before anything is read or written.
    if (!SnapshotStore::isSafeSnapshotId(snapshot.id))
        return std::unexpected(notFound());

    if (auto refused = config.pathProblem())
        return std::unexpected(*refused);
    // Before anything is written. An empty first entry would otherwise mean the file-system root.
    if (config.sourceDirectories.empty() || config.sourceDirectories.front().empty())
        return std::unexpected(restoreError(kNoTargetFolder, "復元先ディレクトリが指定されていません"));
    const SnapshotStore store {fs::path(config.destinationDirectory)};
    const auto *const abortedText = "セーフティバックアップを作成できなかったため、復元を中止しました: ";
    auto lock = StoreLock::acquire(store.destination(), m_backupService.lockWait());
    if (!lock) {
        if (StoreLock::isBusy(lock.error()))
            return std::unexpected(lock.error());
        return std::unexpected(restoreError(kNoSafetySnapshot, abortedText + lock.error().description));
    }

    report("復元前のセーフティバックアップを作成中...");
    // Under the lock already held: a second acquire would open a new file description and wait on us.
    const auto safety = m_backupService.executeBackup(
        withRestoredExtensions(config, snapshot, admits), BackupTriggerType::preRestoreSafety, {}, *lock, snapshot.id);
    if (!safety)
        return std::unexpected(restoreError(kNoSafetySnapshot, abortedText + safety.error().description));
    // A safety snapshot that misses files would not bring the user's current files back.
    if (safety->skippedFileCount > 0) {
        return std::unexpected(restoreError(kNoSafetySnapshot,
            abortedText + std::to_string(safety->skippedFileCount) + " 件のファイルをコピーできませんでした"));
    }
    for (const auto &failure : safety->failedSources) {
        if (failure.sourceIndex == 0) // the folder the restore writes into
            return std::unexpected(restoreError(kNoSafetySnapshot, abortedText + failure.description()));
    }

    // A snapshot of no files has nothing in data/ (older ones have no data/ at all) and restores as 0.
    const auto folder = store.snapshotFolder(snapshot.id);
    if (!folder || !FileSystem::isDirectory(*folder)
        || (!snapshot.relativeFilePaths.empty() && !store.dataFolder(snapshot.id)))
        return std::unexpected(notFound());
    std::string base = config.sourceDirectories.front();
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    base += '/';
    const RestoreRun done = restoreFiles(store, snapshot, base, admits, report);
    report("復元完了 (" + std::to_string(done.restoredCount) + " 件)");
    return done;
}

namespace {

// Each folder renamed into and the folders above it up to the target folder: a folder the restore made
// has its entry in the one above.
std::set<std::string> foldersToSync(const std::set<std::string> &renamedInto, const std::string &base)
{
    const std::string top = base.substr(0, base.size() - 1);
    std::set<std::string> folders;
    for (std::string folder : renamedInto) {
        while (folder.size() > top.size() && folders.insert(folder).second)
            folder.resize(folder.rfind('/'));
        folders.insert(top);
    }
    return folders;
}

} // namespace

RestoreRun RestoreService::restoreFiles(const SnapshotStore &store, const BackupSnapshot &snapshot,
    const std::string &base, const Admits &admits, const RestoreProgressHandler &report) const
{
    FileCopier copier;
    RestoreRun run;
    std::unordered_set<std::string_view> seen; // a path recorded twice is one file
    std::set<std::string> renamedInto;
    const auto fail = [&run](const std::string &rel, std::string reason) { run.addFailure(rel, std::move(reason)); };
    for (const auto &rel : snapshot.relativeFilePaths) {
        if (!admits(rel) || !seen.insert(rel).second)
            continue;
        // A recorded path must stay below the target folder and name a stored copy, whatever
        // history.json says.
        const auto source = store.storedFile(snapshot.id, rel);
        if (!source) {
            fail(rel,
                SnapshotStore::isSafeRelativePath(rel) ? "スナップショットにデータがありません"
                                                       : "安全でないパスのため書き込みません");
            continue;
        }
        report("復元中: " + rel);
        const std::string target = base + rel;
        const std::string folder = target.substr(0, target.rfind('/'));
        // A linked folder on the way would carry the write out of the source folder. Folders made here
        // are the user's own: the umask decides their mode.
        if (FileSystem::passesThroughLink(base, rel)) {
            fail(rel, "シンボリックリンクを通るため書き込みません");
            continue;
        }
        if (auto made = FileSystem::createDirectories(folder); !made) {
            fail(rel, made.error().description);
            continue;
        }
        if (FileSystem::passesThroughLink(base, rel)) {
            fail(rel, "シンボリックリンクを通るため書き込みません");
            continue;
        }
        // A synced copy beside the target, then a rename over it: neither a failed copy nor a power cut
        // leaves the target empty or partial. A folder standing at the target is never replaced (the
        // rename fails and the entry is skipped).
        const std::string temporary = temporaryNameFor(target);
        if (auto copied = copier.copy(source->string(), temporary, false, true); !copied) {
            fail(rel, copied.error().description);
            continue;
        }
        if (std::rename(temporary.c_str(), target.c_str()) != 0) {
            fail(rel, systemError(lastError(), target).description);
            ::unlink(temporary.c_str());
            continue;
        }
        renamedInto.insert(folder);
        ++run.restoredCount;
    }
    // The renames themselves, and the entries of folders the restore made, reach the disk before the
    // restore is reported done.
    for (const auto &folder : foldersToSync(renamedInto, base))
        FileSystem::syncFolder(folder);
    return run;
}

} // namespace velkaro
