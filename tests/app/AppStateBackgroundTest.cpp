// AppState's work in the thread pool: progress at a bounded rate, deletion and history loads off the
// main thread, the newest request winning, and nothing arriving for a state that is gone.
#include "AppStateFixture.h"
#include "Services/ProgressRelay.h"
#include "Services/StoreLock.h"

#include <QElapsedTimer>

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

// A history.json that a load can open but not finish reading until the test releases it: a FIFO whose
// writer waits for release() (or gives up waiting after 3 s, so a load on the main thread does not
// hang the test, it only shows up as slow).
class HeldHistory
{
public:
    HeldHistory(const fs::path &file, std::string text)
    {
        fs::remove(file);
        EXPECT_EQ(::mkfifo(file.c_str(), 0600), 0);
        m_writer = std::thread([this, file, text = std::move(text)] {
            (void)m_released.get_future().wait_for(3s);
            // Opening for writing fails until a reader has the FIFO open.
            int fd = -1;
            for (auto until = std::chrono::steady_clock::now() + 10s;
                 fd < 0 && std::chrono::steady_clock::now() < until;) {
                fd = ::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd < 0)
                    std::this_thread::sleep_for(5ms);
            }
            if (fd >= 0) {
                EXPECT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
                ::close(fd);
            }
        });
    }
    ~HeldHistory()
    {
        release();
        m_writer.join();
    }
    void release()
    {
        if (!std::exchange(m_done, true))
            m_released.set_value();
    }

private:
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
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "402 件のファイルを正常に復元しました！");
    // The outcome is told with the safety snapshot already listed.
    EXPECT_EQ(s.snapshots().front().triggerType, BackupTriggerType::preRestoreSafety);
}

// Waiting for the store lock and reading the history happen in the pool: the calls return at once.
TEST_F(AppStateBackgroundTest, DeleteAndLoadReturnBeforeTheirWorkIsDone)
{
    AppState &s = start(3000ms);
    manualBackups(2);
    const SnapshotList made = s.snapshots();
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    std::optional<Result<void>> deleted;
    QElapsedTimer took;
    took.start();
    s.deleteSnapshot(made[0], [&](const Result<void> &r) { deleted = r; });
    EXPECT_LT(took.elapsed(), 1000) << "waited for the lock on the main thread";
    drainEvents();
    EXPECT_FALSE(deleted.has_value());
    EXPECT_EQ(ids(s.snapshots()), ids(made));
    lock = std::unexpected(Error {});
    ASSERT_TRUE(waitUntil([&] { return deleted.has_value(); }));
    EXPECT_TRUE(*deleted);
    EXPECT_EQ(ids(s.snapshots()), std::vector<std::string> {made[1].id});

    const BackupSnapshot old = recordedSnapshot("2025-03-01/snapshot_081000", 10);
    {
        HeldHistory history(dest / "history.json", encodeSnapshotList({made[1], old}));
        took.restart();
        s.loadHistory();
        EXPECT_LT(took.elapsed(), 1000) << "read the history on the main thread";
        EXPECT_TRUE(s.isLoadingHistory());
        history.release();
        ASSERT_TRUE(waitUntil([&] { return !s.isLoadingHistory(); }));
    }
    EXPECT_EQ(ids(s.snapshots()), (std::vector<std::string> {made[1].id, old.id}));
}

// A slow load of a store the settings named before must not replace the list of the one named now.
TEST_F(AppStateBackgroundTest, AnOvertakenLoadIsDropped)
{
    AppState &s = start();
    manualBackups(2);
    const SnapshotList made = s.snapshots();
    const fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    HeldHistory slow(
        elsewhere / "history.json", encodeSnapshotList({recordedSnapshot("2025-03-01/snapshot_081000", 10)}));
    saveDestination(elsewhere);
    EXPECT_TRUE(s.snapshots().empty()) << "the old store's list must not stand for the new one";
    saveDestination(dest);
    ASSERT_TRUE(waitUntil([&] { return !s.isLoadingHistory(); }));
    EXPECT_EQ(ids(s.snapshots()), ids(made));
    slow.release();
    settle();
    EXPECT_EQ(ids(s.snapshots()), ids(made));
}

TEST_F(AppStateBackgroundTest, NothingArrivesForAGoneState)
{
    start(1000ms);
    manualBackups(1);
    const BackupSnapshot made = state->snapshots().front();
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    state->deleteSnapshot(made, [](const Result<void> &) { ADD_FAILURE() << "deletion outcome for a gone state"; });
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
