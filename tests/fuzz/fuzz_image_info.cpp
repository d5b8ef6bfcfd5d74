// What qemu-img says of a disk image (`qemu-img info --output=json`), as zqrestore reads it before
// serving the image: whatever the text, an image it accepts names no file but its own.
#include "FuzzSupport.h"
#include "host/ImageInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  const std::string text = zqfuzz::Text(data, size);
  ImageInfo info;
  std::string error;
  const bool ok = ParseImageInfo(text, "/proc/self/fd/3", info, error);
  ZQFUZZ_CHECK(ok == error.empty());
  if (ok) {
    ZQFUZZ_CHECK(!info.format.empty());
    ZQFUZZ_CHECK(text.find("backing-filename") == std::string::npos && text.find("data-file") == std::string::npos);
  }
  return 0;
}
