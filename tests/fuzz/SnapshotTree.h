#pragma once

// What the snapshot reader took, checked against nlohmann's own document tree of the same text. The
// check knows no member by name but the two whose written form may differ from the read one, so that a
// new member needs no edit here.
#include "Models/BackupSnapshot.h"
#include "Platform/Formatters.h"
#include "Platform/JsonCoding.h"
#include "Platform/JsonReader.h"

#include <algorithm>

namespace velkaro::fuzz {

// True when the pull reader and nlohmann's parser agree on whether `text` is one JSON document.
inline bool syntaxAgrees(std::string_view text)
{
    Json::JsonReader reader(text);
    const bool pulled = reader.skipValue() && reader.finish();
    return pulled == Json::parse(text).has_value();
}

// The streamed reader fed at most `chunk` bytes at a time, so that tokens also meet chunk borders.
inline std::optional<std::vector<BackupSnapshot>> chunkedDecode(std::string_view text, std::size_t chunk)
{
    std::size_t at = 0;
    return decodeSnapshotList(
        [&](char *buffer, std::size_t size) -> std::ptrdiff_t {
            const std::size_t n = std::min({size, chunk, text.size() - at});
            std::copy_n(text.data() + at, n, buffer);
            at += n;
            return static_cast<std::ptrdiff_t>(n);
        },
        chunk);
}

// True when every member the writer writes for `snapshot` stands in `tree` (the object it was read
// from) with the same value, and a "note" it dropped was null there.
inline bool agreesWithTree(const BackupSnapshot &snapshot, const Json::Value &tree)
{
    const auto written = Json::parse(snapshot.encode());
    if (!written || !tree.is_object())
        return false;
    for (const auto &[key, value] : written->items()) {
        const auto it = tree.find(key);
        if (it == tree.end())
            return false;
        // Another writer may give the time in another zone or form.
        const bool same = key == "createdAt"
            ? it->is_string() && fromISO8601(it->get<std::string>()) == snapshot.createdAt
            : *it == value;
        if (!same)
            return false;
    }
    const auto note = tree.find("note");
    return snapshot.note || note == tree.end() || note->is_null();
}

// The same for a list read from `tree`.
inline bool agreesWithTree(const std::vector<BackupSnapshot> &list, const Json::Value &tree)
{
    const auto agrees
        = [](const BackupSnapshot &snapshot, const Json::Value &item) { return agreesWithTree(snapshot, item); };
    return tree.is_array() && std::equal(list.begin(), list.end(), tree.begin(), tree.end(), agrees);
}

} // namespace velkaro::fuzz
