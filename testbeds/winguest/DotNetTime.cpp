#include "DotNetTime.h"

#include <boost/algorithm/string/predicate.hpp>

#include <cstdio>
#include <ctime>
#include <regex>

namespace winguest {

namespace {

constexpr int64_t kMinWall = -62135596800LL;  // 0001-01-01 00:00:00
constexpr int64_t kMaxWall = 253402300799LL;  // 9999-12-31 23:59:59

struct Civil {
  int year, month, day, hour, minute, second;
};

Civil Breakdown(int64_t wall) {
  std::time_t t = static_cast<std::time_t>(wall);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return Civil{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

int64_t WallFromCivil(const Civil& c) {
  std::tm tm{};
  tm.tm_year = c.year - 1900;
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = c.hour;
  tm.tm_min = c.minute;
  tm.tm_sec = c.second;
  return static_cast<int64_t>(timegm(&tm));
}

std::string Padded(int value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", width, value);
  return text;
}

// Length of the run of `c` starting at `i`.
size_t RunLength(const std::string& format, size_t i) {
  size_t n = 0;
  while (i + n < format.size() && format[i + n] == format[i]) ++n;
  return n;
}

bool FormatCustom(const Civil& c, const std::string& format, const CultureInfo& culture, std::string& out) {
  const int hour12 = c.hour % 12 == 0 ? 12 : c.hour % 12;
  const std::string& designator = c.hour < 12 ? culture.amDesignator : culture.pmDesignator;
  for (size_t i = 0; i < format.size();) {
    const char ch = format[i];
    const size_t run = RunLength(format, i);
    switch (ch) {
      case 'd':
        if (run > 2) return false;  // day names are not needed here
        out += Padded(c.day, static_cast<int>(run));
        break;
      case 'M':
        if (run > 2) return false;  // month names are not needed here
        out += Padded(c.month, static_cast<int>(run));
        break;
      case 'y':
        out += run <= 2 ? Padded(c.year % 100, static_cast<int>(run)) : Padded(c.year, static_cast<int>(run));
        break;
      case 'h':
        out += Padded(hour12, run >= 2 ? 2 : 1);
        break;
      case 'H':
        out += Padded(c.hour, run >= 2 ? 2 : 1);
        break;
      case 'm':
        out += Padded(c.minute, run >= 2 ? 2 : 1);
        break;
      case 's':
        out += Padded(c.second, run >= 2 ? 2 : 1);
        break;
      case 't':
        out += run == 1 ? designator.substr(0, 1) : designator;
        break;
      case '/':
        out += culture.dateSeparator;
        break;
      case ':':
        out += culture.timeSeparator;
        break;
      case '\'':
      case '"': {
        const size_t end = format.find(ch, i + 1);
        if (end == std::string::npos) return false;
        out += format.substr(i + 1, end - i - 1);
        i = end + 1;
        continue;
      }
      case '\\':
        if (i + 1 >= format.size()) return false;
        out += format[i + 1];
        i += 2;
        continue;
      default:
        out.append(run, ch);
        break;
    }
    i += run;
  }
  return true;
}

}  // namespace

const CultureInfo& InvariantCulture() {
  static const CultureInfo invariant{"", "MM/dd/yyyy", "HH:mm:ss", "/", ":", "AM", "PM"};
  return invariant;
}

const CultureInfo* FindCulture(const std::string& name) {
  static const CultureInfo cultures[] = {
      {"en-US", "M/d/yyyy", "h:mm:ss tt", "/", ":", "AM", "PM"},
      {"en-GB", "dd/MM/yyyy", "HH:mm:ss", "/", ":", "am", "pm"},
      {"de-DE", "dd.MM.yyyy", "HH:mm:ss", ".", ":", "", ""},
  };
  for (const CultureInfo& culture : cultures) {
    if (boost::algorithm::iequals(culture.name, name)) return &culture;
  }
  return nullptr;
}

DotNetDateTime LocalFromUtcSeconds(int64_t utcSeconds) {
  std::time_t t = static_cast<std::time_t>(utcSeconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return DotNetDateTime{static_cast<int64_t>(timegm(&tm)), DateKind::Local};
}

int64_t ToUtcSeconds(const DotNetDateTime& value) {
  if (value.kind == DateKind::Utc) return value.wall;
  std::time_t t = static_cast<std::time_t>(value.wall);
  std::tm tm{};
  gmtime_r(&t, &tm);
  tm.tm_isdst = -1;  // the zone's rules decide whether daylight saving applies
  return static_cast<int64_t>(mktime(&tm));
}

DotNetDateTime ToLocalTime(const DotNetDateTime& value) {
  if (value.kind == DateKind::Local) return value;
  return LocalFromUtcSeconds(value.wall);
}

DotNetDateTime ToUniversalTime(const DotNetDateTime& value) {
  if (value.kind == DateKind::Utc) return value;
  return DotNetDateTime{ToUtcSeconds(value), DateKind::Utc};
}

bool InDateTimeRange(int64_t wall) { return wall >= kMinWall && wall <= kMaxWall; }

std::string FormatDateTime(const DotNetDateTime& value, const std::string& format, const CultureInfo& culture,
                           std::string& error) {
  std::string pattern = format;
  if (pattern.empty() || pattern == "G") {
    pattern = culture.shortDate + " " + culture.longTime;
  } else if (pattern == "d") {
    pattern = culture.shortDate;
  } else if (pattern == "T") {
    pattern = culture.longTime;
  } else if (pattern == "s") {
    pattern = "yyyy'-'MM'-'dd'T'HH':'mm':'ss";
  } else if (pattern.size() == 2 && pattern[0] == '%') {
    pattern = pattern.substr(1);  // "%M": the custom specifier alone
  } else if (pattern.size() == 1) {
    error = "Input string was not in a correct format.";
    return "";
  }
  std::string out;
  if (!FormatCustom(Breakdown(value.wall), pattern, culture, out)) {
    error = "Input string was not in a correct format.";
    return "";
  }
  return out;
}

bool ParseInvariantDateTime(const std::string& text, DotNetDateTime& value) {
  static const std::regex usDate(R"(^\s*(\d{1,2})/(\d{1,2})/(\d{4})(?:\s+(\d{1,2}):(\d{2})(?::(\d{2}))?)?\s*$)");
  static const std::regex isoDate(R"(^\s*(\d{4})-(\d{2})-(\d{2})(?:T(\d{2}):(\d{2}):(\d{2}))?\s*$)");
  std::smatch m;
  Civil c{};
  auto number = [&m](int index) { return m[index].matched ? std::stoi(m[index].str()) : 0; };
  if (std::regex_match(text, m, usDate)) {
    c = Civil{number(3), number(1), number(2), number(4), number(5), number(6)};
  } else if (std::regex_match(text, m, isoDate)) {
    c = Civil{number(1), number(2), number(3), number(4), number(5), number(6)};
  } else {
    return false;
  }
  if (c.month < 1 || c.month > 12 || c.day < 1 || c.day > 31 || c.hour > 23 || c.minute > 59 || c.second > 59) {
    return false;
  }
  const int64_t wall = WallFromCivil(c);
  if (Breakdown(wall).day != c.day) return false;  // 2/30/2020 and the like
  value = DotNetDateTime{wall, DateKind::Unspecified};
  return true;
}

}  // namespace winguest
