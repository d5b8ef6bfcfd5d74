#include <gtest/gtest.h>

#include <sys/stat.h>

#include "hypervisor/InventoryStore.h"
#include "support/InventoryBuilder.h"
#include "support/TestSupport.h"

namespace {

using zqtest::InventoryBuilder;
using zqtest::ScopedSettings;
using zqtest::TempDir;

struct MalformedRow {
  const char* text;
  const char* complaint;  // must appear in the error text
};

const MalformedRow kMalformedRows[] = {
    {"", "is not valid JSON"},
    {"{\"servers\": [", "is not valid JSON"},
    {"[]", "inventory must be an object"},
    {"{}", "inventory.servers is missing"},
    {"{\"servers\": {}}", "inventory.servers must be an array"},
    {"{\"servers\": [{}]}", "servers[0].name is missing"},
    {"{\"servers\": [{\"name\": \"\"}]}", "servers[0].name must not be empty"},
    {"{\"servers\": [{\"name\": 5}]}", "servers[0].name must be a string"},
    {"{\"servers\": [{\"name\": \"s\", \"instanceType\": \"101\"}]}", "servers[0].instanceType must be an integer"},
    {"{\"servers\": [{\"name\": \"s\", \"instanceType\": 99999999999}]}", "servers[0].instanceType is out of range"},
    {"{\"servers\": [{\"name\": \"s\", \"instanceType\": 18446744073709551615}]}",
     "servers[0].instanceType is out of range"},
    {"{\"servers\": [{\"name\": \"s\", \"answers\": \"yes\"}]}", "servers[0].answers must be true or false"},
    {"{\"servers\": [{\"name\": \"s\", \"credentials\": [\"admin\"]}]}", "servers[0].credentials[0] must be an object"},
    {"{\"servers\": [{\"name\": \"s\", \"credentials\": [{\"password\": \"p\"}]}]}",
     "servers[0].credentials[0].user is missing"},
    {"{\"servers\": [{\"name\": \"s\", \"vms\": [{\"guid\": \"g\"}]}]}", "servers[0].vms[0].name is missing"},
    {"{\"servers\": [{\"name\": \"s\", \"vms\": [{\"name\": \"v\", \"powerState\": \"maybe\"}]}]}",
     "servers[0].vms[0].powerState must be \"on\", \"off\" or \"suspended\""},
    {"{\"servers\": [{\"name\": \"s\", \"vms\": [{\"name\": \"v\", \"guestOs\": \"beos\"}]}]}",
     "servers[0].vms[0].guestOs must be \"unix\" or \"windows\""},
    {"{\"servers\": [{\"name\": \"s\", \"vms\": [{\"name\": \"v\", \"guestIpAddresses\": [\"10.0.0.1\", 7]}]}]}",
     "servers[0].vms[0].guestIpAddresses[1] must be a string"},
    {"{\"servers\": [{\"name\": \"s\", \"vms\": [{\"name\": \"v\", \"guestLogin\": {\"password\": \"p\"}}]}]}",
     "servers[0].vms[0].guestLogin.user is missing"},
    {"{\"servers\": [{\"name\": \"s\", \"vms\": [{\"name\": \"v\", \"guestPreparation\": {\"errorCode\": \"x\"}}]}]}",
     "servers[0].vms[0].guestPreparation.errorCode must be an integer"},
};

TEST(InventoryStore, RefusesMalformedInventoriesWithTheOffendingPlace) {
  for (const MalformedRow& row : kMalformedRows) {
    SCOPED_TRACE(row.text);
    Inventory inventory;
    const VMInfoStatus status = InventoryStore::ParseText(row.text, "/base", "/etc/inv.json", inventory);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.code(), static_cast<int>(VMInfoError::InventoryUnusable));
    EXPECT_NE(status.text().find("Inventory file [/etc/inv.json]"), std::string::npos) << status.text();
    EXPECT_NE(status.text().find(row.complaint), std::string::npos) << status.text();
  }
}

TEST(InventoryStore, RefusesInventoriesBeyondItsLimits) {
  const struct {
    std::string text;
    const char* complaint;
  } rows[] = {
      {std::string(1000000, '[') + std::string(1000000, ']'), "is nested deeper than 64 levels"},
      {"{\"servers\": [], \"pad\": \"" + std::string(16 * 1024 * 1024, 'x') + "\"}", "is larger than 16777216 bytes"},
  };
  for (const auto& row : rows) {
    Inventory inventory;
    const VMInfoStatus status = InventoryStore::ParseText(row.text, "/base", "/etc/inv.json", inventory);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.text().find(row.complaint), std::string::npos) << status.text();
  }
}

