#include "hypervisor/VMInfoFactory.h"

#include <mutex>
#include <new>
#include <vector>

#include "hypervisor/InventoryVMInfo.h"
#include "hypervisor/LibvirtVMInfo.h"
#include "hypervisor/VMInfoFactoryOrigins.h"

using namespace VMInfoFactoryOrigins;

namespace {

// Every object made here lives for the rest of the process: callers share it and never delete
// it. The registry keeps it reachable (and so not reported as a leak) even when the caller has
// dropped its pointer after a failed connection.
void RegisterForProcessLife(IVMInfo* object) {
  static std::mutex* registryMutex = new std::mutex;
  static std::vector<IVMInfo*>* registry = new std::vector<IVMInfo*>;
  std::lock_guard<std::mutex> guard(*registryMutex);
  registry->push_back(object);
}

}  // namespace

extern "C" int CreateVMInfoObject(int instanceType, IVMInfo** out) try {
  EvEvent log;
  if (out == nullptr) {
    log.Error(kCreateVMInfoObjectOrigin, "No place for the VM-information object of instance type [%d]", instanceType);
    return 0;
  }
  // KVM under libvirt has its own back-end; every other kind is served by the inventory.
  const auto type = static_cast<VirtualServerInstanceType>(instanceType);
  IVMInfo* object = type == VSInstanceLibvirt ? static_cast<IVMInfo*>(new (std::nothrow) LibvirtVMInfo(type))
                                              : new (std::nothrow) InventoryVMInfo(type);
  if (object == nullptr) {
    log.Error(kCreateVMInfoObjectOrigin, "Out of memory creating the VM-information object of instance type [%d]",
              instanceType);
    return 0;
  }
  RegisterForProcessLife(object);
  *out = object;
  log.DebugLvl(kCreateVMInfoObjectOrigin, 2, "Created VM-information object for instance type [%d]", instanceType);
  return 1;
} catch (...) {
  return 0;  // nothing may cross the library boundary
}
