#pragma once

#include "Platform/OpenFolder.h"
#include "Services/FileStatRecord.h"
#include "Services/SourceSelection.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct stat;

namespace velkaro {

// The snapshot a run links its unchanged files from: the newest earlier one of the history, with its
// record of source stamps when it has one. A hard link shares its inode with every snapshot holding
// it, so nothing of the store is ever changed in place: a linked file is only ever unlinked.
class LinkBase
{
public:
    // The snapshot in `folder`, whose history entry records `paths` (which must outlive the base).
    LinkBase(const std::filesystem::path &folder, const std::vector<std::string> &paths);

    const std::string &dataFolder() const { return m_data; } // ends in "/"
    std::optional<std::size_t> indexOf(std::string_view rel) const
    {
        const auto found = m_paths.find(rel);
        return found == m_paths.end() ? std::nullopt : std::optional(found->second);
    }
    // The base's record proves the source file unchanged since the base took it.
    bool provesUnchanged(std::size_t index, const FileStamp &now) const
    {
        return m_record && m_record->provesUnchanged(index, now);
    }

private:
    std::string m_data;
    std::unordered_map<std::string_view, std::size_t> m_paths; // views into the history the run holds
    std::optional<FileStatRecord> m_record;
};

// One thread's way through a link base: it keeps the base folder it is in open, so that each file
// costs one-component lookups only.
class Linker
{
public:
    explicit Linker(const LinkBase &base)
        : m_base(base)
        , m_folders(base.dataFolder())
    { }

    // Links the target to the base's copy of the file when the file is provably unchanged: its stamp is
    // the one the base recorded, or (an older base, a change in the base run's own tick, a new inode)
    // its bytes, size, time and mode are those of the base's copy. The target is `targetName` in the
    // folder `targetFolderFd`. True when the link stands; false means "copy it".
    bool link(const SelectedFile &file, int targetFolderFd, const char *targetName, const std::string &target);

private:
    const LinkBase &m_base;
    RealFolders m_folders;
    bool m_enabled = true;
};

} // namespace velkaro