TEST(InventoryStore, ReadsEveryValueOfAServerAndItsVMs) {
  InventoryBuilder builder;
  builder.AddServer("vc1").InstanceType(101).NotAnswering().Credential("admin", "secret");
  builder.AddServer("hv1")
      .AddVm("web01")
      .Guid("g-1")
      .Host("esx7")
      .Suspended()
      .Tools(2, "guestToolsCurrent")
      .IpAddresses({"10.0.0.5", "10.0.0.6"})
      .WindowsGuest("guests/web01")
      .GuestLogin("Administrator", "pw")
      .PreparationFails(218, "no integration services");
  Inventory inventory;
  ASSERT_TRUE(InventoryStore::ParseText(builder.ToText(), "/inv", "x", inventory).ok());
  ASSERT_EQ(inventory.servers.size(), 2u);
  const InventoryServer& vc = inventory.servers[0];
  EXPECT_EQ(vc.name, "vc1");
  EXPECT_EQ(vc.instanceType, 101);
  EXPECT_FALSE(vc.answers);
  ASSERT_EQ(vc.credentials.size(), 1u);
  EXPECT_EQ(vc.credentials[0].user, "admin");
  EXPECT_EQ(vc.credentials[0].password, "secret");
  const InventoryServer& hv = inventory.servers[1];
  EXPECT_EQ(hv.instanceType, 0);
  EXPECT_TRUE(hv.answers);
  ASSERT_EQ(hv.vms.size(), 1u);
  const InventoryVM& vm = hv.vms[0];
  EXPECT_EQ(vm.name, "web01");
  EXPECT_EQ(vm.guid, "g-1");
  EXPECT_EQ(vm.host, "esx7");
  EXPECT_EQ(vm.powerState, 2);
  EXPECT_EQ(vm.toolsStatus, 2);
  EXPECT_EQ(vm.toolsDescription, "guestToolsCurrent");
  EXPECT_EQ(vm.guestIpAddresses, (std::vector<std::string>{"10.0.0.5", "10.0.0.6"}));
  EXPECT_EQ(vm.guestFolder, "/inv/guests/web01");
  EXPECT_EQ(vm.guestOs, GuestOsFamily::Windows);
  EXPECT_EQ(vm.guestUser, "Administrator");
  EXPECT_EQ(vm.guestPassword, "pw");
  EXPECT_EQ(vm.preparation.errorCode, 218);
  EXPECT_EQ(vm.preparation.errorText, "no integration services");
}

TEST(InventoryStore, GivesAVMItsDefaults) {
  Inventory inventory;
  ASSERT_TRUE(InventoryStore::ParseText(R"({"servers": [{"name": "s", "vms": [{"name": "v"}]}]})", "/inv", "x",
                                        inventory)
                  .ok());
  const InventoryVM& vm = inventory.servers[0].vms[0];
  EXPECT_EQ(vm.powerState, 1);
  EXPECT_EQ(vm.toolsStatus, 3);
  EXPECT_EQ(vm.guestOs, GuestOsFamily::Unix);
  EXPECT_TRUE(vm.guestFolder.empty());
  EXPECT_TRUE(vm.guestUser.empty());
  EXPECT_EQ(vm.preparation.errorCode, 0);
}

TEST(InventoryStore, KeepsAnAbsoluteGuestFolder) {
  Inventory inventory;
  ASSERT_TRUE(InventoryStore::ParseText(
                  R"({"servers": [{"name": "s", "vms": [{"name": "v", "guestFolder": "/srv/g"}]}]})", "/inv", "x",
                  inventory)
                  .ok());
  EXPECT_EQ(inventory.servers[0].vms[0].guestFolder, "/srv/g");
}

TEST(InventoryStore, LoadsTheFileTheSettingsName) {
  TempDir tmp;
  ScopedSettings settings;
  InventoryBuilder builder;
  builder.AddServer("vc1").AddVm("web01").UnixGuest("guest");
  builder.WriteTo(tmp.Join("inventory.json"));
  settings.Set("VirtualServer", "InventoryFile", tmp.Join("inventory.json"));
  Inventory inventory;
  ASSERT_TRUE(InventoryStore::Load(inventory).ok());
  ASSERT_EQ(inventory.servers.size(), 1u);
  EXPECT_EQ(inventory.servers[0].vms[0].guestFolder, tmp.Join("guest"));
}

TEST(InventoryStore, SeesAChangedFileAtOnce) {
  TempDir tmp;
  ScopedSettings settings;
  settings.Set("VirtualServer", "InventoryFile", tmp.Join("inventory.json"));
  InventoryBuilder builder;
  auto& vm = builder.AddServer("vc1").AddVm("web01");
  builder.WriteTo(tmp.Join("inventory.json"));
  Inventory before;
  ASSERT_TRUE(InventoryStore::Load(before).ok());
  vm.PoweredOff();
  builder.WriteTo(tmp.Join("inventory.json"));
  Inventory after;
  ASSERT_TRUE(InventoryStore::Load(after).ok());
  EXPECT_EQ(before.servers[0].vms[0].powerState, 1);
  EXPECT_EQ(after.servers[0].vms[0].powerState, 0);
}

TEST(InventoryStore, SaysWhyThereIsNoInventory) {
  TempDir tmp;
  ScopedSettings settings;
  Inventory inventory;
  settings.Erase("VirtualServer", "InventoryFile");
  VMInfoStatus status = InventoryStore::Load(inventory);
  EXPECT_EQ(status.code(), static_cast<int>(VMInfoError::InventoryUnusable));
  EXPECT_NE(status.text().find("No inventory file is configured"), std::string::npos) << status.text();

  settings.Set("VirtualServer", "InventoryFile", tmp.Join("missing.json"));
  status = InventoryStore::Load(inventory);
  EXPECT_NE(status.text().find("[" + tmp.Join("missing.json") + "] cannot be read: No such file or directory"),
            std::string::npos)
      << status.text();

  settings.Set("VirtualServer", "InventoryFile", tmp.path());
  status = InventoryStore::Load(inventory);
  EXPECT_NE(status.text().find("is a folder"), std::string::npos) << status.text();
}

}  // namespace
