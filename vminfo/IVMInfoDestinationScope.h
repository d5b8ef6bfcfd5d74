// An extension that a VM-information component may offer beside IVMInfo. A caller asks for it with
// dynamic_cast on the component's object; a component without it is used as it is.
//
// The guest records stay as the interface defines them (GuestCtx carries the VM and the login, and
// nothing else), so a host that builds its own GuestCtx is never read past its end. What a restore
// adds, the destination folder inside the guest, travels through this extension instead.
#pragma once

#include <string>

class IVMInfo;

class IVMInfoDestinationScope {
 public:
  // A view of the component for one restore whose destination folder inside the guest is `folder`:
  // the same operations, in which links on the way to `folder` are followed (the operator chose
  // it) and none below it. Without a view no link in the guest is followed. The caller owns the
  // view and deletes it through IVMInfo; the component must outlive it. Null when no view can be
  // made.
  virtual IVMInfo* ScopeToDestination(const std::string& folder) = 0;

 protected:
  ~IVMInfoDestinationScope() = default;
};
