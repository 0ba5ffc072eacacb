#pragma once

#include "Platform/Error.h"

#include <cstdint>
#include <memory>
#include <string>

namespace velkaro {

// Copies regular files with the kernel (clone, then copy_file_range, then sendfile, then plain reads),
// keeping the source's permission bits and access/modification times. One copier serves one run: it
// remembers which kernel copy failed for good so that later files do not try it again. Not thread-safe.
class FileCopier
{
public:
    FileCopier();
    ~FileCopier();
    FileCopier(const FileCopier &) = delete;
    FileCopier &operator=(const FileCopier &) = delete;

    // Copies `source` (a regular file; a symbolic link is refused) to the new file `target`. Whatever
    // stands at `target` is removed first when `replaceExisting`, else the copy fails. A failed copy
    // leaves no partial target behind. A `durable` copy is on disk (fsync) before this returns; the
    // folder entry is the caller's to sync. Returns the number of bytes copied.
    Result<std::int64_t> copy(
        const std::string &source, const std::string &target, bool replaceExisting, bool durable = false);

private:
    bool copyContent(int in, int out, std::int64_t size, std::int64_t &copied);

    bool m_tryClone = true;
    bool m_tryCopyRange = true;
    bool m_trySendfile = true;
    std::unique_ptr<char[]> m_buffer; // only for the last fallback
};

} // namespace velkaro
