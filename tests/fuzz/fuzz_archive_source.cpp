// The archive reader of zqrestore, from an archive's bytes: its listing and the content of every
// file it would stage. Small limits keep a bomb from taking the run's memory. The seeds hold
// damaged compressed streams (a gzip CRC error, truncated gzip, corrupt xz and bzip2), a zip member
// with a bad CRC, a tar with a bad first header checksum and a name deeper than the limit.
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
  ZQFUZZ_CHECK(tree.entries.size() <= limits.maxEntries);
  bool streamStopped = false;
  for (const SourceEntry& entry : tree.entries) {
    if (!entry.problem.empty()) continue;
    // Whatever the archive says, a name that is restored stays below the staging folder.
    ZQFUZZ_CHECK(StagedNameProblem(entry.relativePath).empty());
    if (entry.kind != EntryKind::File) continue;
    ZQFUZZ_CHECK(ftruncate(out, 0) == 0);
    struct stat info {};
    const bool copied = source->CopyContent(entry, out, info, error);
    // Once a fault stopped the stream, nothing after it is vouched for.
    ZQFUZZ_CHECK(!(copied && streamStopped));
    if (!copied && error.rfind("cannot read the ", 0) == 0) streamStopped = true;
    if (!copied) continue;
    struct stat written {};
    ZQFUZZ_CHECK(fstat(out, &written) == 0);
    ZQFUZZ_CHECK(written.st_size == info.st_size);
    ZQFUZZ_CHECK(static_cast<uint64_t>(info.st_size) <= limits.maxExpandedBytes);
  }
  return 0;
}
