// Opens the management window on the history page over the store in $HOME, as the application does,
// and prints how long that took and how much memory it holds, as "key value" lines:
//   state_ms      from main() to AppState built (the history is loaded by then)
//   ready_ms      from main() to the window shown on the dashboard
//   open_ms       from the switch to the history page to the page painted
//   total_ms      the sum: from main() to the history page on screen
//   cpu_ms        processor time (user and system, all threads) until then: steadier than the clock on a
//                 busy machine
//   ready_rss_kb  resident memory before the history page is opened
//   open_rss_kb   resident memory with the history page shown
// Run with QT_QPA_PLATFORM=offscreen, HOME and XDG_CONFIG_HOME set (bench/history_page_bench.sh).
#include "App/AppState.h"
#include "Views/Main/MainWindowView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

long long cpuMilliseconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval &t) { return static_cast<long long>(t.tv_sec) * 1000 + t.tv_usec / 1000; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

long residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    }
    return -1;
}

// Lets the window lay out and paint what it shows now.
void paintNow(QWidget &window)
{
    QApplication::processEvents();
    window.repaint();
    QApplication::processEvents();
}

// The page counts as open once it shows the rows, also where the history arrives from a background read.
void waitForHistory(velkaro::AppState &state)
{
    if (!state.snapshots().empty())
        return;
    QEventLoop loop;
    QObject::connect(&state, &velkaro::AppState::snapshotsChanged, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QElapsedTimer clock;
    clock.start();
    QApplication application(argc, argv);
    velkaro::AppState state {velkaro::BackupService(), velkaro::RestoreService(velkaro::BackupService()),
        velkaro::TemplateService(), velkaro::LaunchAtLoginManager()};
    const qint64 built = clock.elapsed();
    velkaro::MainWindowView window(state);
    window.resize(900, 600);
    window.show();
    paintNow(window);
    const qint64 ready = clock.elapsed();
    const long readyRss = residentKilobytes();

    QElapsedTimer opening;
    opening.start();
    state.setSelectedTab(velkaro::NavigationTab::history);
    waitForHistory(state);
    paintNow(window);
    const qint64 open = opening.elapsed();
    const long long cpu = cpuMilliseconds();
    std::printf("state_ms %lld\ncpu_ms %lld\n", static_cast<long long>(built), cpu);
    std::printf("snapshots %zu\nready_ms %lld\nopen_ms %lld\ntotal_ms %lld\nready_rss_kb %ld\nopen_rss_kb %ld\n",
        state.snapshots().size(), static_cast<long long>(ready), static_cast<long long>(open),
        static_cast<long long>(ready + open), readyRss, residentKilobytes());
    return state.snapshots().empty() ? 1 : 0;
}
