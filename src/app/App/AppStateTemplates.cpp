// The template library: its edits, written at once, and a template applied to the first source folder in
// the pool, after a safety snapshot.
#include "App/AppStateBackground.h"
#include "App/ProgressRelay.h"
#include "Services/StoreLock.h"
#include "Services/TemplateApply.h"

#include <QMetaObject>

#include <algorithm>
#include <utility>

namespace velkaro {

void AppState::loadTemplates()
{
    setTemplates(m_templateService.loadTemplates());
}

Result<void> AppState::saveTemplate(const PromptTemplate &tmpl)
{
    TemplateList list = m_templates;
    auto found = std::find_if(list.begin(), list.end(), [&](const PromptTemplate &t) { return t.id == tmpl.id; });
    if (found != list.end())
        *found = tmpl;
    else
        list.push_back(tmpl);
    setTemplates(std::move(list));
    return storeTemplates();
}

Result<void> AppState::deleteTemplate(const std::string &id)
{
    TemplateList list = m_templates;
    std::erase_if(list, [&](const PromptTemplate &t) { return t.id == id && !t.isPresetTemplate; });
    setTemplates(std::move(list));
    return storeTemplates();
}

Result<void> AppState::storeTemplates()
{
    auto stored = m_templateService.saveTemplates(m_templates);
    settleSaveMessage(stored, "テンプレートを保存したよ！");
    return stored;
}

void AppState::applyTemplateToCurrent(const PromptTemplate &tmpl, ApplyCompletion completion)
{
    if (m_config.sourceDirectories.empty() || m_applyRunning) {
        QMetaObject::invokeMethod(
            this,
            [completion = std::move(completion), message = m_statusMessage.value_or(std::string())] {
                if (completion)
                    completion(false, message);
            },
            Qt::QueuedConnection);
        return;
    }
    // Our own run holds the store: a safety snapshot is refused at once rather than after the lock's wait.
    // Nothing else of ours starts while the apply runs, so what holds now holds until it is through.
    const bool storeBusy = isBusy() || m_backupState.isRunning();
    m_applyRunning = true;
    emit templateApplyChanged();
    BackupProgressHandler report;
    if (!storeBusy) {
        m_stateBeforeApply = m_backupState;
        m_applyProgress = std::make_unique<ProgressRelay<BackupExecutionState>>(
            [this](const BackupExecutionState &state) { setBackupState(state); });
        report = m_applyProgress->reporter();
    }
    auto work = [backups = m_backupService, templates = m_templateService, config = m_config, tmpl, storeBusy,
                    report = std::move(report)]() -> Result<std::optional<BackupSnapshot>> {
        if (storeBusy && overwritesOtherText(tmpl, std::filesystem::path(config.sourceDirectories.front())))
            return std::unexpected(StoreLock::busyError());
        return applyTemplateSafely(tmpl, config, templates, *backups, report);
    };
    runInBackground(std::move(work),
        [this, tmpl, storeBusy, completion = std::move(completion)](
            const Result<std::optional<BackupSnapshot>> &applied) {
            finishApply(tmpl, !storeBusy, applied, completion);
        });
}

void AppState::finishApply(const PromptTemplate &tmpl, bool showedProgress,
    const Result<std::optional<BackupSnapshot>> &applied, ApplyCompletion completion)
{
    if (showedProgress) {
        m_applyProgress->finish();
        m_applyProgress.reset();
        // The safety snapshot is not a backup run of its own: the state goes back to the last run's.
        setBackupState(m_stateBeforeApply);
    }
    auto settle = [this, completion = std::move(completion)](bool ok, const std::string &message) {
        m_applyRunning = false;
        setStatusMessage(message);
        emit templateApplyChanged();
        if (ok)
            emit filesChanged(); // what compares against the files now must look again
        if (completion)
            completion(ok, message);
    };
    if (!applied) {
        settle(false, "適用失敗: " + applied.error().description);
        return;
    }
    if (!*applied) {
        settle(true, appliedMessage(tmpl));
        return;
    }
    // Told once the list holds the safety snapshot; until then no backup slips in.
    requestHistory(m_config.destinationDirectory,
        [settle = std::move(settle), message = appliedMessage(tmpl)] { settle(true, message); });
}

AddedTemplate AppState::createTemplate()
{
    PromptTemplate created = m_templateService.makeNewTemplate();
    auto stored = saveTemplate(created);
    return AddedTemplate {std::move(created), std::move(stored)};
}

Result<void> AppState::saveTemplateEdits(const std::string &id, const TemplateEdits &edits, bool isPreset)
{
    const TimePoint now = m_templateService.clock().now();
    auto listed = std::ranges::find(m_templates, id, &PromptTemplate::id);
    const TimePoint createdAt = listed != m_templates.end() ? listed->createdAt : now;
    return saveTemplate(PromptTemplate {id, edits.title, edits.descriptionText, edits.promptContent, edits.kind,
        edits.targetFileName, isPreset, createdAt, now});
}

std::optional<AddedTemplate> AppState::importCurrentPrompt()
{
    if (m_config.sourceDirectories.empty())
        return std::nullopt;
    const std::filesystem::path folder(m_config.sourceDirectories.front());
    auto body = m_templateService.readCurrentPrompt(folder);
    if (!body)
        return std::nullopt;
    PromptTemplate imported = m_templateService.makeImportedTemplate(std::move(*body), folder);
    auto stored = saveTemplate(imported);
    return AddedTemplate {std::move(imported), std::move(stored)};
}

} // namespace velkaro
