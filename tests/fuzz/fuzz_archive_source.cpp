// The archive reader of zqrestore, from an archive's bytes: its listing and the content of every
// file it would stage. Small limits keep a bomb from taking the run's memory.
#include <sys/mman.h>
#include <unistd.h>

#include "FuzzSupport.h"
#include "host/ArchiveSource.h"
#include "host/StagingWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  static const int out = memfd_create("fuzz-staged", MFD_CLOEXEC);
  SourceLimits limits;
  limits.maxEntries = 1000;
  limits.maxExpandedBytes = 1 << 22;
  std::string error;
  std::unique_ptr<ArchiveSource> source = ArchiveSource::FromMemory(data, size, limits, error);
  if (!source) return 0;
  SourceTree tree;
  if (!source->Walk("", tree, error)) {
    ZQFUZZ_CHECK(!error.empty());
    return 0;
  }
  ZQFUZZ_CHECK(tree.entries.size() <= limits.maxEntries * 64);
  for (const SourceEntry& entry : tree.entries) {
    if (!entry.problem.empty()) continue;
    // Whatever the archive says, a name that is restored stays below the staging folder.
    ZQFUZZ_CHECK(StagedNameProblem(entry.relativePath).empty());
    if (entry.kind != EntryKind::File) continue;
    ZQFUZZ_CHECK(ftruncate(out, 0) == 0);
    struct stat info {};
    if (!source->CopyContent(entry, out, info, error)) continue;
    struct stat written {};
    ZQFUZZ_CHECK(fstat(out, &written) == 0);
    ZQFUZZ_CHECK(written.st_size == info.st_size);
    ZQFUZZ_CHECK(static_cast<uint64_t>(info.st_size) <= limits.maxExpandedBytes);
  }
  return 0;
}
