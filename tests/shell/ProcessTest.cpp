#include "Shell/SingleInstance.h"
#include "ShellTestSupport.h"

#include <QElapsedTimer>
#include <QProcess>

#include <unistd.h>

namespace velkaro::test {
namespace {

// The real program, started as its own process in the test's temporary home and runtime folder.
class ProcessTest : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        runtime = root / "run";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        writeText(src / "GEMINI.md", "# rules");
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(runtime.string()));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
    }

    void TearDown() override
    {
        for (auto &process : processes) {
            process->kill();
            process->waitForFinished(3000);
        }
        StoreTest::TearDown();
    }

    QString socketPath() const
    {
        return QString::fromStdString((runtime / ("velkaro-backup-" + std::to_string(::getuid()))).string());
    }

    QProcess &startApp(const QStringList &args)
    {
        EXPECT_TRUE(config.writeFile(home / ".config/VelkaroAntigraviti_Backup/config.json"));
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(VELKARO_APP), args);
        EXPECT_TRUE(process->waitForStarted(5000));
        processes.push_back(std::move(process));
        return *processes.back();
    }

    // True once the running instance answers on its socket. A resident-switch request is the probe:
    // it changes nothing on screen.
    bool waitUntilListening()
    {
        SingleInstance probe(socketPath());
        return waitUntil([&] { return probe.sendToRunning({QStringLiteral("--background")}, 200); }, 10000);
    }

    // A later launch, which hands over or only answers, within one second; without a display if asked.
    ProcessResult launchOnce(const QStringList &args, bool withDisplay = true)
    {
        QProcess process;
        QProcessEnvironment env = environment;
        if (!withDisplay)
            env.remove(QStringLiteral("DISPLAY"));
        process.setProcessEnvironment(env);
        QElapsedTimer timer;
        timer.start();
        process.start(QStringLiteral(VELKARO_APP), args);
        EXPECT_TRUE(process.waitForFinished(5000));
        EXPECT_LT(timer.elapsed(), 1000) << "the answer or the hand-over took too long";
        return ProcessResult {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
    }

    // The windows of `pid` that X shows, the tray icon's own small one included. (xdotool's own
    // visibility filter misses windows now and then, so the map state comes from xwininfo.)
    std::vector<QRect> viewableWindows(qint64 pid)
    {
        // xwininfo's fields of each window, printed as "x y width height" when it is viewable.
        const QString script = QStringLiteral(
            "for w in $(xdotool search --pid %1 2>/dev/null); do xwininfo -id $w 2>/dev/null; done | awk -F': *' "
            "'/Absolute upper-left X:/ {x = $2} /Absolute upper-left Y:/ {y = $2} /Width:/ {w = $2} "
            "/Height:/ {h = $2} /Map State: *IsViewable/ {print x, y, w, h}'")
                                   .arg(pid);
        QProcess query;
        query.start(QStringLiteral("sh"), {QStringLiteral("-c"), script});
        query.waitForFinished(5000);
        std::vector<QRect> out;
        for (const QByteArray &line : query.readAllStandardOutput().split('\n')) {
            if (const auto v = line.split(' '); v.size() == 4)
                out.emplace_back(v[0].toInt(), v[1].toInt(), v[2].toInt(), v[3].toInt());
        }
        return out;
    }

    static bool isMainWindow(const QRect &rect) { return rect.width() >= 100; }

    // The visible main windows of `pid`, the tray icon left out.
    std::vector<QRect> visibleWindows(qint64 pid)
    {
        auto all = viewableWindows(pid);
        std::erase_if(all, [](const QRect &rect) { return !isMainWindow(rect); });
        return all;
    }

    // Whether a resident instance has come to rest with no window: its icon is shown in the tray (the
    // start-up, window decision included, is through), then one more round trip over its socket (all it
    // was sent before is handled), and still no main window. A window shown meanwhile ends the wait.
    bool restsWithoutWindow(qint64 pid)
    {
        std::vector<QRect> seen;
        waitUntil([&] {
            seen = viewableWindows(pid);
            return !seen.empty();
        });
        if (std::ranges::none_of(seen, [](const QRect &rect) { return !isMainWindow(rect); }))
            return false; // no tray icon, or a window came first
        return waitUntilListening() && visibleWindows(pid).empty();
    }

    fs::path runtime;
    QProcessEnvironment environment;
    std::vector<std::unique_ptr<QProcess>> processes;
};

