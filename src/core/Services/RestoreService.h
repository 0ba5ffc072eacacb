#pragma once

#include "Models/AppEnums.h"
#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Platform/Error.h"
#include "Services/BackupService.h"

#include <cstdint>
#include <functional>
#include <string>

namespace velkaro {

using RestoreProgressHandler = std::function<void(const std::string &)>;

// Copies a snapshot's files back into the first source folder, after a safety snapshot of the current
// state. Adds and replaces files; never deletes any.
class RestoreService
{
public:
    static constexpr const char *kErrorDomain = "RestoreService";

    explicit RestoreService(BackupService backupService = {});

    // What the application and the command-line tool show after restoring `count` files.
    static std::string successMessage(std::int64_t count);

    // Under the store lock: the safety snapshot, then every recorded file that `scope` admits, each
    // replacing its target in one rename. Fails with 404 (unsafe id or no data folder), 400 (no source
    // folder), 500 (no safety snapshot) or the lock's busy error. Returns the number of files restored.
    Result<std::int64_t> executeRestore(const BackupSnapshot &snapshot, const BackupConfig &config,
                                        RestoreScopeOption scope, const RestoreProgressHandler &progressHandler) const;

    // Whether `scope` admits the recorded path `relativePath` (".md" tested exactly, case-sensitively).
    static bool isIncluded(RestoreScopeOption scope, std::string_view relativePath);

private:
    BackupService m_backupService;
};

} // namespace velkaro
