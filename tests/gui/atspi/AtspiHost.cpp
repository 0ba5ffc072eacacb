// Not a test by itself: the window that tests/gui/atspi/walk.py reads through the accessibility bus.
// It shows the real window frame over a temporary home (two source folders, two snapshots, the
// preset templates) and follows commands on its standard input, one a line:
//   page N     shows the page of tab N, then prints "shown N"
//   versions   shows GEMINI.md's versions on the history page, then prints "shown versions"
//   quit       ends
#include "AppStateFixture.h"
#include "Shell/MainWindow.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Backups/FileVersionsPane.h"

#include <QListWidget>

#include <QSocketNotifier>
#include <QTest>

#include <iostream>
#include <string>

namespace velkaro::test {
namespace {

using AtspiHost = AppStateFixture;

TEST_F(AtspiHost, Serve)
{
    fs::create_directories(home / "second");
    config.sourceDirectories.push_back((home / "second").string());
    AppState &app = start();
    manualBackups(1);
    writeText(src / "GEMINI.md", "# rules, edited");
    manualBackups(1);
    MainWindow window(app);
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.resize(900, 600);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    QEventLoop loop;
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &loop, [&] {
        std::string line;
        if (!std::getline(std::cin, line) || line == "quit") {
            loop.quit();
            return;
        }
        if (line.starts_with("page ")) {
            const int tab = std::stoi(line.substr(5));
            app.setSelectedTab(NavigationTab(tab));
            QTest::qWait(200); // rows made on showing appear on a later turn of the loop
            std::cout << "shown " << tab << std::endl;
        } else if (line == "versions") {
            app.setSelectedTab(NavigationTab::history);
            auto *page = window.findChild<BackupHistoryView *>();
            page->showFileVersions("GEMINI.md");
            (void)QTest::qWaitFor([&] { return page->versionsPane()->versionList()->count() > 0; }, 5000);
            QTest::qWait(200);
            std::cout << "shown versions" << std::endl;
        }
    });
    std::cout << "ready" << std::endl;
    loop.exec();
}

} // namespace
} // namespace velkaro::test
