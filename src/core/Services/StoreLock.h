#pragma once

#include "Platform/Error.h"

#include <chrono>
#include <filesystem>

namespace velkaro {

// The one-writer-at-a-time lock of a snapshot store: an exclusive flock on destination/".lock", held
// from acquire() until the object is destroyed. It works across processes (the tray application and
// the command-line tool), and between two holders in one process, since each acquire opens the file
// anew. A holder must therefore never call acquire() a second time for the same store.
class StoreLock
{
public:
    using Path = std::filesystem::path;

    static constexpr std::chrono::milliseconds kDefaultWait {2000};
    static constexpr const char *kLockFileName = ".lock";
    static constexpr const char *kErrorDomain = "StoreLock";
    static constexpr int kBusyCode = 409;

    // Creates the destination folder when missing (mode 0700; missing folders above it get the user's
    // umask), then takes the lock, waiting at most `wait` for another holder. Fails with busyError()
    // when the wait runs out, or with the system error when the folder or the lock file cannot be made.
    static Result<StoreLock> acquire(const Path &destination, std::chrono::milliseconds wait = kDefaultWait);

    static Error busyError(); // "別の処理がバックアップ先を使用中です"
    static bool isBusy(const Error &error);

    StoreLock(StoreLock &&other) noexcept;
    StoreLock &operator=(StoreLock &&other) noexcept;
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
    ~StoreLock();

    const Path &destination() const { return m_destination; }

private:
    StoreLock(int fd, Path destination);
    void release();

    int m_fd = -1;
    Path m_destination;
};

} // namespace velkaro
