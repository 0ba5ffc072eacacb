#pragma once

#include "Models/AppEnums.h"
#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Platform/Error.h"
#include "Services/BackupService.h"
#include "Services/SnapshotStore.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

using RestoreProgressHandler = std::function<void(const std::string &)>;

// A file a restore could not write, and why.
struct RestoreFailure
{
    std::string path;
    std::string reason;
    bool operator==(const RestoreFailure &) const = default;
};

// What a restore did with the files it was asked for.
struct RestoreRun
{
    std::int64_t restoredCount = 0;
    // Chosen files that could not be written: missing from the snapshot, an unsafe path, a link on the
    // way into the target folder, or a failed copy.
    std::int64_t failedCount = 0;
    std::vector<RestoreFailure> failures = {}; // one per failed file, in restore order

    // The counts are the outcome; the failures only detail them.
    bool operator==(const RestoreRun &other) const
    {
        return restoredCount == other.restoredCount && failedCount == other.failedCount;
    }
    bool isComplete() const { return failedCount == 0; }
    void addFailure(const std::string &path, std::string reason)
    {
        ++failedCount;
        failures.push_back({path, std::move(reason)});
    }
    // "N 件のファイルを正常に復元しました！", with "、M 件は復元できませんでした" when some failed.
    std::string message() const;
    // The failed files, the first `shown` of them one a line as "・PATH: reason", then "ほか N 件"; empty
    // when none failed.
    std::string failureList(std::size_t shown = 5) const;
};

// Copies a snapshot's files back into the first source folder, after a safety snapshot of the current
// state. Adds and replaces files; never deletes any.
class RestoreService
{
public:
    static constexpr const char *kErrorDomain = "RestoreService";
    static constexpr int kNoTargetFolder = 400;
    static constexpr int kNotFound = 404; // the snapshot, its data or a file of it
    static constexpr int kNoSafetySnapshot = 500; // aborted before anything was overwritten

    explicit RestoreService(BackupService backupService = {});

    // What the application and the command-line tool show after restoring `count` files, of which
    // `failed` more could not be written.
    static std::string successMessage(std::int64_t count, std::int64_t failed = 0);

    // Under the store lock: the safety snapshot, then every recorded file that `scope` admits, each
    // replacing its target in one rename. Fails with 404 (unsafe id, no snapshot folder, or no data
    // folder for a snapshot that records files), 400 (no source folder), 500 (no safety snapshot) or the
    // lock's busy error. Returns how many files were restored and how many could not be.
    Result<RestoreRun> executeRestore(const BackupSnapshot &snapshot, const BackupConfig &config,
        RestoreScopeOption scope, const RestoreProgressHandler &progressHandler) const;

    // The same run for the chosen recorded paths only, whatever the scope. A path the snapshot does not
    // record fails with 404 "スナップショットに含まれていません: PATH" before anything is written.
    Result<RestoreRun> executeRestore(const BackupSnapshot &snapshot, const BackupConfig &config,
        const std::vector<std::string> &chosenPaths, const RestoreProgressHandler &progressHandler) const;

    // Whether `scope` admits the recorded path `relativePath` (".md" tested exactly, case-sensitively).
    static bool isIncluded(RestoreScopeOption scope, std::string_view relativePath);

private:
    using Admits = std::function<bool(std::string_view relativePath)>;

    Result<RestoreRun> run(const BackupSnapshot &snapshot, const BackupConfig &config, const Admits &admits,
        const RestoreProgressHandler &progressHandler) const;
    // Writes the admitted files of `snapshot` below `base` (ending in "/").
    RestoreRun restoreFiles(const SnapshotStore &store, const BackupSnapshot &snapshot, const std::string &base,
        const Admits &admits, const RestoreProgressHandler &report) const;

    BackupService m_backupService;
};

} // namespace velkaro
