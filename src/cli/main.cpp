// velkaro-backup-cli: the snapshot store from the command line, over the same core as the application.
#include "CliSupport.h"
#include "CommandLine.h"
#include "SnapshotCommands.h"
#include "TemplateCommands.h"

#include <exception>
#include <new>
#include <string>
#include <vector>

using namespace velkaro::cli;

int main(int argc, char **argv)
{
    // In the order the help lists them.
    const std::vector<Command> commands
        = {backupCommand(), listCommand(), showCommand(), restoreCommand(), diffCommand(), logCommand(),
            deleteCommand(), templatesListCommand(), templatesApplyCommand(), templatesImportCommand()};
    guardStandardStreams();
    // Nothing the tool does may end in an English abort: out of memory, or anything thrown, is said in
    // Japanese and is trouble (2).
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        return runCommandLine(commands, args);
    } catch (const std::bad_alloc &) {
        printError("メモリが足りないため中止しました");
    } catch (const std::exception &e) {
        printError(std::string("予期しないエラーのため中止しました: ") + e.what());
    }
    return kExitUsage;
}
