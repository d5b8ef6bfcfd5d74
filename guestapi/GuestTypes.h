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
};

// The login the SSH command channels use.
struct GuestLoginCred {
  std::string userName;
  std::string password;
  std::string ipAddress;  // one address, or several separated by "," until a probe narrows it
};
