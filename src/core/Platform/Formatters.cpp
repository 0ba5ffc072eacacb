#include "Platform/Formatters.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>

namespace velkaro {

namespace {

// Dates the files may hold: 1970-01-01T00:00:00Z to 9999-12-31T23:59:59Z, in UTC.
constexpr std::chrono::seconds kEarliestDate {0};
constexpr std::chrono::seconds kLatestDate {253402300799};

std::time_t toTimeT(TimePoint time)
{
    return static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count());
}

void appendPadded(std::string &out, int value, int width)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
    out += buffer;
}

bool readNumber(std::string_view text, std::size_t pos, std::size_t width, int &value)
{
    if (pos + width > text.size())
        return false;
    value = 0;
    for (std::size_t i = pos; i < pos + width; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

std::string groupThousands(std::int64_t value)
{
    const std::string digits = std::to_string(value);
    std::string out;
    out.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

} // namespace

std::string formatDate(TimePoint time, std::string_view pattern)
{
    const std::time_t t = toTimeT(time);
    std::tm tm {};
    ::localtime_r(&t, &tm);

    std::string out;
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        std::size_t run = 1;
        while (i + run < pattern.size() && pattern[i + run] == c)
            ++run;
        switch (c) {
        case 'y':
            appendPadded(out, tm.tm_year + 1900, static_cast<int>(run));
            break;
        case 'M':
            appendPadded(out, tm.tm_mon + 1, static_cast<int>(run));
            break;
        case 'd':
            appendPadded(out, tm.tm_mday, static_cast<int>(run));
            break;
        case 'H':
            appendPadded(out, tm.tm_hour, static_cast<int>(run));
            break;
        case 'm':
            appendPadded(out, tm.tm_min, static_cast<int>(run));
            break;
        case 's':
            appendPadded(out, tm.tm_sec, static_cast<int>(run));
            break;
        default:
            out.append(pattern.substr(i, run));
            break;
        }
        i += run;
    }
    return out;
}

std::string toISO8601(TimePoint time)
{
    const std::time_t t = toTimeT(time);
    std::tm tm {};
    ::gmtime_r(&t, &tm);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
        tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buffer;
}

std::optional<TimePoint> fromISO8601(std::string_view text)
{
    // YYYY-MM-DDTHH:MM:SS is 19 characters.
    int year, month, day, hour, minute, second;
    if (text.size() < 20 || !readNumber(text, 0, 4, year) || text[4] != '-' || !readNumber(text, 5, 2, month)
        || text[7] != '-' || !readNumber(text, 8, 2, day) || text[10] != 'T' || !readNumber(text, 11, 2, hour)
        || text[13] != ':' || !readNumber(text, 14, 2, minute) || text[16] != ':' || !readNumber(text, 17, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;

    const std::string_view zone = text.substr(19);
    int offsetSeconds = 0;
    if (zone == "Z") {
        offsetSeconds = 0;
    } else if ((zone.size() == 6 && zone[3] == ':') || zone.size() == 5) {
        if (zone[0] != '+' && zone[0] != '-')
            return std::nullopt;
        int oh, om;
        const std::size_t minutesAt = zone.size() == 6 ? 4 : 3;
        if (!readNumber(zone, 1, 2, oh) || !readNumber(zone, minutesAt, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offsetSeconds = (oh * 3600 + om * 60) * (zone[0] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }

    // The calendar arithmetic runs on days and seconds, far from any overflow; 31 April is not a date.
    using namespace std::chrono;
    const year_month_day date {std::chrono::year {year}, std::chrono::month {static_cast<unsigned>(month)},
        std::chrono::day {static_cast<unsigned>(day)}};
    if (!date.ok())
        return std::nullopt;
    const seconds sinceEpoch = sys_days {date}.time_since_epoch() + hours {hour} + minutes {minute} + seconds {second}
        - seconds {offsetSeconds};
    if (sinceEpoch < kEarliestDate || sinceEpoch > kLatestDate)
        return std::nullopt;
    return TimePoint(sinceEpoch);
}

std::string formatByteCount(std::int64_t bytes)
{
    const bool negative = bytes < 0;
    const double magnitude = std::fabs(static_cast<double>(bytes));
    if (magnitude < 1000.0)
        return std::to_string(bytes) + " バイト";

    static constexpr std::array<const char *, 3> units {"KB", "MB", "GB"};
    static constexpr std::array<int, 3> decimals {0, 1, 2};
    std::size_t unit = 0;
    double scaled = magnitude / 1000.0;
    while (unit + 1 < units.size() && scaled >= 1000.0) {
        scaled /= 1000.0;
        ++unit;
    }
    double factor = std::pow(10.0, decimals[unit]);
    double rounded = std::round(scaled * factor) / factor;
    // 999.96 KB rounds up to 1000 KB: show it as 1 MB instead.
    if (rounded >= 1000.0 && unit + 1 < units.size()) {
        ++unit;
        scaled /= 1000.0;
        factor = std::pow(10.0, decimals[unit]);
        rounded = std::round(scaled * factor) / factor;
    }

    const auto whole = static_cast<std::int64_t>(std::floor(rounded));
    auto fraction = static_cast<int>(std::llround((rounded - static_cast<double>(whole)) * factor));
    std::string text = groupThousands(whole);
    if (fraction > 0) {
        std::string digits = std::to_string(fraction);
        digits.insert(0, static_cast<std::size_t>(decimals[unit]) - digits.size(), '0');
        while (!digits.empty() && digits.back() == '0')
            digits.pop_back();
        text += "." + digits;
    }
    std::string out = negative ? "-" : "";
    out.append(text).append(" ").append(units[unit]);
    return out;
}

std::string makeUUID()
{
    thread_local std::mt19937_64 engine {[] {
        std::random_device device;
        std::seed_seq seed {device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    std::array<unsigned char, 16> bytes {};
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const std::uint64_t r = engine();
        for (std::size_t j = 0; j < 8; ++j)
            bytes[i + j] = static_cast<unsigned char>(r >> (8 * j));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant

    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 0x0F];
    }
    return out;
}

} // namespace velkaro
