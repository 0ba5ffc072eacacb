// The per-snapshot record of source file stamps.
#include "Services/FileStatRecord.h"

#include "Platform/FileSystem.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace velkaro {

namespace {

constexpr char kMagic[8] = {'V', 'K', 'S', 'T', 'A', 'T', '1', '\n'};

// The stored form of a header and of one stamp: fixed size, native byte order (the store is read on
// the machine that wrote it; a foreign one fails the checksum or the size and counts as no record).
struct Header
{
    char magic[8];
    std::uint64_t count;
    std::int64_t startSeconds;
    std::uint32_t startNanoseconds;
    std::uint32_t reserved;
};
static_assert(sizeof(Header) == 32);
static_assert(sizeof(FileStamp) == 56);

// FNV-1a: enough to tell a torn or zero-filled file from a whole one.
std::uint64_t checksum(std::string_view bytes)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const unsigned char c : bytes)
        hash = (hash ^ c) * 0x100000001b3ULL;
    return hash;
}

} // namespace

FileStamp FileStamp::of(const struct stat &st)
{
    FileStamp stamp;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modifiedSeconds = st.st_mtim.tv_sec;
    stamp.modifiedNanoseconds = static_cast<std::uint32_t>(st.st_mtim.tv_nsec);
    stamp.changedSeconds = st.st_ctim.tv_sec;
    stamp.changedNanoseconds = static_cast<std::uint32_t>(st.st_ctim.tv_nsec);
    stamp.mode = st.st_mode;
    return stamp;
}

FileStatRecord::FileStatRecord(StampTime runStart, std::vector<FileStamp> stamps)
    : m_runStart(runStart)
    , m_stamps(std::move(stamps))
{ }

bool FileStatRecord::provesUnchanged(std::size_t index, const FileStamp &now) const
{
    if (index >= m_stamps.size() || !now.known() || m_stamps[index] != now)
        return false;
    return StampTime {now.changedSeconds, now.changedNanoseconds} < m_runStart;
}

Result<void> FileStatRecord::write(const std::filesystem::path &folder) const
{
    Header header = {};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.count = m_stamps.size();
    header.startSeconds = m_runStart.seconds;
    header.startNanoseconds = m_runStart.nanoseconds;
    std::string bytes(sizeof header + m_stamps.size() * sizeof(FileStamp), '\0');
    std::memcpy(bytes.data(), &header, sizeof header);
    if (!m_stamps.empty())
        std::memcpy(bytes.data() + sizeof header, m_stamps.data(), m_stamps.size() * sizeof(FileStamp));
    const std::uint64_t sum = checksum(bytes);
    bytes.append(reinterpret_cast<const char *>(&sum), sizeof sum);

    const auto path = folder / kFileName;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return std::unexpected(systemError(lastError(), path));
    const bool written = FileSystem::writeAll(fd, bytes);
    const std::error_code error = written ? std::error_code() : lastError();
    ::close(fd);
    if (!written)
        return std::unexpected(systemError(error, path));
    return {};
}

std::optional<FileStatRecord> FileStatRecord::read(const std::filesystem::path &folder, std::size_t expectedCount)
{
    const auto bytes = FileSystem::readFile(folder / kFileName);
    const std::size_t size = sizeof(Header) + expectedCount * sizeof(FileStamp) + sizeof(std::uint64_t);
    if (!bytes || bytes->size() != size)
        return std::nullopt;
    Header header = {};
    std::memcpy(&header, bytes->data(), sizeof header);
    std::uint64_t sum = 0;
    std::memcpy(&sum, bytes->data() + size - sizeof sum, sizeof sum);
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0 || header.count != expectedCount
        || sum != checksum(std::string_view(*bytes).substr(0, size - sizeof sum)))
        return std::nullopt;
    std::vector<FileStamp> stamps(expectedCount);
    if (expectedCount > 0)
        std::memcpy(stamps.data(), bytes->data() + sizeof header, expectedCount * sizeof(FileStamp));
    return FileStatRecord({header.startSeconds, header.startNanoseconds}, std::move(stamps));
}

} // namespace velkaro
