// The inventory of the embedded hypervisor, from its text.
#include "FuzzSupport.h"
#include "hypervisor/InventoryStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  Inventory inventory;
  const VMInfoStatus status = InventoryStore::ParseText(zqfuzz::Text(data, size), "/base", "fuzz", inventory);
  ZQFUZZ_CHECK(status.ok() || !status.text().empty());
  for (const InventoryServer& server : inventory.servers) {
    ZQFUZZ_CHECK(!server.name.empty());
    for (const InventoryVM& vm : server.vms) ZQFUZZ_CHECK(!vm.name.empty());
  }
  return 0;
}
