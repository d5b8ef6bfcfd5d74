// What qemu-img says of a disk image (`qemu-img info --output=json`), as zqrestore reads it before
// serving the image: whatever the text, an image it accepts names no file but its own.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "FuzzSupport.h"
#include "host/ImageInfo.h"

namespace {

// The promise, checked on the parsed text: no member about a backing or data file, and every
// "filename" the image's own.
bool NamesOnlyItself(const nlohmann::json& value) {
  if (value.is_array()) return std::all_of(value.begin(), value.end(), NamesOnlyItself);
  if (!value.is_object()) return true;
  for (auto member = value.begin(); member != value.end(); ++member) {
    if (member.key().find("backing") != std::string::npos || member.key().find("data-file") == 0) return false;
    if (member.key() == "filename" && *member != "/proc/self/fd/3") return false;
    if (!NamesOnlyItself(*member)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  const std::string text = zqfuzz::Text(data, size);
  ImageInfo info;
  std::string error;
  const bool ok = ParseImageInfo(text, "/proc/self/fd/3", info, error);
  ZQFUZZ_CHECK(ok == error.empty());
  if (ok) {
    ZQFUZZ_CHECK(!info.format.empty());
    ZQFUZZ_CHECK(NamesOnlyItself(nlohmann::json::parse(text, nullptr, false)));
  }
  return 0;
}
