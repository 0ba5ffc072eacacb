#include "Services/StoreLock.h"

#include "Platform/FileSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace velkaro {

Result<StoreLock> StoreLock::acquire(const Path &destination, std::chrono::milliseconds wait)
{
    // The folders above the store are the user's (a missing ~/Documents, say): only the store is private.
    std::string folder = destination.string();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    const Path parent = Path(folder).parent_path();
    if (!parent.empty() && !FileSystem::exists(parent)) {
        if (auto made = FileSystem::createDirectories(parent.string()); !made)
            return std::unexpected(made.error());
    }
    if (auto made = FileSystem::createPrivateDirectories(destination.string()); !made)
        return std::unexpected(made.error());
    const Path lockFile = destination / kLockFileName;
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return std::unexpected(systemError(lastError(), lockFile));

    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return StoreLock(fd, destination);
        const int e = errno;
        if (e == EINTR)
            continue;
        if (e != EWOULDBLOCK) {
            ::close(fd);
            return std::unexpected(systemError({e, std::generic_category()}, lockFile));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return std::unexpected(busyError());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

Error StoreLock::busyError()
{
    return Error {kErrorDomain, kBusyCode, "別の処理がバックアップ先を使用中です"};
}

bool StoreLock::isBusy(const Error &error)
{
    return error.domain == kErrorDomain && error.code == kBusyCode;
}

StoreLock::StoreLock(int fd, Path destination)
    : m_fd(fd)
    , m_destination(std::move(destination))
{ }

StoreLock::StoreLock(StoreLock &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_destination(std::move(other.m_destination))
{ }

StoreLock &StoreLock::operator=(StoreLock &&other) noexcept
{
    if (this != &other) {
        release();
        m_fd = std::exchange(other.m_fd, -1);
        m_destination = std::move(other.m_destination);
    }
    return *this;
}

StoreLock::~StoreLock()
{
    release();
}

void StoreLock::release()
{
    // Closing the only descriptor of this open file drops the lock.
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace velkaro
