#include "Shell/SingleInstance.h"
#include "ShellTestSupport.h"
#include "version.h"

#include <QElapsedTimer>
#include <QProcess>

#include <sys/stat.h>
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

    // `fileLimit`, when given, bounds the descriptors the program may hold, as a desktop session does.
    QProcess &startApp(const QStringList &args, int fileLimit = 0)
    {
        EXPECT_TRUE(config.writeFile(home / ".config/VelkaroAntigraviti_Backup/config.json"));
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (fileLimit > 0) {
            process->start(QStringLiteral("sh"),
                QStringList {QStringLiteral("-c"), QStringLiteral("ulimit -n %1 && exec \"$0\" \"$@\"").arg(fileLimit),
                    QStringLiteral(VELKARO_APP)}
                    + args);
        } else {
            process->start(QStringLiteral(VELKARO_APP), args);
        }
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

// Without a runtime folder the socket goes into a folder of this user's alone, made 0700 when missing
// and narrowed when it is ours but open. One that belongs to someone else is never used.
TEST_F(ProcessTest, WithoutRuntimeFolderTheSocketIsInAPrivateFolder)
{
    const fs::path tmp = root / "tmp";
    fs::create_directories(tmp);
    qputenv("TMPDIR", QByteArray::fromStdString(tmp.string()));
    qunsetenv("XDG_RUNTIME_DIR");
    const fs::path folder = tmp / ("velkaro-backup-" + std::to_string(::getuid()));
    auto modeOf = [](const fs::path &path) {
        struct stat st = {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0);
        return st.st_mode & 07777;
    };

    EXPECT_EQ(SingleInstance::defaultServerName().toStdString(), (folder / "socket").string());
    EXPECT_EQ(modeOf(folder), 0700u);
    fs::permissions(folder, fs::perms::all);
    EXPECT_EQ(SingleInstance::defaultServerName().toStdString(), (folder / "socket").string());
    EXPECT_EQ(modeOf(folder), 0700u);

    // A name taken first by a link or by another user: the cache folder instead.
    fs::remove(folder);
    fs::create_directory_symlink(root, folder);
    const fs::path cache = home / ".cache/velkaro-backup";
    EXPECT_EQ(SingleInstance::defaultServerName().toStdString(), (cache / "socket").string());
    EXPECT_EQ(modeOf(cache), 0700u);
    if (::getuid() == 0) {
        fs::remove(folder);
        fs::create_directory(folder);
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        EXPECT_EQ(SingleInstance::defaultServerName().toStdString(), (cache / "socket").string());
        EXPECT_FALSE(SingleInstance::privateFolder(QString::fromStdString(folder.string())));
    }
    qunsetenv("TMPDIR");
}

// Nothing is handed to a socket that belongs to another user: the start runs on its own, on the same name.
TEST_F(ProcessTest, ArgumentsGoOnlyToThisUsersSocket)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs to give the socket to another user";
    const QString name = socketPath();
    QProcess foreign;
    foreign.start(QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
            QStringLiteral("import os,socket,sys\ns=socket.socket(socket.AF_UNIX)\ns.bind(sys.argv[1])\n"
                           "os.chown(sys.argv[1],65534,65534)\ns.listen(8)\nprint('up',flush=True)\n"
                           "c,_=s.accept()\nprint('got',c.recv(100),flush=True)"),
            name});
    ASSERT_TRUE(foreign.waitForReadyRead(5000)) << foreign.readAllStandardError().toStdString();
    foreign.readAllStandardOutput();
    SingleInstance instance(name);
    EXPECT_EQ(instance.start({QStringLiteral("secret")}), SingleInstance::Role::primary);
    foreign.waitForReadyRead(300);
    EXPECT_FALSE(foreign.readAllStandardOutput().contains("got"));
    foreign.kill();
    foreign.waitForFinished(3000);
}

// A flood of idle connections neither stops the instance listening nor lets a second one run: a later
// start still hands over, at once. A socket removed while it runs comes back.
TEST_F(ProcessTest, HandsOverAfterAFloodOfConnectionsAndARemovedSocket)
{
    QProcess &app = startApp({QStringLiteral("-m")}, 1024);
    ASSERT_TRUE(waitUntilListening());
    QProcess flood;
    flood.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    flood.start(QStringLiteral("python3"),
        {QStringLiteral("-c"),
            QStringLiteral("import resource,socket,sys\nresource.setrlimit(resource.RLIMIT_NOFILE,(4096,4096))\n"
                           "held=[]\nfor i in range(1500):\n  s=socket.socket(socket.AF_UNIX)\n  s.settimeout(2)\n"
                           "  try: s.connect(sys.argv[1])\n  except OSError: pass\n  held.append(s)\n"
                           "print(len(held),flush=True)\nsys.stdin.read()"),
            socketPath()});
    ASSERT_TRUE(flood.waitForReadyRead(10000));
    EXPECT_EQ(launchOnce({QStringLiteral("--background")}).code, 0);
    EXPECT_TRUE(waitUntilListening());
    flood.closeWriteChannel();
    flood.waitForFinished(3000);

    fs::remove(socketPath().toStdString());
    EXPECT_TRUE(waitUntilListening()) << "the socket was not made again";
    EXPECT_EQ(launchOnce({QStringLiteral("--background")}).code, 0);
    EXPECT_EQ(app.state(), QProcess::Running);
}

} // namespace
} // namespace velkaro::test
