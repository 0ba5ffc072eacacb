// The one walk over the sources that decides what a backup takes and what it leaves out.
#include "Services/SourceSelection.h"

#include "Platform/FileSystem.h"
#include "Platform/QuotedName.h"
#include "Platform/Utf8.h"
#include "Services/SnapshotStore.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

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

// Trailing slashes dropped, a lone "/" kept: the form the selection works with.
std::string trimmedSource(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string_view fileNameOf(std::string_view path)
{
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The prefix rule on trimmed sources, as a view into `file`.
std::string_view relativeView(std::string_view file, const std::vector<std::string> &trimmedSources)
{
    for (const auto &source : trimmedSources) {
        if (source.empty() || !file.starts_with(source))
            continue;
        std::string_view rest = file.substr(source.size());
        if (!rest.empty() && rest.front() != '/' && source.back() != '/')
            continue; // only a text prefix
        while (!rest.empty() && rest.front() == '/')
            rest.remove_prefix(1);
        while (!rest.empty() && rest.back() == '/')
            rest.remove_suffix(1);
        if (!rest.empty())
            return rest;
        break; // the source is the file itself
    }
    return fileNameOf(file);
}

enum class EntryKind { folder, file };

struct Entry
{
    std::string name;
    EntryKind kind = EntryKind::file;
    FileStamp stamp; // wanted files only
    bool operator<(const Entry &other) const { return name < other.name; }
};

class Walker
{
public:
    Walker(const std::vector<std::string> &sources, const FileNameRule &rule, const SelectionOptions &options,
        const SourceSelection::Taken &taken, const SourceSelection::LeftOut &leftOut)
        : m_sources(sources)
        , m_rule(rule)
        , m_options(options)
        , m_taken(taken)
        , m_leftOut(leftOut)
    {
        struct stat st = {};
        if (!options.excludedFolder.empty() && ::stat(options.excludedFolder.c_str(), &st) == 0) {
            m_excluded = {st.st_dev, st.st_ino};
            std::error_code ec;
            m_storeData = std::filesystem::canonical(options.excludedFolder / SnapshotStore::kSnapshotsFolderName, ec);
        }
    }

    SelectionReport run()
    {
        for (m_index = 0; m_index < m_sources.size(); ++m_index)
            walkSource(m_sources[m_index]);
        m_report.stopped = m_options.stop.stop_requested();
        return std::move(m_report);
    }

private:
    void walkSource(const std::string &source)
    {
        struct stat st = {};
        // The configured source itself may be a link; only what lies below it is held to the rule.
        if (source.empty() || ::stat(source.c_str(), &st) != 0) {
            fail(source, source.empty() ? ENOENT : errno);
            return;
        }
        if (insideStoreData(source))
            return;
        if (S_ISDIR(st.st_mode)) {
            const int fd = ::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0)
                fail(source, errno);
            else
                walkFolder(source, fd, true);
            return;
        }
        const int fd = S_ISREG(st.st_mode) ? ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
        if (fd < 0) {
            fail(source, S_ISREG(st.st_mode) ? errno : EINVAL);
            return;
        }
        ::close(fd);
        offer(std::string(source), FileStamp::of(st), true);
    }

    // A source inside the store's snapshots/ holds nothing of the user's, and taking it would copy every
    // snapshot into the next one, doubling the store with each run.
    bool insideStoreData(const std::string &source) const
    {
        if (m_storeData.empty())
            return false;
        std::error_code ec;
        const std::filesystem::path real = std::filesystem::canonical(source, ec);
        const std::string &data = m_storeData.native();
        return !ec && (real.native() == data || real.native().starts_with(data + '/'));
    }

    void fail(const std::string &source, int error) { m_report.failedSources.push_back({source, error, m_index}); }

    void unreadable(const std::string &folder)
    {
        if (m_report.unreadableFolderCount++ == 0)
            m_report.firstUnreadableFolder = folder;
    }

    // Reads the folder open at `fd` (and closes it), then goes through its entries by name. The store met
    // below a source is not entered; a store that is the source folder itself keeps only its own entries
    // out, so the user's files beside them are still taken.
    void walkFolder(const std::string &folder, int fd, bool isSource = false)
    {
        if (m_options.stop.stop_requested()) {
            ::close(fd);
            return;
        }
        struct stat st = {};
        const bool isStore = m_excluded && ::fstat(fd, &st) == 0 && std::pair {st.st_dev, st.st_ino} == *m_excluded;
        if (isStore && !isSource) {
            ::close(fd);
            return;
        }
        std::vector<Entry> entries;
        if (!list(folder, fd, entries))
            unreadable(folder);
        std::sort(entries.begin(), entries.end());
        const std::string prefix = folder.back() == '/' ? folder : folder + '/';
        for (auto &entry : entries) {
            if (isStore && isStoreEntry(entry))
                continue;
            std::string path = prefix + entry.name;
            if (entry.kind == EntryKind::file) {
                offer(std::move(path), entry.stamp, false);
                continue;
            }
            const int child = openFolder(path);
            if (child >= 0)
                walkFolder(path, child);
            else if (errno != ENOENT || stillThere(path)) // a folder gone meanwhile is not unreadable
                unreadable(path);
        }
    }

    int openFolder(const std::string &path) const
    {
        if (m_options.openFault) {
            if (const int error = m_options.openFault(path); error != 0) {
                errno = error;
                return -1;
            }
        }
        return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    }

    // An open that says "no such file" of a folder that was just listed: true when it stands after all
    // (a failing disk or mount can say so), so that its files are not left out without a word.
    static bool stillThere(const std::string &path)
    {
        struct stat st = {};
        return ::lstat(path.c_str(), &st) == 0;
    }

    static bool isStoreEntry(const Entry &entry)
    {
        return entry.kind == EntryKind::folder ? entry.name == SnapshotStore::kSnapshotsFolderName
                                               : entry.name == SnapshotStore::kHistoryFileName;
    }

    // The visible folders and regular files of the folder, with the stamps of the files the rule wants.
    // False when the listing broke off with an error (what was read before it is kept).
    bool list(const std::string &folder, int fd, std::vector<Entry> &entries)
    {
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return false;
        }
        bool whole = true;
        while (true) {
            if (m_options.listingFault && m_options.listingFault(folder, entries.size())) {
                whole = false;
                break;
            }
            errno = 0;
            const dirent *entry = ::readdir(dir);
            if (!entry) {
                whole = errno == 0;
                break;
            }
            const std::string_view name = entry->d_name;
            if (name.front() == '.') {
                if (m_options.removeTemporariesBefore && FileSystem::isTemporaryName(name))
                    removeIfStale(::dirfd(dir), entry->d_name);
                continue; // hidden (and "." and "..")
            }
            addEntry(::dirfd(dir), *entry, entries);
        }
        ::closedir(dir);
        return whole;
    }

    void addEntry(int dirFd, const dirent &entry, std::vector<Entry> &entries) const
    {
        const std::string_view name = entry.d_name;
        if (entry.d_type == DT_DIR) {
            entries.push_back({std::string(name), EntryKind::folder, {}});
            return;
        }
        // Links are neither taken nor followed; only files the rule wants need their stat.
        if (entry.d_type != DT_REG && entry.d_type != DT_UNKNOWN)
            return;
        const bool wanted = m_rule.wants(name);
        if (entry.d_type == DT_REG && !wanted) {
            entries.push_back({std::string(name), EntryKind::file, {}});
            return;
        }
        struct stat st = {};
        // "No such file" of a name just listed is asked once more: gone is gone, but a flaky disk or mount
        // may say so of a file that stands, and that file must not be left out without a word.
        if (::fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0
            && (errno != ENOENT || ::fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)) {
            if (errno != ENOENT && entry.d_type == DT_REG)
                entries.push_back({std::string(name), EntryKind::file, {}}); // its copy will say why
            return;
        }
        if (S_ISDIR(st.st_mode))
            entries.push_back({std::string(name), EntryKind::folder, {}});
        else if (S_ISREG(st.st_mode))
            entries.push_back({std::string(name), EntryKind::file, wanted ? FileStamp::of(st) : FileStamp()});
    }

    void offer(std::string path, const FileStamp &stamp, bool isSource)
    {
        std::string rel(relativeView(path, m_sources));
        // The prefix rule can lead upwards when one source's path is a prefix of another's that goes up;
        // the path below the file's own source never does.
        if (!SnapshotStore::isSafeRelativePath(rel)) {
            const std::string &own = m_sources[m_index];
            rel = isSource ? std::string(fileNameOf(path)) : path.substr(own == "/" ? 1 : own.size() + 1);
        }
        LeftOutReason reason = LeftOutReason::notWanted;
        if (!Utf8::isValid(rel))
            reason = LeftOutReason::notUtf8;
        else if (!isSource && !m_rule.wants(fileNameOf(path)))
            reason = LeftOutReason::notWanted;
        else if (m_sources.size() > 1 && !m_seen.insert(rel).second)
            reason = LeftOutReason::samePath;
        else {
            if (m_taken)
                m_taken(SelectedFile {std::move(path), std::move(rel), m_index, isSource, stamp});
            return;
        }
        if (m_leftOut)
            m_leftOut(LeftOutFile {std::move(path), reason});
    }

    void removeIfStale(int dirFd, const char *name) const
    {
        struct stat st = {};
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && st.st_mtim.tv_sec < *m_options.removeTemporariesBefore)
            ::unlinkat(dirFd, name, 0);
    }

    const std::vector<std::string> &m_sources;
    const FileNameRule &m_rule;
    const SelectionOptions &m_options;
    const SourceSelection::Taken &m_taken;
    const SourceSelection::LeftOut &m_leftOut;
    std::optional<std::pair<dev_t, ino_t>> m_excluded;
    std::filesystem::path m_storeData; // the store's snapshots/ (real path), when it stands
    std::unordered_set<std::string> m_seen; // recorded paths taken so far, with several sources
    std::size_t m_index = 0;
    SelectionReport m_report;
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

