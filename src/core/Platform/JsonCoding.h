#pragma once

#include "Platform/Clock.h"

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// JSON writing and reading rules shared by every file the program keeps:
// pretty-printed with two-space indentation, members in field order, "/" written as "\/", UTF-8 text
// unescaped; on reading, every declared member is required and must have the right type.
namespace velkaro::Json {

using Value = nlohmann::ordered_json;

// The document as the program writes it. Never throws: a string that is not valid UTF-8 is written
// with U+FFFD in place of the bad bytes.
std::string encodePretty(const Value &value);

// Appends `text` as a JSON string, quoted and escaped exactly as encodePretty writes it.
void appendString(std::string &out, std::string_view text);

// Receives a streamed document piece by piece.
using Emit = std::function<void(std::string_view)>;

// The parsed document, or nothing when the text is not JSON (invalid UTF-8 included).
std::optional<Value> parse(std::string_view text);

// Typed, strict member reads: nothing when the member is missing or of another JSON type.
std::optional<std::string> getString(const Value &object, std::string_view key);
std::optional<std::int64_t> getInt64(const Value &object, std::string_view key);
std::optional<bool> getBool(const Value &object, std::string_view key);
std::optional<std::vector<std::string>> getStringArray(const Value &object, std::string_view key);
// An ISO 8601 date-time string in the written form (see Formatters).
std::optional<TimePoint> getDate(const Value &object, std::string_view key);

// A labelled enumeration member: the string must equal one label exactly.
template<class E> std::optional<E> getEnum(const Value &object, std::string_view key)
{
    if (auto text = getString(object, key))
        return fromRawValue<E>(*text);
    return std::nullopt;
}

// Records with `Json::Value toJson() const` and `static std::optional<T> fromJson(const Json::Value &)`.
template<class T> std::optional<T> decodeObject(std::string_view text)
{
    if (auto json = parse(text))
        return T::fromJson(*json);
    return std::nullopt;
}

template<class T> std::string encodeArray(const std::vector<T> &records)
{
    Value array = Value::array();
    for (const auto &record : records)
        array.push_back(record.toJson());
    return encodePretty(array);
}

// The whole array, or nothing when any element fails to read.
template<class T> std::optional<std::vector<T>> decodeArray(std::string_view text)
{
    auto json = parse(text);
    if (!json || !json->is_array())
        return std::nullopt;
    std::vector<T> out;
    out.reserve(json->size());
    for (const auto &element : *json) {
        auto record = T::fromJson(element);
        if (!record)
            return std::nullopt;
        out.push_back(std::move(*record));
    }
    return out;
}

} // namespace velkaro::Json
