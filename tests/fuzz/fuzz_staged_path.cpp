// The controller's mapping of a staged entry to its guest path. The input is three
// NUL-separated texts, the staging folder, the guest folder and the staged path, the first byte
// choosing the holding-folder form of Hyper-V Unix guests.
#include "FuzzSupport.h"
#include "controller/StagingFolderLayout.h"
#include "vminfo/VirtualServerInstanceType.h"

namespace {

// True when `path`, cut at "/" and "\", has a ".." component: a way out of the guest folder.
bool ClimbsUp(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool holdingFolder = (data[0] & 1) != 0;
  std::vector<std::string> pieces = zqfuzz::Pieces(zqfuzz::Text(data + 1, size - 1));
  pieces.resize(3);
  const std::string& stagingFolder = pieces[0];
  const std::string& guestDir = pieces[1];
  const std::string& stagedPath = pieces[2];
  const GuestMapping mapping = GuestMappingOf(guestDir, holdingFolder ? VSInstanceHyperV : VSInstanceVMware);
  const StagedEntryMapping mapped = MapStagedEntry(mapping, stagingFolder.c_str(), stagedPath);
  if (!mapped.refusal.empty()) return 0;
  const std::string& guestPath = mapped.guestPath;
  // The entry lands inside the guest folder, never beside or above it.
  ZQFUZZ_CHECK(guestPath.compare(0, guestDir.size(), guestDir) == 0);
  ZQFUZZ_CHECK(mapped.entryPath.compare(0, guestDir.size(), guestDir) == 0);
  if (!ClimbsUp(guestDir)) ZQFUZZ_CHECK(!ClimbsUp(guestPath) && !ClimbsUp(mapped.entryPath));
  return 0;
}
