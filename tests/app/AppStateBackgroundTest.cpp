// AppState's work in the thread pool: progress at a bounded rate, deletion and history loads off the
// main thread, the newest request winning, and nothing arriving for a state that is gone; and the
// detail pane's restore of chosen files and comparisons.
#include "App/ProgressRelay.h"
#include "AppStateFixture.h"
#include "Services/StoreLock.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace velkaro;
using namespace velkaro::test;

namespace {

using AppStateBackgroundTest = AppStateFixture;
using AppStateDetailTest = AppStateFixture; // the history page's detail pane

// A history.json that a load can open but not finish reading until the test releases it: a FIFO whose
// writer waits for release() (or gives up waiting after 3 s, so a load on the main thread does not
// hang the test, it only shows up as slow).
class HeldHistory
{
public:
    HeldHistory(const fs::path &file, std::string text)
        : m_file(file)
    {
        fs::remove(file);
        EXPECT_EQ(::mkfifo(file.c_str(), 0600), 0);
        m_writer = std::thread([this, text = std::move(text)] {
            (void)m_released.get_future().wait_for(3s);
            // Waits for a reader: the load's, or the destructor's when no load came.
            const int fd = ::open(m_file.c_str(), O_WRONLY | O_CLOEXEC);
            EXPECT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
            ::close(fd);
        });
    }
    ~HeldHistory()
    {
        release();
        const int reader = ::open(m_file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        m_writer.join();
        ::close(reader);
    }
    void release()
    {
        if (!std::exchange(m_done, true))
            m_released.set_value();
    }

private:
    fs::path m_file;
    std::promise<void> m_released;
    bool m_done = false;
    std::thread m_writer;
};

// At most one update a tick, plus the state set at the request and the result's own. A coarse timer
// may fire up to 5 % early: a quarter more is allowed. Unthrottled, every file would count.
std::size_t updateBound(const QElapsedTimer &took)
{
    return std::size_t(took.elapsed() * 5 / 4 / ProgressRelay<int>::kTick.count()) + 4;
}

} // namespace

TEST_F(AppStateBackgroundTest, ProgressOfManyFilesArrivesAtABoundedRateAndEndsWithTheResult)
{
    for (int i = 0; i < 400; ++i)
        writeText(src / "many" / ("f" + std::to_string(i) + ".md"), "x");
    AppState &s = start();
    std::vector<BackupExecutionState> states;
    QObject::connect(&s, &AppState::backupStateChanged, [&] { states.push_back(s.backupState()); });
    QElapsedTimer took;
    took.start();
    s.performManualBackup();
    settle();
    ASSERT_EQ(s.snapshots().size(), 1u);
    const BackupSnapshot made = s.snapshots().front();
    EXPECT_EQ(made.filesCount, 402);
    EXPECT_LE(states.size(), updateBound(took)) << "in " << took.elapsed() << " ms";
    EXPECT_EQ(states.back(), BackupExecutionState::success(made.createdAt, made.id));

    // A restore's per-file texts are throttled the same way, and its outcome is the last text.
    std::vector<std::string> texts;
    QObject::connect(&s, &AppState::statusMessageChanged, [&] { texts.push_back(status()); });
    took.restart();
    EXPECT_EQ(restoreNow(made), RestoreOutcome::complete);
    EXPECT_LE(texts.size(), updateBound(took)) << "in " << took.elapsed() << " ms";
    EXPECT_EQ(status(), "402 件のファイルを正常に復元しました！");
}

// The history is read in the pool, and a slow load of a store the settings named before must not
// replace the list of the one named now.
TEST_F(AppStateBackgroundTest, LoadsRunInThePoolAndAnOvertakenOneIsDropped)
{
    AppState &s = start();
    manualBackups(2);
    const SnapshotList made = s.snapshots();
    const fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    HeldHistory slow(
        elsewhere / "history.json", encodeSnapshotList({recordedSnapshot("2025-03-01/snapshot_081000", 10)}));
    QElapsedTimer took;
    took.start();
    saveDestination(elsewhere);
    EXPECT_LT(took.elapsed(), 1000) << "read the history on the main thread";
    EXPECT_TRUE(s.isLoadingHistory());
    EXPECT_TRUE(s.snapshots().empty()) << "the old store's list must not stand for the new one";
    saveDestination(dest);
    ASSERT_TRUE(waitUntil([&] { return !s.isLoadingHistory(); }));
    EXPECT_EQ(ids(s.snapshots()), ids(made));
    slow.release();
    settle();
    EXPECT_EQ(ids(s.snapshots()), ids(made));
}

// Waiting for the store lock happens in the pool, so the calls return at once; what is still on its
// way when the state goes arrives nowhere, while the work itself goes on.
TEST_F(AppStateBackgroundTest, WorkWaitsInThePoolAndNothingArrivesForAGoneState)
{
    start(3000ms);
    manualBackups(1);
    const BackupSnapshot made = state->snapshots().front();
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    QElapsedTimer took;
    took.start();
    state->deleteSnapshot(made, [](const Result<void> &) { ADD_FAILURE() << "deletion outcome for a gone state"; });
    EXPECT_LT(took.elapsed(), 1000) << "waited for the lock on the main thread";
    drainEvents();
    EXPECT_EQ(state->snapshots().size(), 1u);
    state->loadHistory();
    state->performManualBackup();
    state->restore(made, RestoreScopeOption::allFiles,
        [](RestoreOutcome, const std::string &) { ADD_FAILURE() << "restore outcome for a gone state"; });
    state.reset();
    lock = std::unexpected(Error {});
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    EXPECT_FALSE(fs::exists(dest / "snapshots" / made.id)) << "the deletion itself went on";
}

// A template apply waits for the store (held by another process) in the pool: the call returns at
// once, the event loop keeps turning, the safety snapshot's progress shows as a backup's, nothing else
// of ours starts meanwhile, and the outcome arrives with the snapshot listed under its note.
TEST_F(AppStateBackgroundTest, ApplyWaitsForTheStoreOffTheMainThread)
{
    AppState &s = start(5000ms);
    const PromptTemplate preset = s.templates().front();
    fs::create_directories(dest);
    QProcess holder;
    holder.start(QStringLiteral("flock"),
        {QString::fromStdString((dest / ".lock").string()), QStringLiteral("-c"),
            QStringLiteral("echo held; sleep 1.2")});
    ASSERT_TRUE(holder.waitForReadyRead(5000));

    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    std::vector<bool> running;
    QObject::connect(&s, &AppState::backupStateChanged, [&] { running.push_back(s.backupState().isRunning()); });
    std::optional<std::string> told;
    QElapsedTimer took;
    took.start();
    s.applyTemplateToCurrent(preset, [&](bool applied, const std::string &message) {
        EXPECT_TRUE(applied);
        told = message;
    });
    EXPECT_LT(took.elapsed(), 300) << "waited for the lock on the main thread";
    EXPECT_TRUE(s.isApplyingTemplate());
    s.performManualBackup(); // dropped while the apply runs
    ASSERT_TRUE(waitUntil([&] { return told.has_value(); }));
    EXPECT_GT(ticks, 20) << "the event loop stood still";
    EXPECT_EQ(*told, "「" + preset.title + "」を GEMINI.md に適用したよ！");
    EXPECT_EQ(status(), *told);
    EXPECT_FALSE(s.isApplyingTemplate());
    EXPECT_TRUE(std::ranges::count(running, true) > 0) << "no progress shown";
    EXPECT_FALSE(s.backupState().isRunning());
    ASSERT_EQ(s.snapshots().size(), 1u) << "the safety snapshot only";
    EXPECT_EQ(s.snapshots().front().note, "テンプレート「" + preset.title + "」を適用する前");
    EXPECT_EQ(readText(src / "GEMINI.md"), preset.promptContent);
    holder.waitForFinished(3000);
}

// Only the chosen files are written; a path the snapshot does not hold writes nothing at all.
TEST_F(AppStateDetailTest, ChosenFilesRestoreWritesThoseOnly)
{
    AppState &s = start();
    manualBackups(1);
    const BackupSnapshot made = s.snapshots().front();
    writeText(src / "GEMINI.md", "edited rules");
    writeText(src / "settings.json", "{\"edited\":1}");

    std::optional<RestoreOutcome> outcome;
    s.restoreFiles(made, {"GEMINI.md", "sub/nope.md"}, keepOutcome(outcome));
    settle();
    EXPECT_EQ(outcome, RestoreOutcome::failed);
    EXPECT_EQ(status(), "復元エラー: スナップショットに含まれていません: sub/nope.md");
    EXPECT_EQ(s.snapshots().size(), 1u) << "no safety snapshot for a refused choice";

    outcome.reset();
    s.restoreFiles(made, {"GEMINI.md"}, keepOutcome(outcome));
    settle();
    EXPECT_EQ(outcome, RestoreOutcome::complete);
    EXPECT_EQ(status(), "1 件のファイルを正常に復元しました！");
    EXPECT_EQ(readText(src / "GEMINI.md"), "# rules");
    EXPECT_EQ(readText(src / "settings.json"), "{\"edited\":1}");
}

// The comparison and the file diff come back on the main thread; a request overtaken by a newer one
// of the same kind never completes, so a result for a snapshot no longer chosen cannot arrive.
TEST_F(AppStateDetailTest, OnlyTheLatestComparisonAndDiffArrive)
{
    AppState &s = start();
    manualBackups(1);
    writeText(src / "GEMINI.md", "changed");
    writeText(src / "extra.md", "x");
    manualBackups(1);
    const BackupSnapshot older = s.snapshots().back();
    const BackupSnapshot newer = s.snapshots().front();

    std::vector<std::string> arrived;
    s.compareWithCurrentFiles(older, [&](const CurrentFilesComparison &) { arrived.push_back("older"); });
    s.compareWithCurrentFiles(newer, [&](const CurrentFilesComparison &c) {
        arrived.push_back("newer " + std::to_string(c.marks.size()) + " " + std::to_string(int(c.marks.at("GEMINI.md")))
            + " " + std::to_string(c.onlyNowCount));
    });
    s.diffWithCurrentFile(older, "GEMINI.md", [&](const CurrentFileDiff &) { arrived.push_back("diff 1"); });
    s.diffWithCurrentFile(older, "GEMINI.md",
        [&](const CurrentFileDiff &d) { arrived.push_back("diff 2 " + std::to_string(d.hunks.size())); });
    EXPECT_TRUE(arrived.empty());
    ASSERT_TRUE(waitUntil([&] { return arrived.size() >= 2; }));
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    std::sort(arrived.begin(), arrived.end());
    EXPECT_EQ(arrived,
        (std::vector<std::string> {"diff 2 1", "newer 3 " + std::to_string(int(CompareState::unchanged)) + " 0"}));
}