std::string SourceFailure::description() const
{
    return (error == ENOENT ? "バックアップ対象フォルダが見つかりません: "
                            : "バックアップ対象フォルダを読み込めません: ")
        + quotedName(path);
}

SourceSelection::SourceSelection(
    const std::vector<std::string> &sources, const std::vector<std::string> &extensions, SelectionOptions options)
    : m_rule(extensions)
    , m_options(std::move(options))
{
    for (const auto &source : sources)
        m_sources.push_back(trimmedSource(source));
}

SelectionReport SourceSelection::select(const Taken &taken, const LeftOut &leftOut) const
{
    return Walker(m_sources, m_rule, m_options, taken, leftOut).run();
}

std::int64_t SourceSurvey::takenBytes() const
{
    std::int64_t bytes = 0;
    for (const auto &file : taken)
        bytes += file.stamp.size;
    return bytes;
}

std::string LeftOutGroup::text() const
{
    return label + " " + std::to_string(count) + (isReason ? " 件" : "");
}

std::vector<LeftOutGroup> SourceSurvey::leftOutGroups() const
{
    std::int64_t notUtf8 = 0;
    std::int64_t samePath = 0;
    std::map<std::string, std::int64_t> counts;
    for (const auto &file : leftOut) {
        if (file.reason == LeftOutReason::notUtf8) {
            ++notUtf8;
        } else if (file.reason == LeftOutReason::samePath) {
            ++samePath;
        } else {
            const std::string extension = FileNameRule::extensionOf(fileNameOf(file.path));
            ++counts[extension.empty() ? std::string("拡張子なし") : "." + extension];
        }
    }
    std::vector<LeftOutGroup> groups;
    if (notUtf8 > 0)
        groups.push_back({"UTF-8 でない名前", notUtf8, true});
    if (samePath > 0)
        groups.push_back({"同じパスのため対象外", samePath, true});
    const auto firstExtension = static_cast<std::ptrdiff_t>(groups.size());
    for (const auto &[label, count] : counts)
        groups.push_back({label, count, false});
    std::stable_sort(groups.begin() + firstExtension, groups.end(),
        [](const LeftOutGroup &a, const LeftOutGroup &b) { return a.count > b.count; });
    return groups;
}

std::string SourceSurvey::leftOutSummary() const
{
    if (leftOut.empty())
        return {};
    constexpr std::size_t kShownGroups = 5;
    const auto groups = leftOutGroups();
    std::string text = "対象外: " + std::to_string(leftOut.size()) + " 件 (";
    std::int64_t rest = 0;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i >= kShownGroups) {
            rest += groups[i].count;
            continue;
        }
        text += (i > 0 ? "、" : "") + groups[i].text();
    }
    if (rest > 0)
        text += "、ほか " + std::to_string(rest) + " 件";
    return text + ")";
}

SourceSurvey surveySources(const std::vector<std::string> &sources, const std::vector<std::string> &extensions,
    const SelectionOptions &options)
{
    SourceSurvey survey;
    survey.report = SourceSelection(sources, extensions, options)
                        .select([&](SelectedFile &&file) { survey.taken.push_back(std::move(file)); },
                            [&](LeftOutFile &&file) { survey.leftOut.push_back(std::move(file)); });
    return survey;
}

} // namespace velkaro
