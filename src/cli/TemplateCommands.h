#pragma once

#include "CommandLine.h"

// `velkaro-backup-cli templates ...`: the prompt template library from the command line.
namespace velkaro::cli {

Command templatesListCommand();
Command templatesApplyCommand();
Command templatesImportCommand();

} // namespace velkaro::cli
