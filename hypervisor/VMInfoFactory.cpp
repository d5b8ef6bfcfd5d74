#include "VMInfoFactory.h"

#include <new>

#include "InventoryVMInfo.h"

extern "C" int CreateVMInfoObject(int instanceType, IVMInfo** out) try {
  EvEvent log;
  if (out == nullptr) {
    log.Error(__PRETTY_FUNCTION__, "No place for the VM-information object of instance type [%d]", instanceType);
    return 0;
  }
  auto* object = new (std::nothrow) InventoryVMInfo(static_cast<VirtualServerInstanceType>(instanceType));
  if (object == nullptr) {
    log.Error(__PRETTY_FUNCTION__, "Out of memory creating the VM-information object of instance type [%d]",
              instanceType);
    return 0;
  }
  *out = object;
  log.DebugLvl(__PRETTY_FUNCTION__, 2, "Created VM-information object for instance type [%d]", instanceType);
  return 1;
} catch (...) {
  return 0;  // nothing may cross the library boundary
}
