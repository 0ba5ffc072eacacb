#include "TemplateCommands.h"

#include "CliSupport.h"
#include "Models/BackupConfig.h"
#include "Platform/QuotedName.h"
#include "Services/BackupService.h"
#include "Services/TemplateApply.h"
#include "Services/TemplateService.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <string_view>

namespace velkaro::cli {

namespace {

int fail(std::string_view message)
{
    printError(message);
    return kExitFailure;
}

// The folder templates are applied to and imported from, as the application uses it.
std::optional<std::string> firstSourceDirectory()
{
    const BackupConfig config = loadConfig();
    if (config.sourceDirectories.empty())
        return std::nullopt;
    return config.sourceDirectories.front();
}

constexpr std::string_view kNoSourceDirectory = "ソースフォルダが設定されていません。";

constexpr std::string_view kUnreadLibrary = "テンプレートを読み込めませんでした: ";

int listTemplates(const Arguments &args)
{
    // A library that cannot be read is not shown as the presets alone: its own templates would be left out.
    const auto read = TemplateService {}.readTemplates();
    if (!read)
        return fail(std::string(kUnreadLibrary) + read.error().description);
    const auto &templates = *read;
    if (args.has("--json")) {
        printLine(encodeTemplateList(templates));
        return kExitSuccess;
    }
    if (templates.empty())
        printLine("テンプレートはありません。");
    for (const auto &tmpl : templates) {
        std::string line
            = quotedName(tmpl.id) + "  [" + std::string(rawValue(tmpl.kind)) + "] " + quotedName(tmpl.title);
        if (tmpl.isPresetTemplate)
            line += " (プリセット)";
        printLine(line);
    }
    return kExitSuccess;
}

int applyTemplate(const Arguments &args)
{
    const std::string &id = args.positional.front();
    const TemplateService service;
    const auto templates = service.readTemplates();
    if (!templates)
        return fail(std::string(kUnreadLibrary) + templates.error().description);
    const auto found = findById(*templates, id);
    if (!found)
        return fail("テンプレートが見つかりません: " + quotedName(id));

    const BackupConfig config = loadConfig();
    if (config.sourceDirectories.empty())
        return fail(kNoSourceDirectory);
    // Other text in the target is kept in a safety snapshot first, as the application does.
    if (auto applied = applyTemplateSafely(*found, config, service, BackupService {}); !applied)
        return fail("適用失敗: " + applied.error().description);
    printLine(appliedMessage(*found));
    return kExitSuccess;
}

int importCurrentPrompt(const Arguments &)
{
    const auto source = firstSourceDirectory();
    if (!source)
        return fail(kNoSourceDirectory);
    const TemplateService service;
    auto text = service.readCurrentPrompt(*source);
    if (!text)
        return fail("GEMINI.md が見つかりませんでした。");

    // A library that cannot be read is never replaced by the presets plus this one.
    auto templates = service.readTemplates();
    if (!templates)
        return fail(std::string(kUnreadLibrary) + templates.error().description);
    templates->push_back(service.makeImportedTemplate(std::move(*text), *source));
    // Unlike the window, a command has no list on screen to fall back on: a lost import must be told.
    if (auto saved = service.saveTemplates(*templates); !saved)
        return fail("保存失敗: " + saved.error().description);
    printLine("現在の GEMINI.md をテンプレートとして取り込みました！");
    return kExitSuccess;
}

} // namespace

Command templatesListCommand()
{
    return {.name = "templates list",
        .help = {{"[--json]", "プロンプトテンプレートの一覧"}},
        .options = {{.name = "--json"}},
        .run = listTemplates};
}

Command templatesApplyCommand()
{
    return {.name = "templates apply",
        .help = {{"ID", "テンプレートを GEMINI.md に適用"}},
        .argument = "テンプレート ID",
        .run = applyTemplate};
}

Command templatesImportCommand()
{
    return {.name = "templates import",
        .help = {{"", "現在の GEMINI.md をテンプレートとして取り込み"}},
        .run = importCurrentPrompt};
}

} // namespace velkaro::cli
