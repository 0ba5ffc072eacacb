#pragma once

#include "Platform/Clock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velkaro {

// `time` in the user's time zone (TZ is honoured) with a fixed pattern built from the fields
// yyyy, MM, dd, HH, mm and ss; any other character stands for itself. Fractions of a second are cut.
std::string formatDate(TimePoint time, std::string_view pattern);

// ISO 8601 internet date-time in UTC with whole seconds, e.g. 2025-03-04T00:15:00Z.
std::string toISO8601(TimePoint time);

// Reads YYYY-MM-DDTHH:MM:SS followed by Z or an offset (+09:00); fractions and other forms are refused,
// and so is an instant before 1970-01-01T00:00:00Z or after 9999-12-31T23:59:59Z.
std::optional<TimePoint> fromISO8601(std::string_view text);

// Decimal byte counts: "N バイト", then KB without decimals, MB with at most one and GB with at most
// two (a trailing zero dropped); larger amounts stay in GB.
std::string formatByteCount(std::int64_t bytes);

// A random version-4 UUID as 36 upper-case characters with hyphens.
std::string makeUUID();

} // namespace velkaro
