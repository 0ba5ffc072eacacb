#pragma once

#include <string>
#include <vector>

// The snapshot commands of the command-line tool. Each takes the arguments after its own word and
// returns the exit code.
namespace velkaro::cli {

int runBackupCommand(const std::vector<std::string> &args);
int runListCommand(const std::vector<std::string> &args);
int runShowCommand(const std::vector<std::string> &args);
int runRestoreCommand(const std::vector<std::string> &args);
int runDeleteCommand(const std::vector<std::string> &args);
int runDiffCommand(const std::vector<std::string> &args);

} // namespace velkaro::cli
