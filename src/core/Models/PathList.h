#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace velkaro {

// The file list of a snapshot: an immutable value whose copies share one vector. A history of a
// hundred snapshots of the same files then holds that list once, not a hundred times. Copies are
// cheap and safe to pass between threads (nothing ever writes to a shared list); equality compares
// contents, as for a plain vector.
class PathList
{
public:
    using value_type = std::string;
    using const_iterator = std::vector<std::string>::const_iterator;
    using iterator = const_iterator;
    using size_type = std::size_t;

    PathList() = default;
    PathList(std::vector<std::string> paths) // NOLINT(google-explicit-constructor): a list is its paths
        : m_paths(paths.empty() ? nullptr : std::make_shared<const std::vector<std::string>>(std::move(paths)))
    { }
    PathList(std::initializer_list<std::string> paths)
        : PathList(std::vector<std::string>(paths))
    { }

    const std::vector<std::string> &items() const { return m_paths ? *m_paths : none(); }
    const_iterator begin() const { return items().begin(); }
    const_iterator end() const { return items().end(); }
    size_type size() const { return m_paths ? m_paths->size() : 0; }
    bool empty() const { return size() == 0; }
    const std::string &operator[](size_type index) const { return (*m_paths)[index]; }
    const std::string &front() const { return m_paths->front(); }
    const std::string &back() const { return m_paths->back(); }

    // True when both hold the very same vector (not merely equal contents).
    bool sharesStorageWith(const PathList &other) const { return m_paths && m_paths == other.m_paths; }

    friend bool operator==(const PathList &a, const PathList &b)
    {
        return a.m_paths == b.m_paths || a.items() == b.items();
    }
    friend bool operator==(const PathList &a, const std::vector<std::string> &b) { return a.items() == b; }

private:
    static const std::vector<std::string> &none()
    {
        static const std::vector<std::string> list;
        return list;
    }

    std::shared_ptr<const std::vector<std::string>> m_paths; // null when empty
};

} // namespace velkaro
