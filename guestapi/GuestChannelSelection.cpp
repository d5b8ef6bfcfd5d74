#include "../platform/ZQPlatformInfo.h"
#include "ZQGuestAPI.h"

bool IGuestAPI::ZqGuestAPISupport(VirtualServerInstanceType type) {
  bool allowed = (type == VSInstanceNoNativeGuestOps);
  ZQPlatformInfo::getBoolean("VirtualServer", "UseZQGuestAPI", &allowed);
  return allowed;
}

bool IGuestAPI::NativeGuestAPISupport(VirtualServerInstanceType type) { return type != VSInstanceNoNativeGuestOps; }
