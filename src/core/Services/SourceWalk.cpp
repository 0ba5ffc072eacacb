// The walk over the sources that decides what a backup takes and what it leaves out.
#include "Services/SourceWalk.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace velkaro {

namespace {

std::string asciiLower(std::string_view text)
{
    std::string out(text);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Trailing slashes dropped, a lone "/" kept: the form the collection works with.
std::string trimmedSource(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

enum class EntryKind { folder, file, other };

class Walker
{
public:
    Walker(const FileNameRule &rule, const WalkVisitor &taken, const WalkVisitor &leftOut,
        const SourceWalkOptions &options)
        : m_rule(rule)
        , m_taken(taken)
        , m_leftOut(leftOut)
        , m_stop(options.stop)
    {
        struct stat st = {};
        if (!options.excludedFolder.empty() && ::stat(options.excludedFolder.c_str(), &st) == 0)
            m_excluded = {st.st_dev, st.st_ino};
    }

    std::int64_t run(const std::vector<std::string> &sources)
    {
        for (const auto &entry : sources) {
            const std::string source = trimmedSource(entry);
            struct stat st = {};
            // The configured source itself may be a link; only what lies below it is held to the rule.
            if (source.empty() || ::stat(source.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode))
                walk(source, true);
            else if (S_ISREG(st.st_mode) && m_taken)
                m_taken(source);
        }
        return m_unreadable;
    }

private:
    void walk(const std::string &folder, bool isSource)
    {
        if (m_stop.stop_requested())
            return;
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (isSource ? 0 : O_NOFOLLOW));
        if (fd < 0) {
            if (errno != ENOENT)
                ++m_unreadable;
            return;
        }
        struct stat st = {};
        if (m_excluded && ::fstat(fd, &st) == 0 && std::pair {st.st_dev, st.st_ino} == *m_excluded) {
            ::close(fd);
            return;
        }
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            ++m_unreadable;
            return;
        }
        std::vector<std::pair<std::string, EntryKind>> entries;
        while (const dirent *entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (name.front() == '.')
                continue; // hidden (and "." and "..")
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat entrySt = {};
                if (::fstatat(::dirfd(dir), entry->d_name, &entrySt, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(entrySt.st_mode) ? DT_DIR : S_ISREG(entrySt.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            // Links are neither collected nor followed.
            if (type == DT_DIR)
                entries.emplace_back(name, EntryKind::folder);
            else if (type == DT_REG)
                entries.emplace_back(name, EntryKind::file);
        }
        ::closedir(dir);

        std::sort(entries.begin(), entries.end());
        const std::string prefix = folder.back() == '/' ? folder : folder + '/';
        for (const auto &[name, kind] : entries) {
            const std::string path = prefix + name;
            if (kind == EntryKind::folder)
                walk(path, false);
            else if (m_rule.wants(name))
                visit(m_taken, path);
            else
                visit(m_leftOut, path);
        }
    }

    static void visit(const WalkVisitor &visitor, const std::string &path)
    {
        if (visitor)
            visitor(path);
    }

    const FileNameRule &m_rule;
    const WalkVisitor &m_taken;
    const WalkVisitor &m_leftOut;
    std::stop_token m_stop;
    std::optional<std::pair<dev_t, ino_t>> m_excluded;
    std::int64_t m_unreadable = 0;
};

} // namespace

FileNameRule::FileNameRule(const std::vector<std::string> &extensions)
    : m_wantAll(extensions.empty())
{
    for (const auto &extension : extensions)
        m_wanted.push_back(asciiLower(extension));
}

bool FileNameRule::wants(std::string_view name) const
{
    if (m_wantAll || name == "GEMINI.md" || name == "AGENTS.md")
        return true;
    return std::find(m_wanted.begin(), m_wanted.end(), extensionOf(name)) != m_wanted.end();
}

std::string FileNameRule::extensionOf(std::string_view name)
{
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string() : asciiLower(name.substr(dot + 1));
}

std::vector<std::pair<std::string, std::int64_t>> SourceSurvey::leftOutByExtension() const
{
    std::map<std::string, std::int64_t> counts;
    for (const auto &path : leftOut) {
        const auto slash = path.rfind('/');
        const std::string extension
            = FileNameRule::extensionOf(slash == std::string::npos ? path : path.substr(slash + 1));
        ++counts[extension.empty() ? std::string("拡張子なし") : "." + extension];
    }
    std::vector<std::pair<std::string, std::int64_t>> groups(counts.begin(), counts.end());
    std::stable_sort(groups.begin(), groups.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    return groups;
}

std::string SourceSurvey::leftOutSummary() const
{
    if (leftOut.empty())
        return {};
    constexpr std::size_t kShownGroups = 5;
    const auto groups = leftOutByExtension();
    std::string text = "対象外: " + std::to_string(leftOut.size()) + " 件 (";
    std::int64_t rest = 0;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i >= kShownGroups) {
            rest += groups[i].second;
            continue;
        }
        if (i > 0)
            text += "、";
        text += groups[i].first + " " + std::to_string(groups[i].second);
    }
    if (rest > 0)
        text += "、ほか " + std::to_string(rest) + " 件";
    return text + ")";
}

std::int64_t walkSources(const std::vector<std::string> &sources, const FileNameRule &rule, const WalkVisitor &taken,
    const WalkVisitor &leftOut, const SourceWalkOptions &options)
{
    return Walker(rule, taken, leftOut, options).run(sources);
}

SourceSurvey surveySources(const std::vector<std::string> &sources, const std::vector<std::string> &extensions,
    const SourceWalkOptions &options)
{
    SourceSurvey survey;
    const FileNameRule rule(extensions);
    survey.unreadableFolderCount = walkSources(
        sources, rule, [&](const std::string &path) { survey.taken.push_back(path); },
        [&](const std::string &path) { survey.leftOut.push_back(path); }, options);
    survey.stopped = options.stop.stop_requested();
    return survey;
}

} // namespace velkaro
