#pragma once

#include "Models/BackupConfig.h"
#include "Models/BackupSnapshot.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Helpers shared by the command-line tool's commands.
namespace velkaro::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The plain argument of the commands that take a snapshot.
inline constexpr std::string_view kSnapshotId = "スナップショット ID";

// One line on stdout / stderr.
void printLine(std::string_view text);
void printError(std::string_view text);

// A JSON document on stdout, ending with one newline.
void printJson(std::string_view json);

bool isTerminal(std::FILE *stream);

// The saved settings, or the defaults when config.json is missing or unreadable (as the application).
// Settings whose folder paths break the settings page's rules end the command with exit code 1.
BackupConfig loadConfig();

// Ids are made by the program in one spelling (upper-case UUIDs, "yyyy-MM-dd/snapshot_HHmmss"), so a
// spelling in another case names the same item: every command matches ids this way. The exact spelling
// wins; a case-blind match counts only when it is the only one, so an id never picks one of two items.
bool sameIdIgnoringCase(std::string_view a, std::string_view b);

template<class Item> std::optional<Item> findById(const std::vector<Item> &items, std::string_view id)
{
    const Item *blind = nullptr;
    int blindCount = 0;
    for (const auto &item : items) {
        if (item.id == id)
            return item;
        if (sameIdIgnoringCase(item.id, id))
            blind = &item, ++blindCount;
    }
    if (blindCount == 1)
        return *blind;
    return std::nullopt;
}

} // namespace velkaro::cli
