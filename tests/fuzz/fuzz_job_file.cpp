// The job file of zqrestore, from its text. Password files are looked up below a folder that
// does not exist, so relative names read nothing.
#include "FuzzSupport.h"
#include "host/JobFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  JobFile job;
  std::string error;
  const bool ok = ParseJobText(zqfuzz::Text(data, size), "/nonexistent-fuzz-folder", job, error);
  ZQFUZZ_CHECK(ok == error.empty());
  if (ok) {
    ZQFUZZ_CHECK(!job.vmName.empty() && !job.vmGuid.empty() && !job.destination.empty());
    ZQFUZZ_CHECK(job.instanceId >= 0 && job.instanceType >= 0);
  }
  return 0;
}
