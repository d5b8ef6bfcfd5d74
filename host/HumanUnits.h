// Sizes, durations and rates written the way a person reads them.
#pragma once

#include <cstdint>
#include <string>

// 0 B, 999 B, 1.0 KiB, 12.3 MiB, 4.0 GiB (binary units, one decimal above bytes).
std::string FormatBytes(uint64_t bytes);
// 0.4 s, 12.0 s, 1:05, 1:02:03 (under a minute with a tenth of a second).
std::string FormatDuration(double seconds);
// Bytes per second as FormatBytes + "/s"; "-" when it cannot be known.
std::string FormatRate(double bytesPerSecond);
