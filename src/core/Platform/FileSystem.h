#pragma once

#include "Platform/Error.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// The one place where the program touches the file system for whole-file reads and writes and for the
// well-known folders. Every operation reports failures as values; nothing throws.
namespace velkaro::FileSystem {

namespace fs = std::filesystem;

// The user's home folder: $HOME, else the password database entry.
fs::path homeDirectory();

// A path as the user types it: a leading "~" alone or before "/" becomes the home folder. "~name" and
// every other text stay as they are.
std::string expandHome(std::string_view path);

// $XDG_CONFIG_HOME (default ~/.config).
fs::path configHome();

// Where config.json and templates.json live: $XDG_CONFIG_HOME/VelkaroAntigraviti_Backup.
fs::path applicationSupportDirectory();

// True when anything (file, folder, dangling link) stands at `path`.
bool exists(const fs::path &path);
bool isDirectory(const fs::path &path);

// Creates the folder and every missing parent; an existing folder is success. Each new folder gets
// `mode` less the umask (0777 by default: the user's usual folders).
Result<void> createDirectories(const fs::path &path);
Result<void> createDirectories(const fs::path &target, mode_t mode);
// The same with mode 0700 for every new folder: inside the store only, since the default source holds
// credentials; elsewhere the user's umask decides.
Result<void> createPrivateDirectories(const fs::path &path);

// The direct entries of a folder, hidden ones included, sorted by name so that every run sees the
// same order.
Result<std::vector<fs::path>> listDirectory(const fs::path &path);

// Writes all of `data` to `fd`, going on after partial writes and interruptions; false (errno set) on
// a write error.
bool writeAll(int fd, std::string_view data);

// The whole file as bytes.
Result<std::string> readFile(const fs::path &path);

// A file opened for reading in chunks, for files too large to hold whole. Closed when it goes.
class FileReader
{
public:
    // Fails when the file cannot be opened or is not a regular file (a folder, a FIFO, a device).
    static Result<FileReader> open(const fs::path &path);

    FileReader(FileReader &&other) noexcept;
    FileReader &operator=(FileReader &&other) noexcept;
    FileReader(const FileReader &) = delete;
    FileReader &operator=(const FileReader &) = delete;
    ~FileReader();

    // The next bytes: how many were read, 0 at the end, -1 on a read error.
    std::ptrdiff_t read(char *buffer, std::size_t size);
    // The bytes at `offset`, leaving the position for read() where it was; as read() otherwise.
    std::ptrdiff_t readAt(char *buffer, std::size_t size, std::uint64_t offset);

private:
    explicit FileReader(int fd)
        : m_fd(fd)
    { }
    int m_fd = -1;
};

// A file's content, produced piece by piece: calls `write` as often as it likes. An error it returns
// fails the write, and the file stays as it was.
using ContentWriter = std::function<Result<void>(const std::function<void(std::string_view)> &write)>;

// Replaces the file with `data` crash-safely: the bytes go to a temporary file in the same folder,
// are flushed to disk and then renamed over the old file, so a reader sees either the old or the new
// content, never a torn one. Missing parent folders are created. An existing file keeps its
// permission bits; a new one gets 0666 less the umask. A `privateMode` file is always 0600.
Result<void> writeFileAtomically(const fs::path &path, std::string_view data, bool privateMode = false);
// The same, for content streamed to the temporary file as it is produced (never held whole).
Result<void> writeFileAtomically(const fs::path &path, const ContentWriter &content, bool privateMode = false);

// Flushes a folder's entries (a rename or a new name in it) to disk. False on a write-back error.
bool syncFolder(const fs::path &folder);

// Reads two open files from where they stand, block by block: 1 the same bytes, 0 different, -1 a
// read failed (errno tells why).
int sameBytes(int a, int b);

// Moves whatever stands at `path` aside to `path` + ".damaged", or ".damaged-2", ".damaged-3", ...
// when that name is taken: an earlier damaged copy is never replaced. Nothing there is success.
Result<void> keepAsDamaged(const fs::path &path);

// Like writeFileAtomically, but when the file at `path` was read whole and `isDecodable` rejects it,
// it is first kept aside (keepAsDamaged), so what the user had is never silently thrown away. A file
// that cannot be read is not damaged: the write fails with the read's error and nothing is replaced.
Result<void> writeFileKeepingDamaged(const fs::path &path, std::string_view data,
    const std::function<bool(std::string_view)> &isDecodable, bool privateMode = false);

// True for the error of a read that found nothing at the path.
bool isNotFound(const Error &error);

// Removes a file, or a folder with everything in it. Nothing there is success.
Result<void> removeAll(const fs::path &path);

// The marks in the names of this program's temporary files: writeFileAtomically's
// ".<name>.velkaro-tmp-XXXXXX" and a restore's ".<name>.velkaro-restore-<pid>-<n>". A run that is
// killed leaves them behind; these names let a later run recognise them.
inline constexpr std::string_view kTemporaryMark = ".velkaro-tmp-";
inline constexpr std::string_view kRestoreTemporaryMark = ".velkaro-restore-";
bool isTemporaryName(std::string_view fileName);
// "." + `fileName` + `suffix`, with `fileName` cut short (at a UTF-8 character boundary) where the whole
// would pass the 255 bytes a name may have: a file whose name is already that long still gets a
// temporary beside it, and the cut name still has the mark isTemporaryName looks for.
std::string temporaryName(std::string_view fileName, std::string_view suffix);

// Removes the temporary files (isTemporaryName) directly in `folder` that are regular files last
// modified before `before` (seconds since the epoch). Returns how many went.
int removeStaleTemporaries(const fs::path &folder, std::int64_t before);

// True when a component of `relative` below `root` (not `root` itself, and not the last component
// unless `includeLast`) is a symbolic link or something other than a folder. Missing components are
// not links. A write below `root` must not pass through such a path: it could lead out of `root`.
bool passesThroughLink(const fs::path &root, const fs::path &relative, bool includeLast = false);

} // namespace velkaro::FileSystem
