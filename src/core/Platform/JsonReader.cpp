#include "Platform/JsonReader.h"

#include "Platform/Utf8.h"

#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace velkaro::Json {

namespace {

// Bytes a string may hold as they are, needing no further look: printable ASCII but the quote and
// the backslash.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> table {};
    for (int c = 0x20; c < 0x80; ++c)
        table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return table;
}();

// Where the run of plain bytes that starts at `p` ends: eight bytes at a time while none of them is
// a control character, a quote, a backslash or a byte of 0x80 and above.
const char *endOfPlain(const char *p, const char *end)
{
    constexpr std::uint64_t ones = 0x0101010101010101U;
    constexpr std::uint64_t highs = 0x8080808080808080U;
    const auto hasZero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    while (end - p >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, 8);
        const std::uint64_t below = (word - ones * 0x20) & ~word & highs; // some byte < 0x20 (exact for "any")
        if ((below | (word & highs) | hasZero(word ^ (ones * '"')) | hasZero(word ^ (ones * '\\'))) != 0)
            break;
        p += 8;
    }
    while (p != end && kPlain[static_cast<unsigned char>(*p)])
        ++p;
    return p;
}

// The escapes that stand for one character and are two bytes long.
bool isShortEscape(char c)
{
    return c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't';
}

bool isWhitespace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void appendUtf8(std::string &out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A double in the C locale's notation, whatever the process locale is.
double parseDouble(const std::string &text)
{
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    return ::strtod_l(text.c_str(), nullptr, cLocale);
}

} // namespace

JsonReader::JsonReader(std::string_view text)
    : m_chunk(text.data())
    , m_p(text.data())
    , m_end(text.data() + text.size())
{ }

JsonReader::JsonReader(Source source, std::size_t chunkSize)
    : m_source(std::move(source))
    , m_buffer(chunkSize > 0 ? chunkSize : 1)
{ }

bool JsonReader::fail()
{
    m_failed = true;
    return false;
}

bool JsonReader::refill()
{
    if (!m_source || m_sourceDone)
        return false;
    const std::ptrdiff_t n = m_source(m_buffer.data(), m_buffer.size());
    if (n <= 0) {
        m_sourceDone = true;
        if (n < 0)
            m_failed = true;
        return false;
    }
    m_chunkOffset += static_cast<std::uint64_t>(m_end - m_chunk);
    m_chunk = m_buffer.data();
    m_p = m_chunk;
    m_end = m_p + n;
    return true;
}

int JsonReader::peekByte()
{
    if (m_p == m_end && !refill())
        return -1;
    return static_cast<unsigned char>(*m_p);
}

int JsonReader::getByte()
{
    if (m_p == m_end && !refill())
        return -1;
    return static_cast<unsigned char>(*m_p++);
}

bool JsonReader::skipWhitespace()
{
    if (m_atStart) {
        m_atStart = false;
        // A byte order mark may open the text, and only in full.
        if (peekByte() == 0xEF) {
            getByte();
            if (getByte() != 0xBB || getByte() != 0xBF)
                return fail();
        }
    }
    for (;;) {
        while (m_p != m_end && isWhitespace(static_cast<unsigned char>(*m_p)))
            ++m_p;
        if (m_p != m_end)
            return !m_failed;
        if (!refill())
            return !m_failed;
    }
}

bool JsonReader::expect(char c)
{
    if (!skipWhitespace() || getByte() != static_cast<unsigned char>(c))
        return fail();
    return true;
}

JsonReader::Kind JsonReader::peek()
{
    if (m_failed || !skipWhitespace())
        return Kind::invalid;
    switch (peekByte()) {
    case '"':
        return Kind::string;
    case '[':
        return Kind::array;
    case '{':
        return Kind::object;
    case 't':
    case 'f':
        return Kind::boolean;
    case 'n':
        return Kind::null;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        return Kind::number;
    default:
        return Kind::invalid;
    }
}

bool JsonReader::beginArray()
{
    if (peek() != Kind::array)
        return fail();
    getByte();
    m_first.push_back(true);
    return true;
}

bool JsonReader::beginObject()
{
    if (peek() != Kind::object)
        return fail();
    getByte();
    m_first.push_back(true);
    return true;
}

