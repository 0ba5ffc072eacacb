#include "Services/TemplateService.h"

#include "Platform/FileSystem.h"
#include "Platform/Formatters.h"
#include "Platform/QuotedName.h"
#include "Platform/Utf8.h"

#include <chrono>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

constexpr const char *kInstructionFileName = "GEMINI.md";

} // namespace

TemplateService::TemplateService(fs::path libraryFile, Clock clock)
    : m_libraryFile(std::move(libraryFile))
    , m_clock(std::move(clock))
{ }

fs::path TemplateService::defaultLibraryFilePath()
{
    return FileSystem::applicationSupportDirectory() / "templates.json";
}

std::vector<PromptTemplate> TemplateService::loadTemplates() const
{
    auto read = readTemplates();
    if (read)
        return std::move(*read);
    // Shown from the presets this session; the file may be intact, so no save may replace it.
    m_unreadLibrary = read.error();
    return presetTemplates(m_clock.now());
}

Result<std::vector<PromptTemplate>> TemplateService::readTemplates() const
{
    m_unreadLibrary.reset();
    if (!FileSystem::exists(m_libraryFile)) {
        auto presets = presetTemplates(m_clock.now());
        // A library that cannot be written still works in memory for this session.
        (void)saveTemplates(presets);
        return presets;
    }
    // A damaged library is left as it is: the next save keeps it aside first.
    const auto text = FileSystem::readFile(m_libraryFile);
    if (!text)
        return std::unexpected(text.error());
    auto templates = decodeTemplateList(*text);
    if (!templates)
        return presetTemplates(m_clock.now());
    return std::move(*templates);
}

Result<void> TemplateService::saveTemplates(const std::vector<PromptTemplate> &templates) const
{
    if (m_unreadLibrary)
        return std::unexpected(Error {m_unreadLibrary->domain, m_unreadLibrary->code,
            "templates.json を読み込めなかったため上書きしませんでした: " + m_unreadLibrary->description});
    return FileSystem::writeFileKeepingDamaged(
        m_libraryFile, encodeTemplateList(templates),
        [](std::string_view text) { return decodeTemplateList(text).has_value(); }, true);
}

bool TemplateService::isAllowedTargetFileName(std::string_view name)
{
    // A NUL would cut the name short at the system call, past every check made here.
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string_view::npos)
        return false;
    std::string_view last;
    for (std::size_t start = 0;;) {
        const std::size_t slash = name.find('/', start);
        last = name.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (last == "..")
            return false;
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    // "rules/" or "." would name the folder itself, not a file in it.
    return !last.empty() && last != ".";
}

Result<void> TemplateService::applyTemplate(const PromptTemplate &tmpl, const fs::path &targetDirectory) const
{
    if (!isAllowedTargetFileName(tmpl.targetFileName)) {
        return std::unexpected(Error {
            kErrorDomain, kBadRequest, "このファイル名は許可されていません: " + quotedName(tmpl.targetFileName)});
    }
    // An empty folder would mean the process's working folder, which the user never chose.
    if (targetDirectory.empty())
        return std::unexpected(Error {kErrorDomain, kBadRequest, "適用先のフォルダが指定されていません"});

    const fs::path target = targetDirectory / tmpl.targetFileName;
    // A linked folder on the way ("rules" -> elsewhere) would carry the write out of the folder.
    const auto linkedError = [&] {
        return Error {kErrorDomain, kBadRequest,
            "シンボリックリンクを経由する書き込みはできません: " + quotedName(target.native())};
    };
    if (FileSystem::passesThroughLink(targetDirectory, tmpl.targetFileName))
        return std::unexpected(linkedError());
    if (auto made = FileSystem::createDirectories(target.parent_path()); !made)
        return made;
    if (FileSystem::passesThroughLink(targetDirectory, tmpl.targetFileName))
        return std::unexpected(linkedError());
    return FileSystem::writeFileAtomically(target, tmpl.promptContent);
}

std::optional<std::string> TemplateService::readCurrentPrompt(const fs::path &directory) const
{
    const fs::path file = directory / kInstructionFileName;
    if (!FileSystem::exists(file))
        return std::nullopt;
    auto text = FileSystem::readFile(file);
    if (!text || !Utf8::isValid(*text))
        return std::nullopt;
    return std::move(*text);
}

PromptTemplate TemplateService::makeImportedTemplate(std::string body, const fs::path &directory) const
{
    const TimePoint now = m_clock.now();
    return PromptTemplate {makeUUID(), "取込: 現在のGEMINI.md", directory.string() + "/GEMINI.md から取り込んだ設定",
        std::move(body), TemplateKind::custom, kInstructionFileName, false, now, now};
}

PromptTemplate TemplateService::makeNewTemplate() const
{
    const TimePoint now = m_clock.now();
    return PromptTemplate {makeUUID(), "新規プロンプトテンプレート", "カスタムプロンプトの説明を入力してね",
        "# カスタムプロンプト\n\nここにルールや指示を記述します。", TemplateKind::custom, kInstructionFileName, false,
        now, now};
}

} // namespace velkaro
