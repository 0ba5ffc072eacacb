#include "Platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace velkaro::FileSystem {

namespace {

// The process umask, read without changing it (umask(2) would race with other threads).
mode_t currentUmask()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    }
    return 022;
}

} // namespace

fs::path homeDirectory()
{
    if (const char *home = std::getenv("HOME"); home && *home)
        return fs::path(home).lexically_normal();
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return fs::path(pw->pw_dir);
    return fs::path("/");
}

std::string expandHome(std::string_view path)
{
    if (path.empty() || path.front() != '~' || (path.size() > 1 && path[1] != '/'))
        return std::string(path);
    std::string home = homeDirectory().string();
    // "~/" on a home of "/" must not give "//".
    if (path.size() > 1 && !home.empty() && home.back() == '/')
        home.pop_back();
    return home + std::string(path.substr(1));
}

fs::path configHome()
{
    if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && fs::path(xdg).is_absolute())
        return fs::path(xdg);
    return homeDirectory() / ".config";
}

fs::path applicationSupportDirectory()
{
    return configHome() / "VelkaroAntigraviti_Backup";
}

bool exists(const fs::path &path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bool isDirectory(const fs::path &path)
{
    std::error_code ec;
    return fs::is_directory(path, ec);
}

Result<void> createDirectories(const fs::path &path)
{
    return createDirectories(path, 0777);
}

Result<void> createPrivateDirectories(const fs::path &path)
{
    return createDirectories(path, 0700);
}

Result<void> createDirectories(const fs::path &target, mode_t mode)
{
    const std::string path = target.string();
    if (path.empty())
        return std::unexpected(systemError(std::make_error_code(std::errc::no_such_file_or_directory), path));
    if (::mkdir(path.c_str(), mode) == 0)
        return {};
    int e = errno;
    if (e == ENOENT) {
        const auto slash = path.find_last_not_of('/', path.rfind('/'));
        if (path.rfind('/') != std::string::npos && slash != std::string::npos) {
            if (auto parent = createDirectories(path.substr(0, slash + 1), mode); !parent)
                return parent;
            if (::mkdir(path.c_str(), mode) == 0)
                return {};
            e = errno;
        }
    }
    if (e == EEXIST) {
        struct stat st
        {
        };
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return {};
        e = ENOTDIR;
    }
    return std::unexpected(systemError({e, std::generic_category()}, path));
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

Result<std::vector<fs::path>> listDirectory(const fs::path &path)
{
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    if (ec)
        return std::unexpected(systemError(ec, path));
    std::vector<fs::path> entries;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        entries.push_back(it->path());
    }
    if (ec)
        return std::unexpected(systemError(ec, path));
    std::sort(entries.begin(), entries.end(),
        [](const fs::path &a, const fs::path &b) { return a.filename().native() < b.filename().native(); });
    return entries;
}

Result<std::string> readFile(const fs::path &path)
{
    auto file = FileReader::open(path);
    if (!file)
        return std::unexpected(file.error());
    std::string data;
    char buffer[64 * 1024];
    for (;;) {
        const std::ptrdiff_t n = file->read(buffer, sizeof buffer);
        if (n < 0)
            return std::unexpected(systemError(lastError(), path));
        if (n == 0)
            return data;
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

Result<FileReader> FileReader::open(const fs::path &path)
{
    // Non-blocking, so that a FIFO without a writer in the file's place cannot hold the open up; only a
    // regular file is read (a FIFO or a device would never end, or wait for ever).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::unexpected(systemError(lastError(), path));
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return std::unexpected(systemError(std::error_code(error, std::generic_category()), path));
    }
    return FileReader(fd);
}

FileReader::FileReader(FileReader &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{ }

FileReader &FileReader::operator=(FileReader &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

FileReader::~FileReader()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::ptrdiff_t FileReader::read(char *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, size);
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return -1;
    }
}

std::ptrdiff_t FileReader::readAt(char *buffer, std::size_t size, std::uint64_t offset)
{
    for (;;) {
        const ssize_t n = ::pread(m_fd, buffer, size, static_cast<off_t>(offset));
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return -1;
    }
}

Result<void> writeFileAtomically(const fs::path &path, std::string_view data, bool privateMode)
{
    return writeFileAtomically(
        path,
        [data](const std::function<void(std::string_view)> &write) -> Result<void> {
            write(data);
            return {};
        },
        privateMode);
}

namespace {

// Up to `size` bytes, going on after short and interrupted reads; the number read, or -1.
ssize_t readFull(int fd, char *buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

int sameBytes(int a, int b)
{
    constexpr std::size_t kChunk = std::size_t {64} * 1024;
    std::vector<char> left(kChunk), right(kChunk);
    while (true) {
        const ssize_t n = readFull(a, left.data(), kChunk);
        const ssize_t m = readFull(b, right.data(), kChunk);
        if (n < 0 || m < 0)
            return -1;
        if (n != m || !std::equal(left.begin(), left.begin() + n, right.begin()))
            return 0;
        if (n == 0)
            return 1;
    }
}

bool syncFolder(const fs::path &folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool isNotFound(const Error &error)
{
    return error.domain == kSystemErrorDomain && error.code == ENOENT;
}

Result<void> writeFileAtomically(const fs::path &path, const ContentWriter &content, bool privateMode)
{
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    if (auto made = createDirectories(parent); !made)
        return made;

    std::string tmpl
        = (parent / temporaryName(path.filename().native(), std::string(kTemporaryMark) + "XXXXXX")).string();
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(systemError(lastError(), path));

    auto fail = [&](std::error_code ec) -> Result<void> {
        ::close(fd);
        ::unlink(tmpl.c_str());
        return std::unexpected(systemError(ec, path));
    };

    struct stat old
    {
    };
    const mode_t mode = privateMode       ? 0600
        : ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777)
                                          : (0666 & ~currentUmask());
    if (::fchmod(fd, mode) != 0)
        return fail(lastError());
    // After the first failed write the rest of the content is passed over, and the write fails.
    std::error_code writeError;
    auto produced = content([&](std::string_view piece) {
        if (!writeError && !writeAll(fd, piece))
            writeError = lastError();
    });
    if (writeError)
        return fail(writeError);
    if (!produced) {
        ::close(fd);
        ::unlink(tmpl.c_str());
        return produced;
    }
    if (::fsync(fd) != 0)
        return fail(lastError());
    if (::close(fd) != 0) {
        const auto ec = lastError();
        ::unlink(tmpl.c_str());
        return std::unexpected(systemError(ec, path));
    }
    if (::rename(tmpl.c_str(), path.c_str()) != 0) {
        const auto ec = lastError();
        ::unlink(tmpl.c_str());
        return std::unexpected(systemError(ec, path));
    }
    // Make the rename itself durable.
    syncFolder(parent);
    return {};
}

Result<void> writeFileKeepingDamaged(const fs::path &path, std::string_view data,
    const std::function<bool(std::string_view)> &isDecodable, bool privateMode)
{
    const auto current = readFile(path);
    // A read that broke off says nothing about the file: replacing it could lose an intact one.
    if (!current && !isNotFound(current.error()))
        return std::unexpected(current.error());
    if (current && !isDecodable(*current)) {
        // Never replace what we could not keep.
        if (auto kept = keepAsDamaged(path); !kept)
            return kept;
    }
    return writeFileAtomically(path, data, privateMode);
}

Result<void> keepAsDamaged(const fs::path &path)
{
    if (!FileSystem::exists(path))
        return {};
    // RENAME_NOREPLACE: two damaged copies never share a name, even with another process at it.
    for (int n = 1; n < 1000; ++n) {
        fs::path kept = path;
        kept += n == 1 ? std::string(".damaged") : ".damaged-" + std::to_string(n);
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0) {
            syncFolder(kept.parent_path());
            return {};
        }
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            return std::unexpected(systemError(lastError(), kept));
        // No RENAME_NOREPLACE here: look first (the store lock or a single writer makes this safe).
        if (FileSystem::exists(kept))
            continue;
        if (::rename(path.c_str(), kept.c_str()) != 0)
            return std::unexpected(systemError(lastError(), kept));
        return {};
    }
    return std::unexpected(systemError(std::make_error_code(std::errc::file_exists), path.string() + ".damaged"));
}

Result<void> removeAll(const fs::path &path)
{
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec)
        return std::unexpected(systemError(ec, path));
    return {};
}

bool isTemporaryName(std::string_view fileName)
{
    if (!fileName.starts_with('.'))
        return false;
    const auto mark = fileName.find(kTemporaryMark);
    if (mark != std::string_view::npos && mark > 1 && fileName.size() > mark + kTemporaryMark.size())
        return true;
    const auto restoreMark = fileName.find(kRestoreTemporaryMark);
    return restoreMark != std::string_view::npos && restoreMark > 1
        && fileName.size() > restoreMark + kRestoreTemporaryMark.size();
}

std::string temporaryName(std::string_view fileName, std::string_view suffix)
{
    constexpr std::size_t kNameMax = 255;
    const std::size_t room = kNameMax > suffix.size() + 2 ? kNameMax - suffix.size() - 1 : 1;
    std::size_t keep = std::min(fileName.size(), room);
    while (keep > 1 && keep < fileName.size() && (static_cast<unsigned char>(fileName[keep]) & 0xC0) == 0x80)
        --keep; // never split a character
    return "." + std::string(fileName.substr(0, keep)) + std::string(suffix);
}

int removeStaleTemporaries(const fs::path &folder, std::int64_t before)
{
    auto entries = listDirectory(folder);
    if (!entries)
        return 0;
    int removed = 0;
    for (const auto &entry : *entries) {
        if (!isTemporaryName(entry.filename().native()))
            continue;
        struct stat st
        {
        };
        if (::lstat(entry.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_mtim.tv_sec >= before)
            continue;
        if (::unlink(entry.c_str()) == 0)
            ++removed;
    }
    return removed;
}

bool passesThroughLink(const fs::path &root, const fs::path &relative, bool includeLast)
{
    fs::path walk = root;
    for (auto it = relative.begin(); it != relative.end(); ++it) {
        if (it->empty())
            continue;
        if (!includeLast && std::next(it) == relative.end())
            break;
        walk /= *it;
        struct stat st
        {
        };
        if (::lstat(walk.c_str(), &st) != 0)
            return false; // missing from here on: made as real folders by the writer
        if (!S_ISDIR(st.st_mode))
            return true;
    }
    return false;
}

} // namespace velkaro::FileSystem
