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
  // Nothing more: hosts build this record as the interface defines it, and a member added here
  // would be read past the end of theirs. What a restore adds travels by other calls
  // (ZQVMInfoGuestAPI::ScopeToDestination).
};
// The record hosts build: five strings, then the two flags (padded to the strings' alignment).
static_assert(sizeof(GuestCtx) == 5 * sizeof(std::string) + alignof(std::string),
              "GuestCtx is laid out as the interface defines it; hosts build it themselves");

// The login the SSH command channels use.
struct GuestLoginCred {
  std::string userName;
  std::string password;
  std::string ipAddress;  // one address, or several separated by "," until a probe narrows it
};