bool JsonReader::nextElement()
{
    if (m_failed || m_first.empty() || !skipWhitespace())
        return fail();
    const int c = peekByte();
    const bool first = m_first.back();
    m_first.back() = false;
    if (c == ']') {
        getByte();
        m_first.pop_back();
        return false;
    }
    if (first)
        return true;
    if (c != ',')
        return fail();
    getByte();
    return true;
}

bool JsonReader::nextMember(std::string &key)
{
    if (m_failed || m_first.empty() || !skipWhitespace())
        return fail();
    const bool first = m_first.back();
    m_first.back() = false;
    if (peekByte() == '}') {
        getByte();
        m_first.pop_back();
        return false;
    }
    if (!first && !expect(','))
        return false;
    if (!expect('"') || !readStringBody(key))
        return false;
    return expect(':');
}

bool JsonReader::readString(std::string &out)
{
    if (peek() != Kind::string)
        return fail();
    getByte();
    return readStringBody(out);
}

bool JsonReader::readStringBody(std::string &out)
{
    out.clear();
    bool multiByte = false; // raw bytes of 0x80 and above were taken, to be checked as UTF-8 at the end
    for (;;) {
        const char *start = m_p;
        m_p = endOfPlain(m_p, m_end);
        out.append(start, m_p);
        const int c = getByte();
        if (c == '"')
            return !multiByte || Utf8::isValid(out) || fail(); // escapes only ever add well-formed text
        if (c == -1)
            return fail();
        if (c == '\\') {
            if (!readEscape(out))
                return false;
            continue;
        }
        if (c < 0x20)
            return fail(); // control characters must be escaped
        // Printable ASCII only reaches here when the fast scan stopped at the end of a chunk.
        multiByte = multiByte || c >= 0x80;
        out += static_cast<char>(c);
    }
}

bool JsonReader::skipStringBody()
{
    for (;;) {
        // Plain bytes, and the two-byte escapes that stand in every path ("\/"), need no further look.
        const char *p = endOfPlain(m_p, m_end);
        while (p != m_end) {
            if (kPlain[static_cast<unsigned char>(*p)])
                ++p;
            else if (*p == '\\' && m_end - p >= 2 && isShortEscape(p[1]))
                p += 2;
            else
                break;
        }
        m_p = p;
        const int c = getByte();
        if (c == '"')
            return true;
        if (c < 0x20) // the end of the text, or a control character that should have been escaped
            return fail();
        if (c == '\\') {
            m_scratch.clear();
            if (!readEscape(m_scratch))
                return false;
        } else if (c >= 0x80 && !skipUtf8Continuations(static_cast<unsigned>(c))) {
            return fail();
        }
    }
}

bool JsonReader::skipUtf8Continuations(unsigned lead)
{
    const Utf8::Lead expected = Utf8::leadOf(lead);
    if (expected.continuations == 0)
        return false;
    for (int i = 0; i < expected.continuations; ++i) {
        const int c = getByte();
        if (c < static_cast<int>(i == 0 ? expected.low : 0x80) || c > static_cast<int>(i == 0 ? expected.high : 0xBF))
            return false;
    }
    return true;
}

bool JsonReader::readHex4(std::uint32_t &value)
{
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const int c = getByte();
        int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return fail();
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
}

bool JsonReader::readEscape(std::string &out)
{
    switch (getByte()) {
    case '"':
        out += '"';
        return true;
    case '\\':
        out += '\\';
        return true;
    case '/':
        out += '/';
        return true;
    case 'b':
        out += '\b';
        return true;
    case 'f':
        out += '\f';
        return true;
    case 'n':
        out += '\n';
        return true;
    case 'r':
        out += '\r';
        return true;
    case 't':
        out += '\t';
        return true;
    case 'u': {
        std::uint32_t cp = 0;
        if (!readHex4(cp))
            return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            // A high surrogate stands only with its low one.
            std::uint32_t low = 0;
            if (getByte() != '\\' || getByte() != 'u' || !readHex4(low) || low < 0xDC00 || low > 0xDFFF)
                return fail();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return fail();
        }
        appendUtf8(out, cp);
        return true;
    }
    default:
        return fail();
    }
}

bool JsonReader::readNumber(std::optional<std::int64_t> &integer)
{
    if (peek() != Kind::number)
        return fail();
    return readNumberToken(integer);
}

