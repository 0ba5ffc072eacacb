#pragma once

#include "Platform/FileSystem.h"

#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace velkaro {

// A folder kept open while the files in it go by, so that each file costs a one-component lookup
// (fstatat, openat, linkat) instead of a walk of its whole path. A failed open is remembered as such:
// fd() is -1 until another folder is opened.
class OpenFolder
{
public:
    explicit OpenFolder(bool noFollow)
        : m_noFollow(noFollow)
    { }
    OpenFolder(const OpenFolder &) = delete;
    OpenFolder &operator=(const OpenFolder &) = delete;
    ~OpenFolder() { close(); }

    const std::string &path() const { return m_path; }
    int fd() const { return m_fd; }

    void open(std::string path)
    {
        close();
        m_path = std::move(path);
        m_fd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (m_noFollow ? O_NOFOLLOW : 0));
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_path.clear();
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_noFollow = true;
};

// The folders below a root (a snapshot's data/ folder), opened only when every folder on the way is a
// real one: whatever a recorded path says, nothing is reached through a link. Files are best met in path
// order, so that each folder is opened once.
class RealFolders
{
public:
    explicit RealFolders(std::string root)
        : m_root(std::move(root))
    {
        if (m_root.empty() || m_root.back() != '/')
            m_root += '/';
    }

    const std::string &root() const { return m_root; } // ends in "/"

    // The open folder holding `rel` (a safe relative path below the root) and the name of the file in
    // it; -1 when that folder is missing or reached through a link.
    int folderOf(std::string_view rel, const char *&name)
    {
        const auto slash = rel.rfind('/');
        name = rel.data() + (slash == std::string_view::npos ? 0 : slash + 1);
        const std::string_view parent = slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash);
        if (!m_checked || parent != m_folder) {
            m_checked = true;
            m_folder = parent;
            // The last folder is refused by O_NOFOLLOW, the ones before it here.
            if (parent.empty() || !FileSystem::passesThroughLink(m_root, std::filesystem::path(m_folder), false))
                m_open.open(m_root + m_folder);
            else
                m_open.close();
        }
        return m_open.fd();
    }

private:
    std::string m_root;
    std::string m_folder; // below the root; "" for the root itself
    bool m_checked = false;
    OpenFolder m_open {true};
};

} // namespace velkaro
