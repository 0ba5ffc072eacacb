#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

struct SourceWalkOptions
{
    std::filesystem::path excludedFolder; // never entered (the snapshot store, should a source hold it)
    std::stop_token stop; // the walk ends early once a stop is requested
};

// What one walk met: the files a backup takes and the regular files it leaves out by their name.
struct SourceSurvey
{
    std::vector<std::string> taken;
    std::vector<std::string> leftOut;
    std::int64_t unreadableFolderCount = 0;
    bool stopped = false; // the walk was stopped before its end

    // The left-out files by extension (".toml"; "拡張子なし" for none), most first, then by name.
    std::vector<std::pair<std::string, std::int64_t>> leftOutByExtension() const;
    // "対象外: 3 件 (.toml 2、.sh 1)", the first five groups and the rest as "ほか N 件"; empty when
    // nothing is left out.
    std::string leftOutSummary() const;
};

// Walks the sources in collection order: sources in list order, each folder's entries by name,
// sub-folders where they sort. Hidden names and symbolic links are skipped and hidden or linked
// folders are not entered; a source naming a regular file is taken as it is. Every regular file met
// below a source goes to `taken` or `leftOut`, by the rule. Returns the number of folders that could
// not be opened (a folder gone meanwhile is not counted).
using WalkVisitor = std::function<void(const std::string &path)>;
std::int64_t walkSources(const std::vector<std::string> &sources, const FileNameRule &rule, const WalkVisitor &taken,
    const WalkVisitor &leftOut, const SourceWalkOptions &options = {});

// The same walk, kept as lists.
SourceSurvey surveySources(const std::vector<std::string> &sources, const std::vector<std::string> &extensions,
    const SourceWalkOptions &options = {});

} // namespace velkaro