bool JsonReader::readNumberToken(std::optional<std::int64_t> &integer)
{
    integer.reset();
    std::string &token = m_scratch;
    token.clear();
    const auto digits = [&] {
        std::size_t count = 0;
        for (int c = peekByte(); c >= '0' && c <= '9'; c = peekByte()) {
            token += static_cast<char>(getByte());
            ++count;
        }
        return count;
    };
    if (peekByte() == '-')
        token += static_cast<char>(getByte());
    if (peekByte() == '0') {
        token += static_cast<char>(getByte());
    } else if (digits() == 0) {
        return fail();
    }
    bool isInteger = true;
    if (peekByte() == '.') {
        token += static_cast<char>(getByte());
        if (digits() == 0)
            return fail();
        isInteger = false;
    }
    if (const int c = peekByte(); c == 'e' || c == 'E') {
        token += static_cast<char>(getByte());
        if (const int sign = peekByte(); sign == '+' || sign == '-')
            token += static_cast<char>(getByte());
        if (digits() == 0)
            return fail();
        isInteger = false;
    }
    if (m_failed)
        return false;
    const char *first = token.data();
    const char *last = token.data() + token.size();
    if (isInteger) {
        if (token.front() == '-') {
            std::int64_t value = 0;
            if (const auto [end, ec] = std::from_chars(first, last, value); ec == std::errc() && end == last) {
                integer = value;
                return true;
            }
        } else {
            std::uint64_t value = 0;
            if (const auto [end, ec] = std::from_chars(first, last, value); ec == std::errc() && end == last) {
                if (value <= static_cast<std::uint64_t>(INT64_MAX))
                    integer = static_cast<std::int64_t>(value);
                return true;
            }
        }
    }
    // Beyond 64 bits, or written with a fraction or an exponent: a double, which must be finite.
    if (!std::isfinite(parseDouble(token)))
        return fail();
    return true;
}

bool JsonReader::readLiteral(std::string_view word)
{
    if (!skipWhitespace())
        return false;
    for (const char c : word) {
        if (getByte() != static_cast<unsigned char>(c))
            return fail();
    }
    return true;
}

bool JsonReader::readBoolean(bool &value)
{
    if (peek() != Kind::boolean)
        return fail();
    value = peekByte() == 't';
    return readLiteral(value ? "true" : "false");
}

bool JsonReader::readNull()
{
    if (peek() != Kind::null)
        return fail();
    return readLiteral("null");
}

bool JsonReader::skipValue()
{
    return !m_failed && readValue();
}

bool JsonReader::startValue(std::vector<char> &open, bool &entered)
{
    entered = false;
    std::optional<std::int64_t> ignored;
    switch (peek()) {
    case Kind::string:
        getByte();
        return skipStringBody();
    case Kind::number:
        return readNumberToken(ignored);
    case Kind::boolean: {
        bool value = false;
        return readBoolean(value);
    }
    case Kind::null:
        return readNull();
    case Kind::array:
    case Kind::object: {
        const char close = getByte() == '[' ? ']' : '}';
        if (!skipWhitespace())
            return false;
        if (peekByte() == close) {
            getByte();
            return true;
        }
        open.push_back(close);
        entered = true;
        return close == ']' || (expect('"') && readStringBody(m_scratch) && expect(':'));
    }
    case Kind::invalid:
        break;
    }
    return fail();
}

bool JsonReader::readValue()
{
    std::vector<char> open; // the closing bracket of every container entered
    bool wantValue = true;
    for (;;) {
        if (wantValue) {
            bool entered = false;
            if (!startValue(open, entered))
                return false;
            if (entered)
                continue;
        }
        // One value is complete: what follows it depends on the container it stands in.
        wantValue = false;
        if (open.empty())
            return true;
        if (!skipWhitespace())
            return false;
        const int c = getByte();
        if (c == open.back()) {
            open.pop_back();
            continue;
        }
        if (c != ',')
            return fail();
        if (open.back() == '}' && (!expect('"') || !readStringBody(m_scratch) || !expect(':')))
            return false;
        wantValue = true;
    }
}

bool JsonReader::finish()
{
    if (m_failed || !m_first.empty() || !skipWhitespace())
        return false;
    // A NUL byte where the next token would start counts as the end of the text (so trailing NULs, as
    // a file system may leave after a crash, are taken the way the tree reader takes them).
    const int c = peekByte();
    return (c == -1 || c == 0) && !m_failed;
}

} // namespace velkaro::Json
