#pragma once

#include "Platform/Error.h"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The one place where the program touches the file system for whole-file reads and writes and for the
// well-known folders. Every operation reports failures as values; nothing throws.
namespace velkaro::FileSystem {

namespace fs = std::filesystem;

// The user's home folder: $HOME, else the password database entry.
fs::path homeDirectory();

// $XDG_CONFIG_HOME (default ~/.config).
fs::path configHome();

// Where config.json and templates.json live: $XDG_CONFIG_HOME/VelkaroAntigraviti_Backup.
fs::path applicationSupportDirectory();

// True when anything (file, folder, dangling link) stands at `path`.
bool exists(const fs::path &path);
bool isDirectory(const fs::path &path);

// Creates the folder and every missing parent; an existing folder is success.
Result<void> createDirectories(const fs::path &path);

// The direct entries of a folder, hidden ones included, sorted by name so that every run sees the
// same order.
Result<std::vector<fs::path>> listDirectory(const fs::path &path);

// The whole file as bytes.
Result<std::string> readFile(const fs::path &path);

// Replaces the file with `data` crash-safely: the bytes go to a temporary file in the same folder,
// are flushed to disk and then renamed over the old file, so a reader sees either the old or the new
// content, never a torn one. Missing parent folders are created. An existing file keeps its
// permission bits; a new one gets 0666 less the umask.
Result<void> writeFileAtomically(const fs::path &path, std::string_view data);

// Like writeFileAtomically, but when something already stands at `path` that cannot be read or that
// `isDecodable` rejects, it is first moved aside to `path` + ".damaged" (replacing an older
// damaged copy), so what the user had is never silently thrown away.
Result<void> writeFileKeepingDamaged(const fs::path &path, std::string_view data,
                                     const std::function<bool(std::string_view)> &isDecodable);

// Removes a file, or a folder with everything in it. Nothing there is success.
Result<void> removeAll(const fs::path &path);

} // namespace velkaro::FileSystem
