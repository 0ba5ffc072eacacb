// velkaro-backup-cli: the snapshot store from the command line, over the same core as the application.
#include "CommandLine.h"
#include "SnapshotCommands.h"
#include "TemplateCommands.h"

#include <string>
#include <vector>

using namespace velkaro::cli;

int main(int argc, char **argv)
{
    // In the order the help lists them.
    const std::vector<Command> commands
        = {backupCommand(), listCommand(), showCommand(), restoreCommand(), diffCommand(), logCommand(),
            deleteCommand(), templatesListCommand(), templatesApplyCommand(), templatesImportCommand()};
    const std::vector<std::string> args(argv + 1, argv + argc);
    return runCommandLine(commands, args);
}
