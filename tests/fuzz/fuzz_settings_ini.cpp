// The installation's settings file, from its text.
#include <boost/algorithm/string/trim.hpp>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto settings = ParseIniText(zqfuzz::Text(data, size));
  for (const auto& section : settings) {
    ZQFUZZ_CHECK(section.first == boost::algorithm::trim_copy(section.first));
    for (const auto& key : section.second) {
      ZQFUZZ_CHECK(!key.first.empty());
      ZQFUZZ_CHECK(key.first.find('=') == std::string::npos);
      ZQFUZZ_CHECK(key.first.find('\n') == std::string::npos);
      ZQFUZZ_CHECK(key.second == boost::algorithm::trim_copy(key.second));
    }
  }
  return 0;
}
