// Date-time values as .NET keeps them on a Windows guest: a wall-clock reading plus a kind that
// says whether the reading is UTC, local or unspecified. The guest's local zone is the zone of
// this process (TZ), so a test sets it the way it sets the proxy's.
#pragma once

#include <cstdint>
#include <string>

namespace winguest {

enum class DateKind { Unspecified, Utc, Local };

struct DotNetDateTime {
  int64_t wall = 0;  // seconds since 1970-01-01 00:00 as the reading shows it (not converted)
  DateKind kind = DateKind::Unspecified;
};

// The part of a .NET culture that date-time formatting reads.
struct CultureInfo {
  std::string name;       // "" for the invariant culture
  std::string shortDate;  // pattern "d"
  std::string longTime;   // pattern "T"
  std::string dateSeparator;
  std::string timeSeparator;
  std::string amDesignator;
  std::string pmDesignator;
};

const CultureInfo& InvariantCulture();
// en-US, en-GB, de-DE (names compared without regard to case); null for any other name.
const CultureInfo* FindCulture(const std::string& name);

// Seconds since 1970 UTC of a file time, read as .NET reads it (kind Local).
DotNetDateTime LocalFromUtcSeconds(int64_t utcSeconds);
// The UTC instant of a value: Utc as is; Local and Unspecified read in the local zone.
int64_t ToUtcSeconds(const DotNetDateTime& value);
// DateTime.ToLocalTime: Local stays; Utc and Unspecified are taken as UTC.
DotNetDateTime ToLocalTime(const DotNetDateTime& value);
DotNetDateTime ToUniversalTime(const DotNetDateTime& value);

// Whether the reading lies in .NET's range, 0001-01-01 to 9999-12-31 23:59:59.
bool InDateTimeRange(int64_t wall);

// DateTime.ToString(format, culture). An empty format is "G". Standard formats "G", "d", "T",
// "s" and custom patterns (d dd M MM yy yyyy h hh H HH m mm s ss t tt / : quotes and \) are
// understood; anything else sets `error` and returns "".
std::string FormatDateTime(const DotNetDateTime& value, const std::string& format, const CultureInfo& culture,
                           std::string& error);

// Reads a date the way PowerShell converts a string to DateTime (invariant culture):
// M/d/yyyy, M/d/yyyy H:mm[:ss], yyyy-MM-dd and yyyy-MM-ddTHH:mm:ss. Kind Unspecified.
bool ParseInvariantDateTime(const std::string& text, DotNetDateTime& value);

}  // namespace winguest
