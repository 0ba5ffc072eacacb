#include "Services/RestoreService.h"

#include "Platform/FileCopier.h"
#include "Platform/FileSystem.h"

#include <atomic>
#include <cstdio>
#include <unistd.h>

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
    return target.substr(0, slash + 1) + "." + target.substr(slash + 1) + std::string(FileSystem::kRestoreTemporaryMark) + std::to_string(::getpid())
        + "-" + std::to_string(counter++);
}

} // namespace

std::string RestoreService::successMessage(std::int64_t count)
{
    return std::to_string(count) + " 件のファイルを正常に復元しました！";
}

RestoreService::RestoreService(BackupService backupService)
    : m_backupService(std::move(backupService))
{
}

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

Result<std::int64_t> RestoreService::executeRestore(const BackupSnapshot &snapshot, const BackupConfig &config,
                                                    RestoreScopeOption scope,
                                                    const RestoreProgressHandler &progressHandler) const
{
    const auto report = [&](const std::string &text) {
        if (progressHandler)
            progressHandler(text);
    };
    const auto notFound = [&] { return restoreError(404, "スナップショットデータが見つかりません: " + snapshot.id); };
    // An id that leads outside the store is refused before anything is read or written.
    if (!BackupService::isSafeSnapshotId(snapshot.id))
        return std::unexpected(notFound());

    const fs::path destination(config.destinationDirectory);
    const auto abortedText = "セーフティバックアップを作成できなかったため、復元を中止しました: ";
    auto lock = StoreLock::acquire(destination, m_backupService.lockWait());
    if (!lock) {
        if (StoreLock::isBusy(lock.error()))
            return std::unexpected(lock.error());
        return std::unexpected(restoreError(500, abortedText + lock.error().description));
    }

    report("復元前のセーフティバックアップを作成中...");
    // Under the lock already held: a second acquire would open a new file description and wait on us.
    const auto safety =
        m_backupService.executeBackup(config, BackupTriggerType::preRestoreSafety, {}, *lock, snapshot.id);
    if (!safety)
        return std::unexpected(restoreError(500, abortedText + safety.error().description));
    // A safety snapshot that misses files would not bring the user's current files back.
    if (safety->skippedFileCount > 0) {
        return std::unexpected(restoreError(500, abortedText + std::to_string(safety->skippedFileCount)
                                                     + " 件のファイルをコピーできませんでした"));
    }

    const auto folder = BackupService::snapshotFolder(destination / "snapshots", snapshot.id);
    if (!folder || !FileSystem::exists(*folder / "data"))
        return std::unexpected(notFound());
    // An empty first entry would otherwise mean the file-system root.
    if (config.sourceDirectories.empty() || config.sourceDirectories.front().empty())
        return std::unexpected(restoreError(400, "復元先ディレクトリが指定されていません"));

    const std::string data = (*folder / "data").string() + '/';
    std::string base = config.sourceDirectories.front();
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    base += '/';

    FileCopier copier;
    std::int64_t count = 0;
    for (const auto &rel : snapshot.relativeFilePaths) {
        if (!isIncluded(scope, rel))
            continue;
        // A recorded path must stay below the target folder, whatever history.json says.
        if (!BackupService::isSafeRelativePath(rel))
            continue;
        const std::string source = data + rel;
        if (!FileSystem::exists(source))
            continue;
        report("復元中: " + rel);

        const std::string target = base + rel;
        // A linked folder on the way would carry the write out of the source folder.
        if (FileSystem::passesThroughLink(base, rel))
            continue;
        if (!FileCopier::createPrivateDirectories(target.substr(0, target.rfind('/'))))
            continue;
        if (FileSystem::passesThroughLink(base, rel))
            continue;
        // Copy beside the target, then rename over it: a failed copy leaves the old file as it was.
        // A folder standing at the target is never replaced (the rename fails and the entry is skipped).
        const std::string temporary = temporaryNameFor(target);
        if (!copier.copy(source, temporary, false))
            continue;
        if (std::rename(temporary.c_str(), target.c_str()) != 0) {
            ::unlink(temporary.c_str());
            continue;
        }
        ++count;
    }
    report("復元完了 (" + std::to_string(count) + " 件)");
    return count;
}

} // namespace velkaro
