#include "Platform/QuotedName.h"

#include "Platform/Utf8.h"

namespace velkaro {

namespace {

// The length of the well-formed UTF-8 character at the start of `text`, or 0 when it is not one.
std::size_t characterLength(std::string_view text)
{
    const auto lead = static_cast<unsigned char>(text.front());
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length > text.size() || !Utf8::isValid(text.substr(0, length)))
        return 0;
    return length;
}

// C0 controls, DEL and the C1 controls (U+0080 to U+009F, which some terminals obey as well).
bool isControl(std::string_view character)
{
    const auto lead = static_cast<unsigned char>(character.front());
    if (character.size() == 1)
        return lead < 0x20 || lead == 0x7F;
    return character.size() == 2 && lead == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0;
}

void appendOctal(std::string &out, unsigned char byte)
{
    out += '\\';
    out += static_cast<char>('0' + (byte >> 6));
    out += static_cast<char>('0' + ((byte >> 3) & 7));
    out += static_cast<char>('0' + (byte & 7));
}

void appendEscaped(std::string &out, std::string_view character)
{
    static constexpr std::string_view kNamed = "\a\b\t\n\v\f\r";
    static constexpr std::string_view kLetters = "abtnvfr";
    const char c = character.front();
    if (character.size() == 1 && (c == '"' || c == '\\')) {
        out += '\\';
        out += c;
    } else if (const auto named = kNamed.find(c); character.size() == 1 && named != std::string_view::npos) {
        out += '\\';
        out += kLetters[named];
    } else {
        for (const char byte : character)
            appendOctal(out, static_cast<unsigned char>(byte));
    }
}

// Calls visit(character, unsafe) for each character of `name`; a byte that starts no well-formed
// character counts as one unsafe character.
template<class Visit> void forEachCharacter(std::string_view name, const Visit &visit)
{
    while (!name.empty()) {
        const std::size_t length = characterLength(name);
        const std::string_view character = name.substr(0, length == 0 ? 1 : length);
        const bool unsafe = length == 0 || isControl(character) || character == "\"" || character == "\\";
        if (!visit(character, unsafe))
            return;
        name.remove_prefix(character.size());
    }
}

} // namespace

bool needsQuoting(std::string_view name)
{
    bool unsafe = false;
    forEachCharacter(name, [&](std::string_view, bool bad) {
        unsafe = bad;
        return !bad;
    });
    return unsafe;
}

std::string quotedName(std::string_view name)
{
    if (!needsQuoting(name))
        return std::string(name);
    std::string out = "\"";
    forEachCharacter(name, [&](std::string_view character, bool unsafe) {
        if (unsafe)
            appendEscaped(out, character);
        else
            out += character;
        return true;
    });
    return out + "\"";
}

} // namespace velkaro
