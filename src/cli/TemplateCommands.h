#pragma once

#include <string>
#include <vector>

// `velkaro-backup-cli templates ...`: `args` are the words after "templates". Returns the exit code:
// 0 success, 1 failure, 2 usage error.
int runTemplatesCommand(const std::vector<std::string> &args);
