#pragma once

#include "App/AppState.h"
#include "AppTestSupport.h"
#include "Platform/Formatters.h"

#include <QThreadPool>

#include <atomic>
#include <memory>
#include <optional>

namespace velkaro::test {

// An AppState over real services in a temporary home: sources in ~/.gemini, the store in root/dest,
// a wall clock for the scheduler that only the test moves, and quick heartbeats.
class AppStateFixture : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        writeText(src / "GEMINI.md", "# rules");
        writeText(src / "settings.json", "{}");
    }

    void TearDown() override
    {
        state.reset();
        QThreadPool::globalInstance()->waitForDone();
        drainEvents();
        TempDirTest::TearDown();
    }

    fs::path configFile() const { return home / ".config/VelkaroAntigraviti_Backup/config.json"; }
    fs::path autostartFile() const { return home / ".config/autostart/velkaro-backup.desktop"; }

    // Writes `config` (or `rawConfig`) to config.json and builds the state from it, its history loaded.
    AppState &start(std::chrono::milliseconds lockWait = std::chrono::milliseconds(100))
    {
        if (rawConfig) {
            writeText(configFile(), *rawConfig);
        } else if (!keepConfigFile) {
            EXPECT_TRUE(config.writeFile(configFile()));
        }
        // Each run of the engine starts one second after the last, so every snapshot gets its own id.
        auto engineClock = [this] { return localTime(2025, 3, 4, 9, 0, 0) + std::chrono::seconds(++engineTicks); };
        AppStateOptions options;
        options.configFile = configFile();
        options.scheduler.clock = [this] {
            ++schedulerReads; // once per heartbeat check
            return clock();
        };
        options.scheduler.firstHeartbeat = std::chrono::milliseconds(1);
        options.scheduler.heartbeatPeriod = std::chrono::milliseconds(5);
        options.scheduler.wakeBus = QDBusConnection(QStringLiteral("no-bus"));
        if (!notifierBus.isEmpty())
            options.notifier = DesktopNotifier(QDBusConnection(notifierBus));
        state = std::make_unique<AppState>(BackupService(engineClock, lockWait),
            RestoreService(BackupService(engineClock, lockWait)), TemplateService(),
            LaunchAtLoginManager(autostartFile(), "/usr/bin/velkaro-backup"), options);
        EXPECT_TRUE(waitUntil([&] { return !state->isLoadingHistory(); }));
        return *state;
    }

    // Waits until no work of the state runs any more (backup, restore, deletion, history load) and its
    // last report has arrived.
    void settle()
    {
        ASSERT_TRUE(waitUntil([&] { return !state->isBusy() && !state->hasBackgroundWork(); }));
        drainEvents();
    }

    // Deletes through the state and waits for the outcome.
    Result<void> deleteNow(const BackupSnapshot &snapshot)
    {
        auto outcome = std::make_shared<std::optional<Result<void>>>();
        state->deleteSnapshot(snapshot, [outcome](const Result<void> &deleted) { *outcome = deleted; });
        EXPECT_TRUE(waitUntil([&] { return outcome->has_value(); }));
        settle();
        return outcome->value_or(std::unexpected(Error {"test", 0, "no outcome"}));
    }

    void manualBackups(int count)
    {
        for (int i = 0; i < count; ++i) {
            state->performManualBackup();
            settle();
        }
    }

    // Lets the scheduler check the clock `count` more times, then delivers what the checks queued.
    void heartbeats(int count = 2)
    {
        const int target = schedulerReads + count;
        ASSERT_TRUE(waitUntil([&] { return schedulerReads >= target; }));
        drainEvents();
    }

    std::string status() const { return state->statusMessage().value_or("<none>"); }

    // A completion that keeps the restore's outcome in `outcome`.
    static AppState::RestoreCompletion keepOutcome(std::optional<RestoreOutcome> &outcome)
    {
        return [&outcome](RestoreOutcome o, const std::string &) { outcome = o; };
    }

    // Restores through the state and waits for the outcome.
    std::optional<RestoreOutcome> restoreNow(
        const BackupSnapshot &snapshot, RestoreScopeOption scope = RestoreScopeOption::allFiles)
    {
        std::optional<RestoreOutcome> outcome;
        state->restore(snapshot, scope, keepOutcome(outcome));
        settle();
        return outcome;
    }

    // Applies through the state and waits for the outcome.
    bool applyNow(const PromptTemplate &tmpl)
    {
        auto outcome = std::make_shared<std::optional<bool>>();
        state->applyTemplateToCurrent(tmpl, [outcome](bool applied, const std::string &) { *outcome = applied; });
        EXPECT_TRUE(waitUntil([&] { return outcome->has_value(); }));
        settle();
        return outcome->value_or(false);
    }

    // Names another store in the settings and saves them.
    void saveDestination(const fs::path &folder)
    {
        BackupConfig edited = state->config();
        edited.destinationDirectory = folder.string();
        state->setConfig(edited);
        ASSERT_TRUE(state->saveConfig());
    }

    // An entry of history.json, made on 2025-03-01 at 08:`minute`.
    static BackupSnapshot recordedSnapshot(std::string id, int minute)
    {
        return {std::move(id), localTime(2025, 3, 1, 8, minute, 0), BackupTriggerType::manual, 1, 7, {"GEMINI.md"}, {}};
    }

    std::optional<std::string> rawConfig; // written instead of `config` when set
    bool keepConfigFile = false; // start() leaves whatever stands at config.json
    FakeClock clock;
    std::atomic<int> engineTicks = 0;
    int schedulerReads = 0;
    QString notifierBus = QStringLiteral("no-bus"); // empty: the session bus
    std::unique_ptr<AppState> state;
};

} // namespace velkaro::test
