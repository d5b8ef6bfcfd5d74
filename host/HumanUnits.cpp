#include "host/HumanUnits.h"

#include <cmath>
#include <cstdio>

std::string FormatBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  // Rounding to one decimal must not print "1024.0 KiB".
  while (value >= 1023.95 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0)) seconds = 0;
  char text[32];
  if (seconds < 59.95) {
    snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
  }
  const auto whole = static_cast<unsigned long long>(std::llround(seconds));
  const unsigned long long hours = whole / 3600;
  const unsigned long long minutes = (whole / 60) % 60;
  const unsigned long long rest = whole % 60;
  if (hours > 0) {
    snprintf(text, sizeof text, "%llu:%02llu:%02llu", hours, minutes, rest);
  } else {
    snprintf(text, sizeof text, "%llu:%02llu", minutes, rest);
  }
  return text;
}

std::string FormatRate(double bytesPerSecond) {
  if (!(bytesPerSecond > 0) || std::isinf(bytesPerSecond)) return "-";
  return FormatBytes(static_cast<uint64_t>(std::llround(bytesPerSecond))) + "/s";
}
