#pragma once

#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Models/PromptTemplate.h"
#include "Platform/Error.h"
#include "Services/BackupService.h"
#include "Services/TemplateService.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace velkaro {

// True when writing `tmpl` into `folder` would replace something that holds other text than the
// template's: an existing file with another body, or anything else standing there but a folder.
bool overwritesOtherText(const PromptTemplate &tmpl, const std::filesystem::path &folder);

// Applies `tmpl` to the first source folder of `config`. When that replaces other text, a safety
// snapshot of the sources (trigger preRestoreSafety) comes first, and unless it copied every file,
// the target included, nothing is written. A target that already holds the template's body is left
// as it is. Returns the safety snapshot when one was taken; it carries safetyNote(tmpl), and its run
// reports to `progress` as a backup does.
Result<std::optional<BackupSnapshot>> applyTemplateSafely(const PromptTemplate &tmpl, const BackupConfig &config,
    const TemplateService &templates, const BackupService &backups, const BackupProgressHandler &progress = {});

// What writes the template into the folder; the overload above passes TemplateService::applyTemplate.
using TemplateWriter = std::function<Result<void>(const PromptTemplate &, const std::filesystem::path &)>;

// The same with the write done by `write`, which runs with the store still locked after a safety
// snapshot (tests check that through it).
Result<std::optional<BackupSnapshot>> applyTemplateSafely(const PromptTemplate &tmpl, const BackupConfig &config,
    const TemplateWriter &write, const BackupService &backups, const BackupProgressHandler &progress = {});

// The note of the safety snapshot taken before `tmpl` is applied: "テンプレート「title」を適用する前".
std::string safetyNote(const PromptTemplate &tmpl);

// What the user reads once `tmpl` has been applied: "「title」を GEMINI.md に適用したよ！".
std::string appliedMessage(const PromptTemplate &tmpl);

} // namespace velkaro