// The configured resident mode; after the instance is killed its socket stays behind and the next
// start takes over anyway. "-m" starts resident too; a plain second launch hands over, exits 0 and
// brings the window at 900 × 600, centred; a URL handed over raises it and makes no second one.
TEST_F(ProcessTest, ResidentStartsStaleSocketAndHandOver)
{
    config.startupWindowMode = StartupWindowMode::minimizeToMenuBar;
    QProcess &first = startApp({});
    ASSERT_TRUE(waitUntilListening());
    EXPECT_TRUE(restsWithoutWindow(first.processId()));
    first.kill();
    ASSERT_TRUE(first.waitForFinished(5000));
    ASSERT_TRUE(fs::exists(socketPath().toStdString()));

    config.startupWindowMode = StartupWindowMode::showWindow;
    QProcess &app = startApp({QStringLiteral("-m")});
    ASSERT_TRUE(waitUntilListening());
    EXPECT_TRUE(restsWithoutWindow(app.processId()));
    EXPECT_EQ(launchOnce({}).code, 0);
    ASSERT_TRUE(waitUntil([&] { return visibleWindows(app.processId()).size() == 1; }));
    EXPECT_EQ(visibleWindows(app.processId()).front(), centredRect());
    EXPECT_EQ(launchOnce({QStringLiteral("velkaro-backup://open")}).code, 0);
    ASSERT_TRUE(waitUntilListening());
    EXPECT_EQ(visibleWindows(app.processId()).size(), 1u);
}

// --help, --version and a mistyped option answer at once, even without a display, and neither start
// nor reach the running instance: its window stays hidden and nothing is written.
TEST_F(ProcessTest, HelpVersionAndUnknownOptionsAnswerWithoutStarting)
{
    const ProcessResult alone = launchOnce({QStringLiteral("--help")}, false);
    EXPECT_EQ(alone.code, 0);
    EXPECT_TRUE(fs::is_empty(runtime)) << "no socket for a help request";
    EXPECT_FALSE(fs::exists(home / ".config/VelkaroAntigraviti_Backup"));

    QProcess &app = startApp({QStringLiteral("-m")});
    ASSERT_TRUE(waitUntilListening());
    const auto configBefore = fs::last_write_time(home / ".config/VelkaroAntigraviti_Backup/config.json");

    const ProcessResult help = launchOnce({QStringLiteral("-m"), QStringLiteral("--help")}, false);
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out, alone.out);
    for (const char *part : {"--minimized", "--background", "-m,", "velkaro-backup://", "--version"})
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    EXPECT_TRUE(help.err.empty()) << help.err;

    const ProcessResult version = launchOnce({QStringLiteral("--version")}, false);
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "velkaro-backup " VELKARO_VERSION "\n");

    const ProcessResult wrong = launchOnce({QStringLiteral("--minimised")}, false);
    EXPECT_EQ(wrong.code, 2);
    EXPECT_TRUE(wrong.out.empty());
    EXPECT_EQ(wrong.err, "知らないオプションだよ: --minimised\n\n" + help.out) << "the usage follows the problem";

    EXPECT_TRUE(restsWithoutWindow(app.processId())) << "nothing was handed over";
    EXPECT_EQ(fs::last_write_time(home / ".config/VelkaroAntigraviti_Backup/config.json"), configBefore);
}

} // namespace
} // namespace velkaro::test
