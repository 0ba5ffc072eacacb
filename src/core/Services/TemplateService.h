#pragma once

#include "Models/PromptTemplate.h"
#include "Platform/Clock.h"
#include "Platform/Error.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// Keeps the template library (templates.json) and moves template bodies between the library and an
// instruction file. Holds no cache: every call goes to disk.
class TemplateService
{
public:
    // Domain of the errors this service makes itself (the others come from the file system).
    static constexpr const char *kErrorDomain = "TemplateService";
    static constexpr int kBadRequest = 400; // a name or folder that may not be written, a file left out of backups
    static constexpr int kNoSafetySnapshot = 500; // aborted before anything was overwritten

    // The library file; defaults to FileSystem::applicationSupportDirectory() / "templates.json". New
    // templates and presets are dated by `clock`.
    explicit TemplateService(std::filesystem::path libraryFile = defaultLibraryFilePath(), Clock clock = {});
    static std::filesystem::path defaultLibraryFilePath();

    // The library in file order. With no file yet, the presets (also written to the file). When the
    // file cannot be read or decoded, the presets in memory and the file left untouched; after a failed
    // read, saveTemplates refuses until a load reads the file again (the list in memory lacks it).
    std::vector<PromptTemplate> loadTemplates() const;
    // The same for a change that is saved at once (the command-line tool): a file that exists but
    // cannot be read fails with the reason instead of giving the presets.
    Result<std::vector<PromptTemplate>> readTemplates() const;

    // Rewrites the whole library crash-safely and private (0600: it holds imported GEMINI.md text). A
    // damaged file standing there is kept aside first (FileSystem::keepAsDamaged); a file that cannot be
    // read is never replaced.
    Result<void> saveTemplates(const std::vector<PromptTemplate> &templates) const;

    // Writes the template's body byte for byte to targetDirectory / targetFileName, creating the
    // folders on the way. A name that could lead outside targetDirectory is refused.
    Result<void> applyTemplate(const PromptTemplate &tmpl, const std::filesystem::path &targetDirectory) const;

    // The text of GEMINI.md in `directory` (possibly empty), or nothing when it is missing, unreadable
    // or not UTF-8.
    std::optional<std::string> readCurrentPrompt(const std::filesystem::path &directory) const;

    // The template that importing `body` from `directory`/GEMINI.md adds to the library.
    PromptTemplate makeImportedTemplate(std::string body, const std::filesystem::path &directory) const;
    // A new user template with the starting text of the template page, a fresh id and the time now.
    PromptTemplate makeNewTemplate() const;
    // The clock the service dates templates by.
    const Clock &clock() const { return m_clock; }

    // True for a relative name with a file name at its end and no ".." component.
    static bool isAllowedTargetFileName(std::string_view name);

private:
    std::filesystem::path m_libraryFile;
    Clock m_clock;
    mutable std::optional<Error> m_unreadLibrary; // the last load could not read the file
};

} // namespace velkaro
