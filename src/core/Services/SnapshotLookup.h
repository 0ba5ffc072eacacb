#pragma once

#include "Models/BackupSnapshot.h"

#include <filesystem>
#include <optional>
#include <string_view>

namespace velkaro {

// The listed snapshot that `id` names in the store below `destination`, found without building the
// whole history: a command about one snapshot costs the same with one snapshot or a thousand.
//
// The same answer as looking `id` up in the whole history: the exact spelling first, else the one entry
// whose id matches without regard to case (none when two do). A snapshot folder whose snapshot.json
// records this very id is listed (the history lists every whole snapshot folder), so it is read alone;
// otherwise history.json is streamed, keeping the match only.
std::optional<BackupSnapshot> findListedSnapshot(const std::filesystem::path &destination, std::string_view id);

} // namespace velkaro
