// The drive list of the Windows channel (one drive a line), as
// ZQWinGuestAPI::ParseBrowseResponseWinRoot reads it.
#include "FuzzSupport.h"
#include "guestapi/ZQWinGuestAPI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  ZQWinGuestAPI channel(nullptr);
  const std::string output = zqfuzz::Text(data, size);
  std::vector<VMInfoStructs::SGuestFile> entries;
  const bool ok = channel.ParseBrowseResponseWinRoot(output, entries);
  ZQFUZZ_CHECK(ok == !entries.empty());
  for (const auto& entry : entries) {
    ZQFUZZ_CHECK(entry.name.size() >= 2 && entry.name[0] == '\\');
    ZQFUZZ_CHECK(entry.name.find('\n') == std::string::npos);
    ZQFUZZ_CHECK(entry.type == VMInfoStructs::GuestFileDirectory);
  }
  return 0;
}
