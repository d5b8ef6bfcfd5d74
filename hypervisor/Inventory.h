// What the inventory file describes: hypervisor servers and their VMs, as plain records.
#pragma once

#include <string>
#include <vector>

enum class GuestOsFamily { Unix, Windows };

// What guest preparation for file copy answers for a VM: success (code 0) or a code and text.
struct GuestPreparationAnswer {
  int errorCode = 0;
  std::string errorText;
};

struct InventoryVM {
  std::string name;
  std::string guid;
  std::string host;
  int powerState = 1;  // 1 on, 0 off, 2 suspended
  int toolsStatus = 3;
  std::string toolsDescription;
  std::vector<std::string> guestIpAddresses;
  std::string guestFolder;  // absolute host path of the guest's file system; empty: none
  GuestOsFamily guestOs = GuestOsFamily::Unix;
  std::string guestUser;
  std::string guestPassword;
  GuestPreparationAnswer preparation;
};

struct ServerCredential {
  std::string user;
  std::string password;
};

struct InventoryServer {
  std::string name;
  int instanceType = 0;  // 0: serves a component of any kind
  bool answers = true;
  std::vector<ServerCredential> credentials;
  std::vector<InventoryVM> vms;
};

struct Inventory {
  std::vector<InventoryServer> servers;
};
