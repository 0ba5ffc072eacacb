#include "TemplateCommands.h"

#include "CliSupport.h"
#include "Models/BackupConfig.h"
#include "Services/BackupService.h"
#include "Services/TemplateApply.h"
#include "Services/TemplateService.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <string_view>

using namespace velkaro;
using namespace velkaro::cli;

namespace {

constexpr std::string_view kTemplatesUsage
    = "使い方: velkaro-backup-cli templates <サブコマンド>\n"
      "\n"
      "  list [--json]   テンプレートの一覧を表示 (--json でライブラリと同じ JSON)\n"
      "  apply ID        テンプレートを最初のソースフォルダに適用\n"
      "  import          最初のソースフォルダの GEMINI.md をテンプレートとして取り込む\n";

int fail(std::string_view message)
{
    printError(message);
    return kExitFailure;
}

int usageError()
{
    std::fwrite(kTemplatesUsage.data(), 1, kTemplatesUsage.size(), stderr);
    return kExitUsage;
}

// Ids are UUIDs: a lower-case spelling of one names the same template.
bool sameId(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
    });
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

int listTemplates(bool asJson)
{
    const auto templates = TemplateService {}.loadTemplates();
    if (asJson) {
        printLine(encodeTemplateList(templates));
        return kExitSuccess;
    }
    if (templates.empty())
        printLine("テンプレートはありません。");
    for (const auto &tmpl : templates) {
        std::string line = tmpl.id + "  [" + std::string(rawValue(tmpl.kind)) + "] " + tmpl.title;
        if (tmpl.isPresetTemplate)
            line += " (プリセット)";
        printLine(line);
    }
    return kExitSuccess;
}

int applyTemplate(std::string_view id)
{
    const TemplateService service;
    const auto templates = service.loadTemplates();
    const auto found = std::ranges::find_if(templates, [&](const PromptTemplate &t) { return sameId(t.id, id); });
    if (found == templates.end())
        return fail("テンプレートが見つかりません: " + std::string(id));

    const BackupConfig config = loadConfig();
    if (config.sourceDirectories.empty())
        return fail(kNoSourceDirectory);
    // Other text in the target is kept in a safety snapshot first, as the application does.
    if (auto applied = applyTemplateSafely(*found, config, service, BackupService {}); !applied)
        return fail("適用失敗: " + applied.error().description);
    printLine("「" + found->title + "」を " + found->targetFileName + " に適用したよ！");
    return kExitSuccess;
}

int importCurrentPrompt()
{
    const auto source = firstSourceDirectory();
    if (!source)
        return fail(kNoSourceDirectory);
    const TemplateService service;
    auto text = service.readCurrentPrompt(*source);
    if (!text)
        return fail("GEMINI.md が見つかりませんでした。");

    auto templates = service.loadTemplates();
    templates.push_back(TemplateService::makeImportedTemplate(std::move(*text), *source));
    // Unlike the window, a command has no list on screen to fall back on: a lost import must be told.
    if (auto saved = service.saveTemplates(templates); !saved)
        return fail("保存失敗: " + saved.error().description);
    printLine("現在の GEMINI.md をテンプレートとして取り込みました！");
    return kExitSuccess;
}

} // namespace

int runTemplatesCommand(const std::vector<std::string> &args)
{
    const std::string_view sub = args.empty() ? std::string_view {} : std::string_view {args.front()};
    if ((sub == "--help" || sub == "-h") && args.size() == 1) {
        std::fwrite(kTemplatesUsage.data(), 1, kTemplatesUsage.size(), stdout);
        return kExitSuccess;
    }
    if (sub == "list" && args.size() == 1)
        return listTemplates(false);
    if (sub == "list" && args.size() == 2 && args[1] == "--json")
        return listTemplates(true);
    if (sub == "apply" && args.size() == 2)
        return applyTemplate(args[1]);
    if (sub == "import" && args.size() == 1)
        return importCurrentPrompt();
    return usageError();
}
