#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro::Json {

// A strict pull reader of JSON text, for documents too large to hold as a tree (history.json grows
// with every snapshot). It accepts exactly what Json::parse accepts: a leading UTF-8 byte order mark,
// a NUL byte after the value ending the text, no comments, valid UTF-8 only, no number beyond the
// range of a double. It reads from memory or in chunks from a source, so that reading a file never
// holds more than one chunk of it.
//
// The caller walks the document: beginArray/nextElement, beginObject/nextMember, the value reads, and
// skipValue for what it has no use for. A syntax error, a read error or a value of the wrong kind
// makes that call and every later one fail; finish() checks that nothing but white space follows.
class JsonReader
{
public:
    // Fills `buffer` with at most `size` bytes; returns how many, 0 at the end, or a negative number
    // on a read error.
    using Source = std::function<std::ptrdiff_t(char *buffer, std::size_t size)>;

    explicit JsonReader(std::string_view text);
    explicit JsonReader(Source source, std::size_t chunkSize = 1 << 16);

    enum class Kind { string, number, boolean, null, array, object, invalid };
    // The kind of the next value, judged by its first character (white space skipped).
    Kind peek();

    bool beginArray();
    // True when another element follows: the caller then reads or skips exactly one value. False at
    // the closing bracket (and on an error).
    bool nextElement();

    bool beginObject();
    // True when another member follows, with its name in `key`; the caller then reads or skips its value.
    bool nextMember(std::string &key);

    bool readString(std::string &out);
    // A number of any form. `integer` receives its value when it is written as an integer that fits
    // 64 signed bits, and nothing otherwise.
    bool readNumber(std::optional<std::int64_t> &integer);
    bool readBoolean(bool &value);
    bool readNull();
    // Reads past one value of any kind, checking it as strictly as the rest.
    bool skipValue();

    // True when the whole text was one value followed by white space only, and nothing failed.
    bool finish();

    bool failed() const { return m_failed; }

    // How many bytes of the text lie behind the reader: after peek(), where the next value starts;
    // after a value, where it ends.
    std::uint64_t offset() const { return m_chunkOffset + static_cast<std::uint64_t>(m_p - m_chunk); }

private:
    int peekByte(); // -1 at the end
    int getByte();
    bool skipWhitespace(); // false only on a read error
    bool expect(char c);
    bool fail();
    bool refill();
    bool readLiteral(std::string_view word);
    bool readStringBody(std::string &out); // after the opening quote
    bool readEscape(std::string &out);
    // Reads past a string's body as strictly as readStringBody, keeping nothing.
    bool skipStringBody();
    bool skipUtf8Continuations(unsigned lead); // after a lead byte of 0x80 and above
    bool readHex4(std::uint32_t &value);
    bool readNumberToken(std::optional<std::int64_t> &integer);
    bool readValue(); // skips one scalar or container, iteratively
    // Reads a scalar, or enters a container: its closing bracket goes on `open` (an object's first key
    // read) and `entered` is set. An empty container is read whole.
    bool startValue(std::vector<char> &open, bool &entered);

    Source m_source;
    std::vector<char> m_buffer;
    const char *m_chunk = nullptr; // the start of the text in memory, or of the chunk read last
    std::uint64_t m_chunkOffset = 0; // where m_chunk stands in the text
    const char *m_p = nullptr;
    const char *m_end = nullptr;
    bool m_atStart = true;
    bool m_sourceDone = false;
    bool m_failed = false;
    std::vector<bool> m_first; // per open array or object: no element read yet
    std::string m_scratch;
};

using Source = JsonReader::Source;

} // namespace velkaro::Json
