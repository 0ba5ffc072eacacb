#include "Services/StoreLock.h"
#include "TestSupport.h"

#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace velkaro;
using namespace velkaro::test;
using namespace std::chrono_literals;

namespace {

// A second process that takes the store lock, says so through a pipe, and holds it until told to go.
class LockHolder
{
public:
    explicit LockHolder(const fs::path &destination)
    {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            std::abort();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            auto lock = StoreLock::acquire(destination, 0ms);
            const char state = lock ? 'L' : 'F';
            (void)!::write(ready[1], &state, 1);
            char c;
            (void)!::read(release[0], &c, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        m_release = release[1];
        char state = 0;
        (void)!::read(ready[0], &state, 1);
        ::close(ready[0]);
        m_locked = state == 'L';
    }
    ~LockHolder() { finish(); }

    bool locked() const { return m_locked; }
    void kill() { ::kill(m_pid, SIGKILL); }
    void finish()
    {
        if (m_release >= 0)
            ::close(m_release); // EOF tells the child to go
        m_release = -1;
        if (m_pid > 0)
            ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    int m_release = -1;
    bool m_locked = false;
};

using StoreLockTest = StoreTest;

} // namespace

// A writer waits a bounded time for a lock another process holds, and gets it when that process lets go
// within the wait or dies.
TEST_F(StoreLockTest, AWaitingWriterIsRefusedAfterABoundedWaitOrGetsTheLockWhenItIsLetGo)
{
    LockHolder other(dest);
    ASSERT_TRUE(other.locked());
    const auto start = std::chrono::steady_clock::now();
    const auto refused = StoreLock::acquire(dest, 300ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description, "別の処理がバックアップ先を使用中です");
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 2s);
    {
        std::jthread release([&] {
            std::this_thread::sleep_for(200ms);
            other.finish();
        });
        EXPECT_TRUE(StoreLock::acquire(dest, 5s)) << "released within the wait";
    }
    LockHolder crashed(dest);
    ASSERT_TRUE(crashed.locked());
    crashed.kill();
    crashed.finish();
    EXPECT_TRUE(StoreLock::acquire(dest, 0ms)) << "the kernel drops the lock of a dead process";
}

TEST_F(StoreLockTest, HeldLockBlocksOtherProcessesUntilMovedAwayAndDestroyed)
{
    auto lock = StoreLock::acquire(dest);
    ASSERT_TRUE(lock);
    EXPECT_EQ(fs::status(dest).permissions(), fs::perms::owner_all);
    StoreLock moved = std::move(*lock);
    {
        LockHolder other(dest);
        EXPECT_FALSE(other.locked());
    }
    {
        [[maybe_unused]] StoreLock gone = std::move(moved);
    }
    LockHolder after(dest);
    EXPECT_TRUE(after.locked());
}
