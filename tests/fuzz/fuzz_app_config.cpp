// The application configuration of the host framework, from its text.
#include "FuzzSupport.h"
#include "platform/vsAppMgr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  AppConfiguration configuration;
  std::string error;
  const bool ok = ParseAppConfiguration(zqfuzz::Text(data, size), configuration, error);
  ZQFUZZ_CHECK(ok == error.empty());
  if (!ok) {
    ZQFUZZ_CHECK(configuration.applications.empty() && configuration.instances.empty() &&
                 configuration.clientInstances.empty());
  }
  for (const auto& client : configuration.clientInstances) ZQFUZZ_CHECK(client.first != 0 && client.second != 0);
  return 0;
}
