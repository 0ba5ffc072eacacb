#include "App/LaunchAtLoginManager.h"
#include "AppTestSupport.h"

#include <QProcess>

using namespace velkaro;
using namespace velkaro::test;

namespace {

class LaunchAtLoginManagerTest : public TempDirTest
{
protected:
    fs::path entryPath() const { return home / ".config/autostart/velkaro-backup.desktop"; }

    // desktop-file-validate's verdict: empty when the file is valid, else its complaints.
    static std::string validate(const fs::path &file)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("desktop-file-validate"), {QString::fromStdString(file.string())});
        const bool finished = process.waitForFinished(30000);
        const std::string out = process.readAll().toStdString();
        const bool valid = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        return valid ? out : "desktop-file-validate failed: " + out;
    }
};

} // namespace

TEST_F(LaunchAtLoginManagerTest, EnableWritesAValidEntryStartingTheProgramInTheBackground)
{
    EXPECT_EQ(LaunchAtLoginManager::defaultAutostartFilePath(), entryPath()); // follows XDG_CONFIG_HOME
    // An awkward program path is quoted and escaped so that the entry stays valid.
    const std::pair<fs::path, std::string> cases[] = {
        {"/opt/velkaro/bin/velkaro-backup", "/opt/velkaro/bin/velkaro-backup"},
        {home / "My Apps/velkaro \"beta\" $1 100%/velkaro-backup",
            "\"" + home.string() + "/My Apps/velkaro \\\\\"beta\\\\\" \\\\$1 100%%/velkaro-backup\""},
    };
    for (const auto &[program, exec] : cases) {
        SCOPED_TRACE(program);
        const LaunchAtLoginManager manager(entryPath(), program);
        EXPECT_FALSE(manager.isEnabled());
        ASSERT_TRUE(manager.setAutoLaunch(AutoLaunchState::enabled));
        EXPECT_TRUE(manager.isEnabled());
        const std::string entry = readText(entryPath());
        EXPECT_NE(entry.find("\nExec=" + exec + " --background\n"), std::string::npos) << entry;
        EXPECT_EQ(validate(entryPath()), "");
        // Written through a temporary file that was renamed: nothing else is left in the folder.
        EXPECT_EQ(std::distance(fs::directory_iterator(entryPath().parent_path()), fs::directory_iterator()), 1);

        ASSERT_TRUE(manager.setAutoLaunch(AutoLaunchState::disabled));
        EXPECT_FALSE(manager.isEnabled());
        EXPECT_FALSE(fs::exists(entryPath()));
    }
}

TEST_F(LaunchAtLoginManagerTest, NothingIsDoneWhenAlreadyInTheRequestedState)
{
    const LaunchAtLoginManager manager(entryPath(), "/usr/bin/velkaro-backup");
    // Registered by hand (or by an older version): enabling again leaves it as it is.
    const std::string own = "[Desktop Entry]\nType=Application\nName=Mine\nExec=/usr/bin/velkaro-backup -m\n";
    writeText(entryPath(), own);
    ASSERT_TRUE(manager.setAutoLaunch(AutoLaunchState::enabled));
    EXPECT_EQ(readText(entryPath()), own);

    // Switched off by the desktop (Hidden=true): not registered, and disabling leaves the file alone.
    const std::string hidden = own + "Hidden = true\n";
    writeText(entryPath(), hidden);
    EXPECT_FALSE(manager.isEnabled());
    ASSERT_TRUE(manager.setAutoLaunch(AutoLaunchState::disabled));
    EXPECT_EQ(readText(entryPath()), hidden);
    // Enabling replaces it with a visible entry.
    ASSERT_TRUE(manager.setAutoLaunch(AutoLaunchState::enabled));
    EXPECT_TRUE(manager.isEnabled());

    // A Hidden key in another group is not the entry's.
    writeText(entryPath(), own + "[Desktop Action x]\nName=x\nExec=x\nHidden=true\n");
    EXPECT_TRUE(manager.isEnabled());
}

TEST_F(LaunchAtLoginManagerTest, FailureIsReturnedNamingThePath)
{
    writeText(home / ".config/autostart", "a file where the folder should be");
    const LaunchAtLoginManager manager(entryPath(), "/usr/bin/velkaro-backup");
    const auto result = manager.setAutoLaunch(AutoLaunchState::enabled);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().description.find(".config/autostart"), std::string::npos) << result.error().description;
    EXPECT_FALSE(manager.isEnabled());
    EXPECT_TRUE(manager.setAutoLaunch(AutoLaunchState::disabled)); // not registered: nothing to do
}
