#include "Platform/FileCopier.h"
#include "Platform/FileSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkaro {

namespace {

constexpr std::size_t kChunk = 1u << 30; // per kernel call; the loops run to end of file anyway
constexpr std::size_t kBufferSize = std::size_t {128} * 1024;

// Errors after which a kernel copy method will not work for this run's files either.
bool isUnsupported(int e)
{
    return e == EXDEV || e == ENOSYS || e == EOPNOTSUPP || e == EINVAL || e == ENOTTY || e == EBADF;
}

enum class KernelCopy { done, fallBack, failed };

// Runs one kernel copy call until end of file. Falls back to plain reads when the method copies
// nothing of a file that has content (some pseudo files) or is not supported here; in the latter case
// `enabled` is cleared so that later files do not ask again.
template<class Call> KernelCopy kernelCopy(const Call &call, std::int64_t size, std::int64_t &copied, bool &enabled)
{
    for (;;) {
        const ssize_t n = call();
        if (n > 0) {
            copied += n;
            continue;
        }
        if (n == 0)
            return copied == 0 && size > 0 ? KernelCopy::fallBack : KernelCopy::done;
        if (errno == EINTR)
            continue;
        if (copied == 0 && isUnsupported(errno)) {
            enabled = false;
            return KernelCopy::fallBack;
        }
        return KernelCopy::failed;
    }
}

} // namespace

FileCopier::FileCopier() = default;
FileCopier::~FileCopier() = default;

bool FileCopier::copyContent(int in, int out, std::int64_t size, std::int64_t &copied)
{
    copied = 0;
    if (m_tryClone && size > 0) {
        if (::ioctl(out, FICLONE, in) == 0) {
            copied = size;
            return true;
        }
        m_tryClone = false; // not a reflink file system (or not across these two): do not ask again
    }

    if (m_tryCopyRange) {
        const auto outcome = kernelCopy(
            [&] { return ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0); }, size, copied, m_tryCopyRange);
        if (outcome != KernelCopy::fallBack)
            return outcome == KernelCopy::done;
    }
    if (m_trySendfile && copied == 0) {
        const auto outcome
            = kernelCopy([&] { return ::sendfile(out, in, nullptr, kChunk); }, size, copied, m_trySendfile);
        if (outcome != KernelCopy::fallBack)
            return outcome == KernelCopy::done;
    }

    // Plain reads, from where the kernel copies left off (both advance the file offsets).
    if (!m_buffer)
        m_buffer = std::make_unique<char[]>(kBufferSize);
    for (;;) {
        const ssize_t n = ::read(in, m_buffer.get(), kBufferSize);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!FileSystem::writeAll(out, {m_buffer.get(), static_cast<std::size_t>(n)}))
            return false;
        copied += n;
    }
}

Result<std::int64_t> FileCopier::copy(
    const std::string &source, const std::string &target, bool replaceExisting, bool durable)
{
    // O_NONBLOCK: a FIFO swapped in after the listing must not hang the run; regular files ignore it.
    const int in = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0)
        return std::unexpected(systemError(lastError(), source));
    struct stat st
    {
    };
    if (::fstat(in, &st) != 0) {
        const auto ec = lastError();
        ::close(in);
        return std::unexpected(systemError(ec, source));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(in);
        return std::unexpected(systemError(std::make_error_code(std::errc::invalid_argument), source));
    }

    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int out = ::open(target.c_str(), kCreate, 0600);
    if (out < 0 && errno == EEXIST && replaceExisting) {
        // Rare (two sources naming the same path): clear the place and retry.
        std::error_code ec;
        std::filesystem::remove_all(target, ec);
        out = ::open(target.c_str(), kCreate, 0600);
    }
    if (out < 0) {
        const auto ec = lastError();
        ::close(in);
        return std::unexpected(systemError(ec, target));
    }

    std::int64_t copied = 0;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    bool ok = copyContent(in, out, st.st_size, copied);
    std::error_code ec = ok ? std::error_code {} : lastError();
    if (ok
        && (::fchmod(out, st.st_mode & 07777) != 0 || ::futimens(out, times) != 0 || (durable && ::fsync(out) != 0))) {
        ok = false;
        ec = lastError();
    }
    ::close(in);
    if (::close(out) != 0 && ok) {
        ok = false;
        ec = lastError();
    }
    if (!ok) {
        ::unlink(target.c_str());
        return std::unexpected(systemError(ec, target));
    }
    return copied;
}

} // namespace velkaro
