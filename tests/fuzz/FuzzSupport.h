// Shared pieces of the fuzz targets: a quiet process (no log file, no settings file is read) and
// a check that ends the run with a message when a parser breaks a promise of its contract.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/EvEvent.h"
#include "platform/ZQPlatformInfo.h"

namespace zqfuzz {

class DiscardingLogSink : public LogSink {
 public:
  void Write(const LogRecord&) override {}
};

// No settings at all: parsers that consult them see every key absent.
class EmptySettingsStore : public SettingsStore {
 public:
  bool Lookup(const std::string&, const std::string&, std::string&) override { return false; }
};

// Installs the quiet log sink and the empty settings once per process.
inline void QuietProcess() {
  static const bool installed = [] {
    SetLogSink(std::make_shared<DiscardingLogSink>());
    SetSettingsStore(std::make_shared<EmptySettingsStore>());
    return true;
  }();
  (void)installed;
}

inline std::string Text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// The input cut at every NUL byte: several strings from one input.
inline std::vector<std::string> Pieces(const std::string& text) {
  std::vector<std::string> pieces(1);
  for (char c : text) {
    if (c == '\0') {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  return pieces;
}

}  // namespace zqfuzz

// A broken promise is a finding: libFuzzer keeps the input that caused it.
#define ZQFUZZ_CHECK(condition)                                                         \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (false)
