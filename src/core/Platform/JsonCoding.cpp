#include "Platform/JsonCoding.h"

#include "Platform/Formatters.h"
#include "Platform/Utf8.h"

namespace velkaro::Json {

std::string encodePretty(const Value &value)
{
    const std::string plain = value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    // Outside strings JSON has no "/" at all, so escaping every slash only touches string content.
    std::string out;
    out.reserve(plain.size() + plain.size() / 16);
    for (const char c : plain) {
        if (c == '/')
            out += '\\';
        out += c;
    }
    return out;
}

void appendString(std::string &out, std::string_view text)
{
    if (!Utf8::isValid(text)) {
        // Rare: let the tree writer put U+FFFD where it does.
        out += encodePretty(Value(std::string(text)));
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c != '/')
            continue;
        out.append(text.data() + start, i - start);
        start = i + 1;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    out.append(text.data() + start, text.size() - start);
    out += '"';
}

std::optional<Value> parse(std::string_view text)
{
    Value value = Value::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

namespace {

const Value *member(const Value &object, std::string_view key)
{
    if (!object.is_object())
        return nullptr;
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

} // namespace

std::optional<std::string> getString(const Value &object, std::string_view key)
{
    const Value *v = member(object, key);
    if (!v || !v->is_string())
        return std::nullopt;
    return v->get<std::string>();
}

std::optional<std::int64_t> getInt64(const Value &object, std::string_view key)
{
    const Value *v = member(object, key);
    if (!v)
        return std::nullopt;
    if (v->is_number_integer() && !v->is_number_unsigned())
        return v->get<std::int64_t>();
    if (v->is_number_unsigned()) {
        const auto u = v->get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(INT64_MAX))
            return static_cast<std::int64_t>(u);
    }
    return std::nullopt;
}

std::optional<bool> getBool(const Value &object, std::string_view key)
{
    const Value *v = member(object, key);
    if (!v || !v->is_boolean())
        return std::nullopt;
    return v->get<bool>();
}

std::optional<std::vector<std::string>> getStringArray(const Value &object, std::string_view key)
{
    const Value *v = member(object, key);
    if (!v || !v->is_array())
        return std::nullopt;
    std::vector<std::string> out;
    out.reserve(v->size());
    for (const auto &element : *v) {
        if (!element.is_string())
            return std::nullopt;
        out.push_back(element.get<std::string>());
    }
    return out;
}

std::optional<TimePoint> getDate(const Value &object, std::string_view key)
{
    if (auto text = getString(object, key))
        return fromISO8601(*text);
    return std::nullopt;
}

} // namespace velkaro::Json
