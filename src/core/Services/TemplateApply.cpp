// Template apply over the user's own file: never without a copy of what it replaces.
#include "Services/TemplateApply.h"

#include "Platform/FileSystem.h"
#include "Platform/QuotedName.h"
#include "Services/SourceSelection.h"

#include <algorithm>
#include <sys/stat.h>

namespace velkaro {

namespace fs = std::filesystem;

namespace {

Error abortedError(const std::string &reason)
{
    return Error {TemplateService::kErrorDomain, TemplateService::kNoSafetySnapshot,
        "上書き前のセーフティバックアップを作成できなかったため、適用を中止しました: " + reason};
}

Error notCoveredError(const std::string &name)
{
    return Error {TemplateService::kErrorDomain, TemplateService::kBadRequest,
        "「" + name
            + "」はバックアップの対象外なので、上書き前のセーフティバックアップに入りません"
              " (設定の「対象ファイル拡張子」に加えてから適用してね)"};
}

// Whether a backup run would take the target: a regular file whose every component is visible and
// whose name the extension rule takes.
bool backupTakes(const fs::path &relative, const fs::path &target, const BackupConfig &config)
{
    for (const auto &component : relative) {
        if (component.native().starts_with('.'))
            return false;
    }
    struct stat st = {};
    return ::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)
        && FileNameRule(config.targetExtensions).wants(relative.filename().native());
}

// What stands where the template goes.
enum class TargetState { absent, folder, sameText, otherText };

TargetState targetState(const PromptTemplate &tmpl, const fs::path &folder)
{
    const fs::path target = folder / tmpl.targetFileName;
    struct stat st = {};
    if (::lstat(target.c_str(), &st) != 0)
        return TargetState::absent;
    if (S_ISDIR(st.st_mode))
        return TargetState::folder; // the write fails on it and replaces nothing
    if (!S_ISREG(st.st_mode))
        return TargetState::otherText; // a link or a device would be replaced too
    const auto text = FileSystem::readFile(target);
    return text && *text == tmpl.promptContent ? TargetState::sameText : TargetState::otherText;
}

} // namespace

bool overwritesOtherText(const PromptTemplate &tmpl, const fs::path &folder)
{
    // A refused name is never written, so it replaces nothing (and is not even looked at).
    return !folder.empty() && TemplateService::isAllowedTargetFileName(tmpl.targetFileName)
        && targetState(tmpl, folder) == TargetState::otherText;
}

Result<std::optional<BackupSnapshot>> applyTemplateSafely(const PromptTemplate &tmpl, const BackupConfig &config,
    const TemplateService &templates, const BackupService &backups, const BackupProgressHandler &progress)
{
    const TemplateWriter write
        = [&templates](const PromptTemplate &t, const fs::path &folder) { return templates.applyTemplate(t, folder); };
    return applyTemplateSafely(tmpl, config, write, backups, progress);
}

Result<std::optional<BackupSnapshot>> applyTemplateSafely(const PromptTemplate &tmpl, const BackupConfig &config,
    const TemplateWriter &write, const BackupService &backups, const BackupProgressHandler &progress)
{
    if (auto refused = config.pathProblem())
        return std::unexpected(*refused);
    const fs::path folder = config.sourceDirectories.empty() ? fs::path() : fs::path(config.sourceDirectories.front());
    // A refused name or an empty folder fails in applyTemplate, before anything is read or written.
    const bool checked = !folder.empty() && TemplateService::isAllowedTargetFileName(tmpl.targetFileName);
    const TargetState state = checked ? targetState(tmpl, folder) : TargetState::absent;
    if (state == TargetState::sameText)
        return std::optional<BackupSnapshot>(); // nothing would change
    if (state != TargetState::otherText) {
        if (auto applied = write(tmpl, folder); !applied)
            return std::unexpected(applied.error());
        return std::optional<BackupSnapshot>();
    }

    const fs::path relative = fs::path(tmpl.targetFileName).lexically_normal();
    if (!backupTakes(relative, folder / relative, config))
        return std::unexpected(notCoveredError(tmpl.targetFileName));
    // The store stays locked from the safety snapshot until the file is written: no other run's
    // retention can take the copy in between. The wait for it shows as a backup's preparing.
    if (progress)
        progress(BackupExecutionState::preparing());
    auto lock = StoreLock::acquire(fs::path(config.destinationDirectory), backups.lockWait());
    if (!lock)
        return std::unexpected(abortedError(lock.error().description));
    const auto safety
        = backups.executeBackup(config, BackupTriggerType::preRestoreSafety, progress, *lock, {}, safetyNote(tmpl));
    if (!safety)
        return std::unexpected(abortedError(safety.error().description));
    if (safety->skippedFileCount > 0)
        return std::unexpected(
            abortedError(std::to_string(safety->skippedFileCount) + " 件のファイルをコピーできませんでした"));
    // The copy of the very file about to be replaced must be in it.
    const auto &recorded = safety->snapshot.relativeFilePaths;
    if (std::find(recorded.begin(), recorded.end(), relative.native()) == recorded.end()) {
        // A folder or source the run could not read, not the settings, may be why it is missing.
        if (safety->skippedFolderCount > 0)
            return std::unexpected(abortedError(std::to_string(safety->skippedFolderCount)
                + " 件のフォルダを読み込めませんでした: " + quotedName(safety->firstSkippedFolder)));
        if (!safety->failedSources.empty())
            return std::unexpected(abortedError(safety->failedSources.front().description()));
        return std::unexpected(notCoveredError(tmpl.targetFileName));
    }

    if (auto applied = write(tmpl, folder); !applied)
        return std::unexpected(applied.error());
    return std::optional<BackupSnapshot>(safety->snapshot);
}

std::string safetyNote(const PromptTemplate &tmpl)
{
    return "テンプレート「" + tmpl.title + "」を適用する前";
}

std::string appliedMessage(const PromptTemplate &tmpl)
{
    return "「" + quotedName(tmpl.title) + "」を " + quotedName(tmpl.targetFileName) + " に適用したよ！";
}

} // namespace velkaro
