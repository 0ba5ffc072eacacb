// velkaro-backup-cli: the snapshot store from the command line, over the same core as the application.
#include "CliSupport.h"
#include "SnapshotCommands.h"
#include "TemplateCommands.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace velkaro::cli;

int main(int argc, char **argv)
{
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (all.empty())
        return usageError("コマンドを指定してください");
    const std::string &command = all.front();
    const std::vector<std::string> args(all.begin() + 1, all.end());

    if (command == "--help" || command == "-h") {
        printUsage(stdout);
        return kExitSuccess;
    }
    if (command == "--version") {
        std::printf("velkaro-backup-cli %s\n", VELKARO_VERSION);
        return kExitSuccess;
    }
    if (command == "backup")
        return runBackupCommand(args);
    if (command == "list")
        return runListCommand(args);
    if (command == "show")
        return runShowCommand(args);
    if (command == "restore")
        return runRestoreCommand(args);
    if (command == "diff")
        return runDiffCommand(args);
    if (command == "delete")
        return runDeleteCommand(args);
    if (command == "templates")
        return runTemplatesCommand(args);
    return usageError("不明なコマンドです: " + command);
}
