// The KVM back-end of the VM-information component: lookups through libvirt's test driver
// (test:///default, a built-in host with one running domain "test"), and the component's guest
// operations over a real qemu-ga reached through its socket.
#include <libvirt/libvirt.h>

#include <gtest/gtest.h>

#include "guestapi/GuestTypes.h"
#include "hypervisor/LibvirtVMInfo.h"
#include "hypervisor/VMInfoFactory.h"
#include "support/Credentials.h"
#include "support/TestSupport.h"
#include "testbeds/qemu-ga/GuestAgentFixture.h"

namespace {

constexpr const char* kTestHost = "test:///default";

GuestCtx Guest(const std::string& name, const std::string& user, const std::string& password) {
  return zqtest::MakeGuestCtx(name, user, password);
}

TEST(LibvirtLookup, FindsADomainByNameOrUuidAndReportsItsPowerState) {
  LibvirtVMInfo vmInfo(VSInstanceLibvirt);
  std::vector<SHostCredentials> credentials;
  ASSERT_EQ(vmInfo.ConnectToServer(kTestHost, "", "", credentials), 1) << vmInfo.GetLastErrorString();
  VMInfoStructs::SVMInfo byName;
  ASSERT_EQ(vmInfo.GetVMInfo("test", "", "", 34, 0, &byName), 1) << vmInfo.GetLastErrorString();
  EXPECT_EQ(byName.vmName, "test");
  EXPECT_EQ(byName.powerState, 1);
  EXPECT_FALSE(byName.hostName.empty());
  EXPECT_EQ(byName.vmGuid.size(), 36u);
  EXPECT_EQ(byName.toolsDescription, "guestAgentNotRunning") << "the test driver has no agent";
  VMInfoStructs::SVMInfo byUuid;
  ASSERT_EQ(vmInfo.GetVMInfo("another name", byName.vmGuid, "", 34, 0, &byUuid), 1);
  EXPECT_EQ(byUuid.vmName, "test");

  // The test driver's host is shared within the process: pause the domain from outside.
  virConnectPtr own = virConnectOpen(kTestHost);
  ASSERT_NE(own, nullptr);
  virDomainPtr domain = virDomainLookupByName(own, "test");
  ASSERT_NE(domain, nullptr);
  ASSERT_EQ(virDomainSuspend(domain), 0);
  VMInfoStructs::SVMInfo paused;
  EXPECT_EQ(vmInfo.GetVMInfo("test", "", "", 34, 0, &paused), 1);
  EXPECT_EQ(paused.powerState, 2);
  std::vector<VMInfoStructs::SGuestFile> entries;
  EXPECT_EQ(vmInfo.BrowseGuest(Guest("test", "root", ""), "/", entries), 0);
  EXPECT_NE(vmInfo.GetLastErrorString().find("is not running"), std::string::npos) << vmInfo.GetLastErrorString();
  ASSERT_EQ(virDomainResume(domain), 0);
  virDomainFree(domain);
  virConnectClose(own);
}

struct Refusal {
  const char* name;
  const char* server;
  const char* vm;
  const char* expectedText;  // part of the component's error text, libvirt's own words included
};

class LibvirtRefusals : public testing::TestWithParam<Refusal> {};

TEST_P(LibvirtRefusals, CarryLibvirtsOwnMessage) {
  const Refusal& row = GetParam();
  LibvirtVMInfo vmInfo(VSInstanceLibvirt);
  std::vector<SHostCredentials> credentials;
  const int connected = vmInfo.ConnectToServer(row.server, "admin", "libvirt-Secret-9", credentials);
  if (connected == 1) {
    VMInfoStructs::SVMInfo info;
    EXPECT_EQ(vmInfo.GetVMInfo(row.vm, "", "", 34, 0, &info), 0);
  }
  EXPECT_NE(vmInfo.GetLastErrorString().find(row.expectedText), std::string::npos) << vmInfo.GetLastErrorString();
  EXPECT_EQ(vmInfo.GetLastErrorString().find("libvirt-Secret-9"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Libvirt, LibvirtRefusals,
    testing::Values(Refusal{"UnknownDomain", kTestHost, "no-such-vm", "Domain not found"},
                    Refusal{"UnknownScheme", "nosuchdriver:///system", "", "Cannot connect to libvirt at [nosuchdriver:///system]"},
                    Refusal{"MissingAgentSocket", "unix:/nonexistent/agent.sock", "", "does not exist"},
                    Refusal{"EmptyServer", "", "", "No libvirt URI"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(LibvirtFactory, InstanceType701GetsTheLibvirtBackEndAndOthersTheInventory) {
  IVMInfo* kvm = nullptr;
  ASSERT_EQ(CreateVMInfoObject(701, &kvm), 1);
  EXPECT_EQ(kvm->GetInstanceType(), 701);
  std::vector<SHostCredentials> credentials;
  EXPECT_EQ(kvm->ConnectToServer(kTestHost, "", "", credentials), 1) << kvm->GetLastErrorString();
  IVMInfo* vmware = nullptr;
  ASSERT_EQ(CreateVMInfoObject(101, &vmware), 1);
  EXPECT_EQ(vmware->ConnectToServer(kTestHost, "", "", credentials), 0) << "the inventory knows no such server";
}

class AgentSocketComponent : public testing::Test {
 protected:
  void StartAgent(const std::vector<std::string>& blocked = {}) {
    agent = std::make_unique<kvmtest::GuestAgent>(dir.path(), blocked);
    std::string problem;
    ASSERT_TRUE(agent->Start(problem)) << problem;
    std::vector<SHostCredentials> credentials;
    ASSERT_EQ(vmInfo.ConnectToServer("unix:" + agent->socketPath(), "", "", credentials), 1)
        << vmInfo.GetLastErrorString();
  }

  zqtest::TempDir dir;
  std::unique_ptr<kvmtest::GuestAgent> agent;
  LibvirtVMInfo vmInfo{VSInstanceLibvirt};
};

TEST_F(AgentSocketComponent, DescribesTheGuestFromItsAgent) {
  StartAgent();
  VMInfoStructs::SVMInfo info;
  ASSERT_EQ(vmInfo.GetVMInfo("vm1", "guid-1", "", 34, 0, &info), 1) << vmInfo.GetLastErrorString();
  EXPECT_EQ(info.vmName, "vm1");
  EXPECT_EQ(info.powerState, 1);
  EXPECT_EQ(info.toolsStatus, 2);
  EXPECT_EQ(info.toolsDescription, "guestAgentRunning");
}

TEST_F(AgentSocketComponent, GuestLoginIsNotCheckedAndTheLogSaysSoOnce) {
  StartAgent();
  zqtest::ScopedSettings settings;  // the note is a debug line
  zqtest::ScopedLogCapture log;
  std::vector<VMInfoStructs::SGuestFile> entries;
  ASSERT_EQ(vmInfo.BrowseGuest(Guest("vm1", "nobody", "wrong password"), dir.path(), entries), 1)
      << vmInfo.GetLastErrorString();
  ASSERT_EQ(vmInfo.CreateGuestFolder(Guest("vm1", "nobody", "wrong password"), dir.Join("made")), 1);
  int notes = 0;
  for (const std::string& text : log.sink().Texts()) {
    if (text.find("Guest login [nobody] is not checked on VM [vm1]") != std::string::npos) ++notes;
    EXPECT_EQ(text.find("wrong password"), std::string::npos);
  }
  EXPECT_EQ(notes, 1);
}

// A digest request names one to sixteen files: the bound itself is taken, one more or none is not.
TEST_F(AgentSocketComponent, DigestRequestsNameOneToSixteenFiles) {
  StartAgent();
  zqtest::WriteFile(dir.Join("f"), "abc");
  const auto guest = Guest("vm1", "root", "");
  std::vector<std::string> digests;
  EXPECT_EQ(vmInfo.HashGuestFiles(guest, std::vector<std::string>(16, dir.Join("f")), digests), 1)
      << vmInfo.GetLastErrorString();
  EXPECT_EQ(digests.size(), 16u);
  EXPECT_EQ(vmInfo.HashGuestFiles(guest, std::vector<std::string>(17, dir.Join("f")), digests), 0);
  EXPECT_TRUE(digests.empty());
  EXPECT_EQ(vmInfo.HashGuestFiles(guest, {}, digests), 0);
}

TEST_F(AgentSocketComponent, PreparationNamesTheBlockedCommandsAndTheAgentSetting) {
  StartAgent({"guest-file-open"});
  EXPECT_EQ(vmInfo.PrepareGuestForFileCopy(Guest("vm1", "root", "")), 0);
  EXPECT_EQ(vmInfo.GetLastErrorCode(), static_cast<int>(VMInfoError::GuestAgent));
  EXPECT_NE(vmInfo.GetLastErrorString().find("does not allow guest-file-open"), std::string::npos)
      << vmInfo.GetLastErrorString();
  EXPECT_NE(vmInfo.GetLastErrorString().find("block-rpcs"), std::string::npos);
  std::vector<VMInfoStructs::SGuestFile> entries;
  EXPECT_EQ(vmInfo.BrowseGuest(Guest("vm1", "root", ""), dir.path(), entries), 0) << "no operation before the check passes";
}

}  // namespace
