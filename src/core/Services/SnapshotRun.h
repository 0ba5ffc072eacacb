#pragma once

#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"
#include "Models/PathList.h"
#include "Platform/Clock.h"
#include "Platform/Error.h"
#include "Services/BackupService.h"
#include "Services/FileStatRecord.h"
#include "Services/SnapshotLinker.h"
#include "Services/SnapshotStore.h"
#include "Services/SourceSelection.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

class FileCopier;

// A file of the run: what the selection gave, and what became of it.
struct CollectedFile
{
    SelectedFile selected;
    bool linked = false;
    std::int64_t bytes = 0; // copied
};

// One backup run, step by step: it selects the files, stages a folder, fills it (linking unchanged
// files, copying the rest), publishes it and records it. A run that fails or goes out of scope before
// publishing takes its staging folder with it; one that fails after publishing takes its published
// folder back out.
class SnapshotRun
{
public:
    // Starts the failure when the store's folder cannot be made.
    static constexpr const char *kNoFolder = "保存先ディレクトリ作成失敗: ";
    // The failure when the settings name no source folder.
    static constexpr const char *kNoSources = "バックアップ対象フォルダが設定されていません";

    SnapshotRun(const BackupConfig &config, const BackupProgressHandler &handler);
    SnapshotRun(const SnapshotRun &) = delete;
    SnapshotRun &operator=(const SnapshotRun &) = delete;
    ~SnapshotRun();

    // The run's steps in order, under the store lock its caller holds (BackupService::executeBackup
    // tells what each step does and how it fails). `start` dates the snapshot; `runStart`, the file-time
    // reading taken before the first stat, tells a killed run's leftovers and a racy change apart.
    Result<BackupRun> execute(BackupTriggerType trigger, TimePoint start, StampTime runStart,
        std::string_view keptSnapshotId, const std::optional<std::string> &note);

private:
    void report(const BackupExecutionState &state) const;
    Result<BackupRun> fail(const std::string &cause, const Error &error);

    // Takes the files the selection gives, removing on the way what killed restores left below the
    // sources (older than `lockedAt`). A safety snapshot has nothing to keep of a source that is not
    // there, so only an unreadable one fails it. Fails when no source could be read: then nothing is
    // written.
    Result<void> select(std::int64_t lockedAt, bool missingSourcesFail);
    // Removes what killed runs left (all older than the lock) and makes this run's staging folder.
    Result<void> prepare();
    // One read of the history serves the whole run; its newest snapshot is the link base. A history.json
    // that cannot be read fails the run: it is never replaced by a list rebuilt without it.
    Result<void> readHistory();
    // Links the files the link base proves unchanged, on two threads when there are many.
    void link();
    void linkRange(std::size_t from, std::size_t to);
    // Copies every file that was not linked; only a full disk fails the run.
    Result<void> copy();
    Result<bool> copyOne(CollectedFile &file, std::string &madeFolder, FileCopier &copier);
    // The record of what was stored, and the stamps of the sources it was taken from beside it.
    BackupSnapshot record(BackupTriggerType trigger, TimePoint start, StampTime runStart);
    // Publishes the staged folder under the first free second from the snapshot's start.
    Result<void> publish(BackupSnapshot &snapshot);
    // The run's one write of history.json: the new snapshot in front, retention's picks already out and
    // set aside, so that a kill never leaves a listed snapshot with half its files. A run that could not
    // read everything prunes nothing: its snapshot must not push out ones that hold what it missed.
    Result<std::vector<std::string>> recordInHistory(const BackupSnapshot &snapshot, std::string_view keptSnapshotId);

    const BackupConfig &m_config;
    const BackupProgressHandler &m_handler;
    SnapshotStore m_store;
    std::int64_t m_lockedAt = 0;
    SelectionReport m_selection;
    std::vector<std::string> m_interrupted; // ids in the staging folders that cleanup removed
    std::filesystem::path m_staging; // until published
    std::string m_published; // from publish until history.json holds it
    std::string m_dataFolder; // ends in "/"
    SnapshotStore::History m_held;
    std::optional<LinkBase> m_linkBase;
    PathList m_basePaths; // the base's list, shared by the new snapshot when it records the same files
    std::vector<CollectedFile> m_files;
    std::vector<std::string> m_recorded;
    std::vector<FileStamp> m_stamps; // one per recorded path
    std::int64_t m_total = 0;
    std::int64_t m_skipped = 0;
};

} // namespace velkaro
