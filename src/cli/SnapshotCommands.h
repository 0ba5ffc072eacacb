#pragma once

#include "CommandLine.h"

// The snapshot commands of the command-line tool, each with its help and options.
namespace velkaro::cli {

Command backupCommand();
Command listCommand();
Command showCommand();
Command restoreCommand();
Command diffCommand();
Command deleteCommand();
Command logCommand();

} // namespace velkaro::cli
