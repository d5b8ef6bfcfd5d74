// The folder listing of the Windows channel (one item a line), as
// ZQWinGuestAPI::ParseBrowseResponseFolder reads it.
#include "FuzzSupport.h"
#include "guestapi/ZQWinGuestAPI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  ZQWinGuestAPI channel(nullptr);
  const std::string output = zqfuzz::Text(data, size);
  std::vector<VMInfoStructs::SGuestFile> entries;
  (void)channel.ParseBrowseResponseFolder(output, entries);
  size_t lines = 1;
  for (char c : output) lines += c == '\n' ? 1 : 0;
  ZQFUZZ_CHECK(entries.size() <= lines);
  for (const auto& entry : entries) {
    ZQFUZZ_CHECK(entry.name.find('\n') == std::string::npos);
    // A reparse point (link or junction) is listed as a link, never as a file or folder to keep.
    ZQFUZZ_CHECK(entry.type == VMInfoStructs::GuestFileDirectory || entry.type == VMInfoStructs::GuestFileRegular ||
                 entry.type == VMInfoStructs::GuestFileSymlink);
  }
  return 0;
}
