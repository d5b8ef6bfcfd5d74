// A connected inventory-backed component over a temporary inventory, with one Unix and one Windows
// VM whose guest folders are temporary folders.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "hypervisor/InventoryVMInfo.h"
#include "support/Credentials.h"
#include "support/InventoryBuilder.h"
#include "support/TestSupport.h"

namespace vminfotest {

inline void MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) throw std::runtime_error("mkdir " + path);
}

using zqtest::Exists;
using zqtest::StatOf;

class ComponentFixture : public ::testing::Test {
 protected:
  static constexpr const char* kServer = "vc1";
  static constexpr const char* kAdmin = "administrator";
  static constexpr const char* kAdminPassword = "vc-Secret-1";
  static constexpr const char* kGuestPassword = "guest-Secret-2";

  ComponentFixture()
      : server(inventory.AddServer(kServer).InstanceType(101).Credential(kAdmin, kAdminPassword)),
        unixVm(server.AddVm("linux01")),
        windowsVm(server.AddVm("win01")) {
    settings.Set("VirtualServer", "InventoryFile", InventoryPath());
    MakeFolder(UnixRoot());
    MakeFolder(WindowsRoot());
    MakeFolder(WindowsRoot() + "/C");
    unixVm.Guid("4201-unix").Host("esx1").Tools(3, "guestToolsRunning").IpAddresses({"10.0.0.5"});
    unixVm.UnixGuest(UnixRoot()).GuestLogin("root", kGuestPassword);
    windowsVm.Guid("4202-win").Host("esx2").WindowsGuest(WindowsRoot()).GuestLogin("Administrator", kGuestPassword);
    unixCtx = Ctx("linux01", "4201-unix", "root");
    windowsCtx = Ctx("win01", "4202-win", "Administrator");
  }

  std::string InventoryPath() const { return tmp.Join("inventory.json"); }
  std::string UnixRoot() const { return tmp.Join("guest-linux01"); }
  std::string WindowsRoot() const { return tmp.Join("guest-win01"); }

  static GuestCtx Ctx(const std::string& name, const std::string& guid, const std::string& user,
                      const std::string& password = kGuestPassword) {
    return zqtest::MakeGuestCtx(name, user, password, guid, kServer);
  }

  // Writes the inventory as built so far and returns a component connected to the server.
  InventoryVMInfo& Connected(VirtualServerInstanceType type = VSInstanceVMware) {
    server.InstanceType(type);
    inventory.WriteTo(InventoryPath());
    component = std::make_unique<InventoryVMInfo>(type);
    std::vector<SHostCredentials> credentials;
    EXPECT_EQ(component->ConnectToServer(kServer, kAdmin, kAdminPassword, credentials), 1)
        << component->GetLastErrorString();
    return *component;
  }

  int LastCode() const { return component->GetLastErrorCode(); }
  std::string LastText() const { return component->GetLastErrorString(); }

  zqtest::TempDir tmp;
  zqtest::ScopedSettings settings;
  zqtest::ScopedLogCapture log;
  zqtest::InventoryBuilder inventory;
  zqtest::InventoryBuilder::Server& server;
  zqtest::InventoryBuilder::Vm& unixVm;
  zqtest::InventoryBuilder::Vm& windowsVm;
  GuestCtx unixCtx;
  GuestCtx windowsCtx;
  std::unique_ptr<InventoryVMInfo> component;
};

inline int Code(VMInfoError error) { return static_cast<int>(error); }

}  // namespace vminfotest
