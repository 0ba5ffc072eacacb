#pragma once

#include "Models/BackupConfig.h"
#include "Services/FileStatRecord.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkaro {

// Which files a backup takes by their name: GEMINI.md and AGENTS.md always, any other file by its
// extension compared in lower case. An empty list takes every file.
class FileNameRule
{
public:
    explicit FileNameRule(const std::vector<std::string> &extensions);

    bool wants(std::string_view name) const;

    // The text after the last "." of the name, lower-cased; empty when there is none.
    static std::string extensionOf(std::string_view name);

private:
    bool m_wantAll = false;
    std::vector<std::string> m_wanted;
};

// A file the backup takes: where it is, the path it is recorded under, its source and its stat.
struct SelectedFile
{
    std::string path;
    std::string relativePath;
    std::size_t sourceIndex = 0;
    bool isSource = false; // the source entry names this very file (it may be a link)
    FileStamp stamp; // not known() when the stat failed: the copy will fail and say so
};

enum class LeftOutReason {
    notWanted, // its name or extension is not in the list
    notUtf8, // its path cannot be written into the JSON files exactly
    samePath, // an earlier source holds a file at the same path
};

struct LeftOutFile
{
    std::string path;
    LeftOutReason reason = LeftOutReason::notWanted;
};

// A configured source that could not be read at all (errno ENOENT: it is missing).
struct SourceFailure
{
    std::string path;
    int error = 0;
    std::size_t sourceIndex = 0;

    // "バックアップ対象フォルダが見つかりません: PATH" or "バックアップ対象フォルダを読み込めません: PATH".
    std::string description() const;
};

// What a selection met besides the files.
struct SelectionReport
{
    std::vector<SourceFailure> failedSources;
    std::int64_t unreadableFolderCount = 0; // could not be opened, or their listing broke off
    std::string firstUnreadableFolder;
    bool stopped = false; // the walk was stopped before its end

    // Every file that stands was met: no folder went unread and no source failed but by not being there
    // (a missing source only means its files are gone).
    bool metAllThatStands() const
    {
        return unreadableFolderCount == 0
            && std::ranges::all_of(failedSources, [](const SourceFailure &f) { return f.error == ENOENT; });
    }
};

struct SelectionOptions
{
    // Never entered (the snapshot store, should a source hold it); when a source is the store itself, only
    // the store's snapshots/ and history.json there are left out.
    std::filesystem::path excludedFolder;
    std::stop_token stop; // the walk ends early once a stop is requested
    // This program's temporary files (a killed restore's) met on the walk and last modified before this
    // (seconds since the epoch) are removed. Only a backup run under the store lock sets it.
    std::optional<std::int64_t> removeTemporariesBefore;
    // Test seam: true makes the listing of `folder` break off with EIO after `entriesRead` entries.
    std::function<bool(const std::string &folder, std::size_t entriesRead)> listingFault;
    // Test seam: a non-zero errno makes the opening of the folder below a source fail with it.
    std::function<int(const std::string &folder)> openFault;
};

// The one decision of what a backup takes, used by the backup, its dry run, the settings survey and the
// comparison with the current files. Sources in list order, each folder's entries by name, sub-folders
// where they sort. Hidden names and symbolic links are skipped and hidden or linked folders are not
// entered; a source naming a regular file is taken as it is. Every other regular file is either taken
// or left out with its reason: a name the rule does not want, a path that is not UTF-8, or a path that
// an earlier source already holds (the first source's file is the one restores and applies write).
class SourceSelection
{
public:
    using Taken = std::function<void(SelectedFile &&)>;
    using LeftOut = std::function<void(LeftOutFile &&)>;

    SourceSelection(const std::vector<std::string> &sources, const std::vector<std::string> &extensions,
        SelectionOptions options = {});

    SelectionReport select(const Taken &taken, const LeftOut &leftOut = {}) const;

private:
    std::vector<std::string> m_sources;
    FileNameRule m_rule;
    SelectionOptions m_options;
};

// One group of left-out files: a reason other than the name rule ("UTF-8 でない名前"), or an extension
// (".toml"; "拡張子なし" for none).
struct LeftOutGroup
{
    std::string label;
    std::int64_t count = 0;
    bool isReason = false;

    // ".toml 2", "UTF-8 でない名前 1 件".
    std::string text() const;
};

// A selection kept as lists: the dry run and the settings survey.
struct SourceSurvey
{
    std::vector<SelectedFile> taken;
    std::vector<LeftOutFile> leftOut;
    SelectionReport report;

    std::int64_t takenBytes() const;
    // The left-out files by group: the reasons other than the name rule first, then the extensions,
    // most first, then by name.
    std::vector<LeftOutGroup> leftOutGroups() const;
    // "対象外: 3 件 (.toml 2、.sh 1)", the first five groups and the rest as "ほか N 件"; empty when
    // nothing is left out.
    std::string leftOutSummary() const;
};

SourceSurvey surveySources(const std::vector<std::string> &sources, const std::vector<std::string> &extensions,
    const SelectionOptions &options = {});

} // namespace velkaro
