// Records that travel with every guest operation.
#pragma once

#include <string>

// The destination VM and the guest login; passed by const reference to every guest operation.
struct GuestCtx {
  std::string vmName;
  std::string vmGuid;
  std::string serverName;
  std::string userName;
  std::string password;  // plain text; never logged
  bool flagA = false;    // carried to the VM-information component, never read here
  bool flagB = false;
  // The restore's destination folder inside the guest, once the controller has named it. The
  // native channel's component follows links on the way to it (the operator chose it) and none
  // below it. Empty: no restore destination is known.
  std::string destinationFolder;
};

// The login the SSH command channels use.
struct GuestLoginCred {
  std::string userName;
  std::string password;
  std::string ipAddress;  // one address, or several separated by "," until a probe narrows it
};
