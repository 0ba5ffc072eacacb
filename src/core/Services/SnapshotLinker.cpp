#include "Services/SnapshotLinker.h"

#include "Platform/FileSystem.h"
#include "Services/SnapshotStore.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

// Closes a descriptor when it goes.
struct Fd
{
    int fd = -1;
    explicit Fd(int descriptor)
        : fd(descriptor)
    { }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The copy keeps the source's time and permission bits, so a link must agree in those too. The opens do
// not block: a FIFO put in a file's place since its stat fails the inode test instead of hanging the run.
bool sameAsBaseCopy(const SelectedFile &file, const struct stat &copy, int folderFd, const char *name)
{
    const FileStamp &now = file.stamp;
    if (copy.st_mtim.tv_sec != now.modifiedSeconds
        || static_cast<std::uint32_t>(copy.st_mtim.tv_nsec) != now.modifiedNanoseconds
        || (copy.st_mode & 07777) != (now.mode & 07777))
        return false;
    const Fd source {::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (file.isSource ? 0 : O_NOFOLLOW))};
    const Fd stored {::openat(folderFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
    struct stat st = {};
    if (source.fd < 0 || stored.fd < 0 || ::fstat(source.fd, &st) != 0 || st.st_ino != now.inode
        || st.st_dev != now.device)
        return false;
    return FileSystem::sameBytes(source.fd, stored.fd) == 1;
}

} // namespace

LinkBase::LinkBase(const fs::path &folder, const std::vector<std::string> &paths)
    : m_data((folder / SnapshotStore::kDataFolderName).string() + '/')
    , m_record(FileStatRecord::read(folder, paths.size()))
{
    m_paths.reserve(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i)
        m_paths.try_emplace(paths[i], i);
}

bool Linker::link(const SelectedFile &file, int targetFolderFd, const char *targetName, const std::string &target)
{
    const auto index = m_base.indexOf(file.relativePath);
    if (!m_enabled || !file.stamp.known() || !index)
        return false;
    const char *name = nullptr;
    const int folderFd = m_folders.folderOf(file.relativePath, name);
    struct stat st = {};
    if (folderFd < 0 || ::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)
        || st.st_size != file.stamp.size)
        return false;
    if (!m_base.provesUnchanged(*index, file.stamp) && !sameAsBaseCopy(file, st, folderFd, name))
        return false;
    if (::linkat(folderFd, name, targetFolderFd, targetName, 0) == 0)
        return true;
    if (errno == EEXIST) {
        // A name already taken in the run's own staging folder: replace the name, never write into it.
        std::error_code ec;
        fs::remove_all(target, ec);
        if (::linkat(folderFd, name, targetFolderFd, targetName, 0) == 0)
            return true;
    }
    // Another file system or one without hard links will refuse every later file too.
    if (errno == EXDEV || errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)
        m_enabled = false;
    return false;
}

} // namespace velkaro
