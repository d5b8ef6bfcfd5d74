#include <gtest/gtest.h>

#include <functional>

#include "ComponentFixture.h"

namespace {

using vminfotest::Code;
using VMInfoStructs::SGuestFile;

class InventoryComponent : public vminfotest::ComponentFixture {};

struct ConnectRow {
  const char* description;
  const char* server;
  const char* user;
  const char* password;
  int instanceType;
  VMInfoError expected;
  const char* fragment;  // in the error text
};

const ConnectRow kConnectRows[] = {
    {"accepted credentials", "vc1", "administrator", "vc-Secret-1", 101, VMInfoError::None, ""},
    {"server name in other letter case", "VC1", "administrator", "vc-Secret-1", 101, VMInfoError::None, ""},
    {"unknown server", "vc9", "administrator", "vc-Secret-1", 101, VMInfoError::ServerUnknown,
     "Hypervisor server [vc9] is unknown"},
    {"silent server", "down1", "administrator", "vc-Secret-1", 101, VMInfoError::ServerNotAnswering,
     "Hypervisor server [down1] does not answer"},
    {"wrong password", "vc1", "administrator", "guess", 101, VMInfoError::LoginRefused,
     "Login to hypervisor server [vc1] as [administrator] failed: wrong user name or password"},
    {"wrong user", "vc1", "root", "vc-Secret-1", 101, VMInfoError::LoginRefused, "as [root] failed"},
    {"empty user", "vc1", "", "", 101, VMInfoError::LoginRefused, "failed: wrong user name or password"},
    {"other hypervisor kind", "vc1", "administrator", "vc-Secret-1", 102, VMInfoError::ServerKindMismatch,
     "is of instance type 101, not of the requested type 102"},
    {"server of any kind", "any1", "u", "p", 301, VMInfoError::None, ""},
};

TEST_F(InventoryComponent, ConnectChecksServerAndCredentials) {
  inventory.AddServer("down1").NotAnswering().Credential(kAdmin, kAdminPassword);
  inventory.AddServer("any1").Credential("u", "p");
  inventory.WriteTo(InventoryPath());
  for (const ConnectRow& row : kConnectRows) {
    SCOPED_TRACE(row.description);
    InventoryVMInfo vmInfo(static_cast<VirtualServerInstanceType>(row.instanceType));
    std::vector<SHostCredentials> credentials(1);
    const int result = vmInfo.ConnectToServer(row.server, row.user, row.password, credentials);
    EXPECT_EQ(result, row.expected == VMInfoError::None ? 1 : 0);
    EXPECT_EQ(vmInfo.GetLastErrorCode(), Code(row.expected));
    EXPECT_NE(vmInfo.GetLastErrorString().find(row.fragment), std::string::npos) << vmInfo.GetLastErrorString();
    EXPECT_EQ(vmInfo.GetInstanceType(), row.instanceType);
  }
}

TEST_F(InventoryComponent, NeverLogsAPassword) {
  inventory.WriteTo(InventoryPath());
  InventoryVMInfo vmInfo(VSInstanceVMware);
  std::vector<SHostCredentials> credentials;
  EXPECT_EQ(vmInfo.ConnectToServer(kServer, kAdmin, "Wrong-Pass-9", credentials), 0);
  EXPECT_EQ(vmInfo.ConnectToServer(kServer, kAdmin, kAdminPassword, credentials), 1);
  std::vector<SGuestFile> entries;
  EXPECT_EQ(vmInfo.BrowseGuest(Ctx("linux01", "", "root", "Wrong-Guest-8"), "/", entries), 0);
  EXPECT_EQ(vmInfo.BrowseGuest(unixCtx, "/", entries), 1);
  EXPECT_FALSE(log.sink().Records().empty());
  for (const char* secret : {"Wrong-Pass-9", kAdminPassword, "Wrong-Guest-8", kGuestPassword}) {
    EXPECT_FALSE(log.sink().AnyContains(secret)) << secret;
    EXPECT_EQ(vmInfo.GetLastErrorString().find(secret), std::string::npos);
  }
}

TEST_F(InventoryComponent, LooksUpNothingBeforeConnecting) {
  inventory.WriteTo(InventoryPath());
  InventoryVMInfo vmInfo(VSInstanceVMware);
  VMInfoStructs::SVMInfo info;
  EXPECT_EQ(vmInfo.GetVMInfo("linux01", "4201-unix", kServer, 2, 0, &info), 0);
  EXPECT_EQ(vmInfo.GetLastErrorCode(), Code(VMInfoError::NotConnected));
  EXPECT_NE(vmInfo.GetLastErrorString().find("ConnectToServer must succeed first"), std::string::npos);
  std::vector<SGuestFile> entries;
  EXPECT_EQ(vmInfo.BrowseGuest(unixCtx, "/", entries), 0);
  EXPECT_EQ(vmInfo.GetLastErrorCode(), Code(VMInfoError::NotConnected));
}

TEST_F(InventoryComponent, FillsTheNamedFieldsOfTheVMRecord) {
  unixVm.IpAddresses({"10.0.0.5", "192.0.2.7"});
  InventoryVMInfo& vmInfo = Connected();
  VMInfoStructs::SVMInfo info;
  ASSERT_EQ(vmInfo.GetVMInfo("", "4201-unix", kServer, 34, 0, &info), 1);
  EXPECT_EQ(info.vmName, "linux01");
  EXPECT_EQ(info.vmGuid, "4201-unix");
  EXPECT_EQ(info.hostName, "esx1");
  EXPECT_EQ(info.toolsDescription, "guestToolsRunning");
  EXPECT_EQ(info.toolsStatus, 3);
  EXPECT_EQ(info.powerState, 1);
  EXPECT_EQ(info.guestIpAddress, "10.0.0.5,192.0.2.7");
  EXPECT_EQ(vmInfo.GetLastErrorCode(), 0);
  EXPECT_EQ(vmInfo.GetLastErrorString(), "");
}

TEST_F(InventoryComponent, ReportsPowerAndToolsAsTheInventorySays) {
  unixVm.PoweredOff().Tools(1, "guestToolsNotRunning");
  windowsVm.Suspended();
  InventoryVMInfo& vmInfo = Connected();
  VMInfoStructs::SVMInfo off, suspended;
  ASSERT_EQ(vmInfo.GetVMInfo("linux01", "", kServer, 2, 0, &off), 1);
  ASSERT_EQ(vmInfo.GetVMInfo("win01", "", kServer, 2, 0, &suspended), 1);
  EXPECT_EQ(off.powerState, 0);
  EXPECT_EQ(off.toolsStatus, 1);
  EXPECT_EQ(off.toolsDescription, "guestToolsNotRunning");
  EXPECT_EQ(suspended.powerState, 2);
}

struct LookupRow {
  const char* name;
  const char* guid;
  const char* found;  // VM name, or null when the lookup fails
};

const LookupRow kLookupRows[] = {
    {"linux01", "4202-win", "win01"},  // the GUID decides over the name
    {"", "4202-WIN", "win01"},         // GUIDs compare without regard to letter case
    {"linux01", "", "linux01"},
    {"linux01", "9999-gone", "linux01"},  // an unknown GUID falls back to the name
    {"LINUX01", "", nullptr},             // names compare exactly
    {"nosuchvm", "9999-gone", nullptr},
    {"", "", nullptr},
};

TEST_F(InventoryComponent, FindsAVMByGuidElseByName) {
  InventoryVMInfo& vmInfo = Connected();
  for (const LookupRow& row : kLookupRows) {
    SCOPED_TRACE(std::string(row.name) + " / " + row.guid);
    VMInfoStructs::SVMInfo info;
    const int result = vmInfo.GetVMInfo(row.name, row.guid, kServer, 2, 0, &info);
    if (row.found != nullptr) {
      EXPECT_EQ(result, 1) << vmInfo.GetLastErrorString();
      EXPECT_EQ(info.vmName, row.found);
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(info.powerState, 0);  // the record is left as built
      EXPECT_NE(vmInfo.GetLastErrorCode(), 0);
    }
  }
}

TEST_F(InventoryComponent, SaysWhichVMWasNotFound) {
  InventoryVMInfo& vmInfo = Connected();
  VMInfoStructs::SVMInfo info;
  EXPECT_EQ(vmInfo.GetVMInfo("nosuchvm", "9999-gone", kServer, 2, 0, &info), 0);
  EXPECT_EQ(vmInfo.GetLastErrorCode(), Code(VMInfoError::VMNotFound));
  EXPECT_EQ(vmInfo.GetLastErrorString(), "VM [nosuchvm] [9999-gone] was not found on server [vc1]");
  EXPECT_TRUE(log.sink().AnyContains("VM [nosuchvm] [9999-gone] was not found on server [vc1]"));
}

TEST_F(InventoryComponent, RefusesAnAmbiguousName) {
  server.AddVm("linux01").Guid("4209-twin");
  InventoryVMInfo& vmInfo = Connected();
  VMInfoStructs::SVMInfo info;
  EXPECT_EQ(vmInfo.GetVMInfo("linux01", "", kServer, 2, 0, &info), 0);
  EXPECT_NE(vmInfo.GetLastErrorString().find("Several VMs are named [linux01]"), std::string::npos);
  EXPECT_EQ(vmInfo.GetVMInfo("linux01", "4209-twin", kServer, 2, 0, &info), 1);
}

TEST_F(InventoryComponent, RefusesANullRecord) {
  InventoryVMInfo& vmInfo = Connected();
  EXPECT_EQ(vmInfo.GetVMInfo("linux01", "", kServer, 2, 0, nullptr), 0);
  EXPECT_EQ(vmInfo.GetLastErrorCode(), Code(VMInfoError::BadArgument));
}

TEST_F(InventoryComponent, ClearsTheLastErrorOnSuccess) {
  InventoryVMInfo& vmInfo = Connected();
  VMInfoStructs::SVMInfo info;
  EXPECT_EQ(vmInfo.GetVMInfo("nosuchvm", "", kServer, 2, 0, &info), 0);
  EXPECT_EQ(vmInfo.GetVMInfo("linux01", "", kServer, 2, 0, &info), 1);
  EXPECT_EQ(vmInfo.GetLastErrorCode(), 0);
  EXPECT_EQ(vmInfo.GetLastErrorString(), "");
}

struct PreparationRow {
  const char* description;
  std::function<void(zqtest::InventoryBuilder::Vm&)> setUp;
  int expectedCode;
  const char* expectedText;
};

TEST_F(InventoryComponent, PreparesTheGuestAsTheInventorySays) {
  const std::vector<PreparationRow> rows = {
      {"success", [](auto&) {}, 0, ""},
      {"old host", [](auto& vm) { vm.PreparationFails(14, "Host runs Windows 2012"); }, 14, "Host runs Windows 2012"},
      {"old guest", [](auto& vm) { vm.PreparationFails(15, "Guest runs Windows 2008"); }, 15, "Guest runs Windows 2008"},
      {"services not enabled", [](auto& vm) { vm.PreparationFails(164, "Cannot enable"); }, 164, "Cannot enable"},
      {"no integration services", [](auto& vm) { vm.PreparationFails(218, "Not installed"); }, 218, "Not installed"},
      {"missing services", [](auto& vm) { vm.PreparationFails(219, "Missing: Guest Service"); }, 219,
       "Missing: Guest Service"},
      {"service not running", [](auto& vm) { vm.PreparationFails(220, "Degraded"); }, 220, "Degraded"},
      {"code without text", [](auto& vm) { vm.PreparationFails(219, ""); }, 219,
       "Guest preparation of VM [win01] failed with code 219"},
      {"powered off", [](auto& vm) { vm.PoweredOff(); }, Code(VMInfoError::VMNotPoweredOn),
       "VM [win01] is not powered on; power it on to prepare it for file copy"},
  };
  for (const PreparationRow& row : rows) {
    SCOPED_TRACE(row.description);
    zqtest::InventoryBuilder builder;
    auto& vm = builder.AddServer(kServer).Credential(kAdmin, kAdminPassword).AddVm("win01").Guid("4202-win");
    row.setUp(vm);
    builder.WriteTo(InventoryPath());
    InventoryVMInfo vmInfo(VSInstanceHyperV);
    std::vector<SHostCredentials> credentials;
    ASSERT_EQ(vmInfo.ConnectToServer(kServer, kAdmin, kAdminPassword, credentials), 1);
    EXPECT_EQ(vmInfo.PrepareGuestForFileCopy(windowsCtx), row.expectedCode == 0 ? 1 : 0);
    EXPECT_EQ(vmInfo.GetLastErrorCode(), row.expectedCode);
    EXPECT_EQ(vmInfo.GetLastErrorString(), row.expectedText);
  }
}

TEST_F(InventoryComponent, PreparationOfAnUnknownVMReportsCodeOne) {
  InventoryVMInfo& vmInfo = Connected();
  EXPECT_EQ(vmInfo.PrepareGuestForFileCopy(Ctx("i-0abc", "i-0abc", "")), 0);
  EXPECT_EQ(vmInfo.GetLastErrorCode(), 1);
}

struct GuestRefusalRow {
  const char* description;
  std::function<void(zqtest::InventoryBuilder::Vm&, const zqtest::TempDir&)> setUp;
  GuestCtx ctx;
  VMInfoError expected;
  const char* text;
};

TEST_F(InventoryComponent, RefusesGuestOperationsTheVMCannotTake) {
  const std::vector<GuestRefusalRow> rows = {
      {"unknown VM", [](auto&, auto&) {}, Ctx("ghost", "0000", "root"), VMInfoError::VMNotFound,
       "VM [ghost] [0000] was not found on server [vc1]"},
      {"powered off", [](auto& vm, auto&) { vm.PoweredOff(); }, Ctx("linux01", "", "root"), VMInfoError::VMNotPoweredOn,
       "VM [linux01] is not powered on; power it on for guest operations"},
      {"wrong guest password", [](auto&, auto&) {}, Ctx("linux01", "", "root", "nope"), VMInfoError::GuestLoginRefused,
       "Guest login to VM [linux01] as [root] failed: wrong user name or password"},
      {"wrong guest user", [](auto&, auto&) {}, Ctx("linux01", "", "admin"), VMInfoError::GuestLoginRefused,
       "Guest login to VM [linux01] as [admin] failed: wrong user name or password"},
      {"Unix user in other letter case", [](auto&, auto&) {}, Ctx("linux01", "", "ROOT"), VMInfoError::GuestLoginRefused,
       "as [ROOT] failed"},
      {"no guest login in the inventory", [](auto& vm, auto&) { vm.Set("guestLogin", nullptr); },
       Ctx("linux01", "", "root"), VMInfoError::GuestLoginRefused,
       "VM [linux01] accepts no guest login: the inventory gives it none"},
      {"no guest folder", [](auto& vm, auto&) { vm.Set("guestFolder", nullptr); }, Ctx("linux01", "", "root"),
       VMInfoError::NotSupported, "VM [linux01] has no guest folder in the inventory"},
      {"guest folder missing on disk", [](auto& vm, auto& dir) { vm.Set("guestFolder", dir.Join("gone")); },
       Ctx("linux01", "", "root"), VMInfoError::GuestFileError, "] cannot be opened: No such file or directory"},
  };
  for (const GuestRefusalRow& row : rows) {
    SCOPED_TRACE(row.description);
    unixVm.PoweredOn().UnixGuest(UnixRoot()).GuestLogin("root", kGuestPassword);
    row.setUp(unixVm, tmp);
    InventoryVMInfo& vmInfo = Connected();
    std::vector<SGuestFile> entries;
    EXPECT_EQ(vmInfo.BrowseGuest(row.ctx, "/", entries), 0);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(vmInfo.GetLastErrorCode(), Code(row.expected));
    EXPECT_NE(vmInfo.GetLastErrorString().find(row.text), std::string::npos) << vmInfo.GetLastErrorString();
  }
}

TEST_F(InventoryComponent, AcceptsAWindowsUserNameInAnyLetterCase) {
  InventoryVMInfo& vmInfo = Connected();
  std::vector<SGuestFile> entries;
  EXPECT_EQ(vmInfo.BrowseGuest(Ctx("win01", "4202-win", "administrator"), "", entries), 1) << LastText();
}

TEST_F(InventoryComponent, ChecksTheGuestLoginForEveryGuestOperation) {
  InventoryVMInfo& vmInfo = Connected();
  const GuestCtx wrong = Ctx("linux01", "4201-unix", "root", "nope");
  zqtest::WriteFile(tmp.Join("local.txt"), "data");
  std::vector<SGuestFile> entries;
  std::string path = "/tmp";
  std::string folder;
  SGuestFile attributes;
  const std::vector<std::pair<const char*, std::function<int()>>> operations = {
      {"BrowseGuest", [&] { return vmInfo.BrowseGuest(wrong, "/", entries); }},
      {"BrowseGuestFolders", [&] { return vmInfo.BrowseGuestFolders(wrong, "/", entries); }},
      {"CreateGuestFolder", [&] { return vmInfo.CreateGuestFolder(wrong, "/x"); }},
      {"CopyFileToGuest", [&] { return vmInfo.CopyFileToGuest(wrong, tmp.Join("local.txt"), "/x.txt", true); }},
      {"CopyDirectoryToGuest", [&] { return vmInfo.CopyDirectoryToGuest(wrong, tmp.path(), "/x", true); }},
      {"CopyFileFromGuest", [&] { return vmInfo.CopyFileFromGuest(wrong, "/x.txt", tmp.Join("back.txt")); }},
      {"ChangeGuestFileAttributes", [&] { return vmInfo.ChangeGuestFileAttributes(wrong, "/", attributes); }},
      {"GetGuestTempFolder", [&] { return vmInfo.GetGuestTempFolder(wrong, folder); }},
      {"DeleteDirectoryInGuest", [&] { return vmInfo.DeleteDirectoryInGuest(wrong, path); }},
  };
  for (const auto& [name, operation] : operations) {
    SCOPED_TRACE(name);
    EXPECT_EQ(operation(), 0);
    EXPECT_EQ(LastCode(), Code(VMInfoError::GuestLoginRefused));
  }
  EXPECT_FALSE(vminfotest::Exists(UnixRoot() + "/x"));
  EXPECT_FALSE(vminfotest::Exists(UnixRoot() + "/x.txt"));
  EXPECT_FALSE(vminfotest::Exists(UnixRoot() + "/tmp"));
  EXPECT_TRUE(entries.empty());
}

TEST_F(InventoryComponent, DoesNotRunProgramsInTheGuest) {
  InventoryVMInfo& vmInfo = Connected();
  int exitCode = 5;
  long processId = 42;
  bool running = true;
  EXPECT_EQ(vmInfo.ExecuteScriptInGuest(unixCtx, "echo hi", 10), 0);
  EXPECT_EQ(LastCode(), Code(VMInfoError::NotSupported));
  EXPECT_EQ(vmInfo.ExecuteProcessInGuest(unixCtx, "/bin/true", "", "/", 10, exitCode), 0);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(vmInfo.IsProcessRunningInGuest(unixCtx, "sshd", processId, running), 0);
  EXPECT_FALSE(running);
  EXPECT_EQ(processId, 42);
  EXPECT_NE(LastText().find("not supported"), std::string::npos);
}

TEST_F(InventoryComponent, SurvivesAnInventoryThatBreaksAfterConnecting) {
  InventoryVMInfo& vmInfo = Connected();
  zqtest::WriteFile(InventoryPath(), "{ \"servers\": [ { \"name\": ");
  VMInfoStructs::SVMInfo info;
  EXPECT_EQ(vmInfo.GetVMInfo("linux01", "", kServer, 2, 0, &info), 0);
  EXPECT_EQ(LastCode(), Code(VMInfoError::InventoryUnusable));
  EXPECT_NE(LastText().find("is not valid JSON"), std::string::npos) << LastText();
  std::vector<SGuestFile> entries;
  EXPECT_EQ(vmInfo.BrowseGuest(unixCtx, "/", entries), 0);
  ::unlink(InventoryPath().c_str());
  EXPECT_EQ(vmInfo.PrepareGuestForFileCopy(unixCtx), 0);
  EXPECT_NE(LastText().find("cannot be read"), std::string::npos) << LastText();
}

TEST_F(InventoryComponent, ReportsAMissingInventoryWhenConnecting) {
  settings.Erase("VirtualServer", "InventoryFile");
  InventoryVMInfo vmInfo(VSInstanceVMware);
  std::vector<SHostCredentials> credentials;
  EXPECT_EQ(vmInfo.ConnectToServer(kServer, kAdmin, kAdminPassword, credentials), 0);
  EXPECT_EQ(vmInfo.GetLastErrorCode(), Code(VMInfoError::InventoryUnusable));
  EXPECT_NE(vmInfo.GetLastErrorString().find("InventoryFile in section VirtualServer"), std::string::npos);
}

TEST_F(InventoryComponent, AFailedReconnectDropsTheConnection) {
  InventoryVMInfo& vmInfo = Connected();
  std::vector<SHostCredentials> credentials;
  EXPECT_EQ(vmInfo.ConnectToServer(kServer, kAdmin, "wrong", credentials), 0);
  VMInfoStructs::SVMInfo info;
  EXPECT_EQ(vmInfo.GetVMInfo("linux01", "", kServer, 2, 0, &info), 0);
  EXPECT_EQ(LastCode(), Code(VMInfoError::NotConnected));
}

}  // namespace
