// The browse answer of the Unix helper script (eight "/"-separated fields a line), as the Unix
// channel reads it: ZQUnixGuestAPI::ParseBrowseResponse.
#include "FuzzSupport.h"
#include "guestapi/ZQUnixGuestAPI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  ZQUnixGuestAPI channel(nullptr);
  const std::string output = zqfuzz::Text(data, size);
  // The caller's vector may hold entries already; only those of this answer count as found.
  std::vector<VMInfoStructs::SGuestFile> entries(1);
  const bool ok = channel.ParseBrowseResponse(output, entries);
  ZQFUZZ_CHECK(ok == (entries.size() > 1));
  entries.erase(entries.begin());
  size_t lines = 1;
  for (char c : output) lines += c == '\n' ? 1 : 0;
  ZQFUZZ_CHECK(entries.size() <= lines);
  for (const auto& entry : entries) ZQFUZZ_CHECK(entry.name.find('/') == std::string::npos);
  return 0;
}
