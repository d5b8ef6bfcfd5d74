#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "guestapi/ZQGuestAPI.h"
#include "platform/FXFile.h"
#include "support/Credentials.h"
#include "support/RefusingVMInfo.h"
#include "support/TestSupport.h"

namespace {

using zqtest::ScopedEnv;
using zqtest::ScopedLogCapture;
using zqtest::ScopedSettings;
using zqtest::TempDir;

// A VM-information object that reports one hypervisor kind and, when asked, one VM.
class FakeVMInfo : public zqtest::RefusingVMInfo {
 public:
  VirtualServerInstanceType GetInstanceType() override { return type; }
  int GetVMInfo(const std::string&, const std::string&, const std::string&, int64_t flags, int,
                VMInfoStructs::SVMInfo* info) override {
    ++lookups;
    lastFlags = flags;
    if (!found) return 0;
    info->powerState = powerState;
    info->guestIpAddress = address;
    return 1;
  }

  VirtualServerInstanceType type = VSInstanceHyperV;
  bool found = true;
  int powerState = 1;
  std::string address = "10.9.9.9";
  int lookups = 0;
  int64_t lastFlags = 0;
};

// A base folder whose zqplink.exe answers the probes as a chosen guest and records every call.
class ChannelSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string tool = m_base.Join("zqplink.exe");
    ASSERT_EQ(symlink(ZQ_FAKE_PROBE_TOOL, tool.c_str()), 0);
    m_settings.Set("Base", "dBASEHOME", m_base.path());
    m_ctx = zqtest::MakeGuestCtx("vm1", "admin", "Pw-Selection-42", "guid-1", "server");
  }

  std::vector<std::string> ProbeCalls() const {
    return FXString::Split(zqtest::ReadFile(m_base.Join("calls")), "\n", FXString::SkipEmpty);
  }

  bool Select(bool preferNative = false) { return CreateGuestAPIObject(&m_vmInfo, m_ctx, m_channel, m_error, preferNative); }

  TempDir m_base;
  ScopedSettings m_settings;
  ScopedEnv m_log{"FAKE_PROBE_LOG", m_base.Join("calls")};
  ScopedEnv m_address{"FAKE_GUEST_ADDRESS", "10.9.9.9"};
  ScopedEnv m_os{"FAKE_GUEST_OS", "linux"};
  FakeVMInfo m_vmInfo;
  GuestCtx m_ctx;
  std::unique_ptr<IGuestAPI> m_channel;
  std::string m_error;
  ScopedLogCapture m_capture;
};

TEST_F(ChannelSelection, AllowedFamiliesFollowKindAndSetting) {
  struct Row {
    VirtualServerInstanceType type;
    const char* setting;  // null: absent
    bool commandChannels;
    bool native;
  } rows[] = {{VSInstanceNoNativeGuestOps, nullptr, true, false}, {VSInstanceNoNativeGuestOps, "false", false, false},
              {VSInstanceNoNativeGuestOps, "true", true, false},  {VSInstanceVMware, nullptr, false, true},
              {VSInstanceVMware, "true", true, true},              {VSInstanceHyperV, nullptr, false, true},
              {VSInstanceHyperV, "TRUE", true, true},              {VSInstanceCloudS3, "false", false, true}};
  for (const Row& row : rows) {
    if (row.setting != nullptr) {
      m_settings.Set("VirtualServer", "UseZQGuestAPI", row.setting);
    } else {
      m_settings.Erase("VirtualServer", "UseZQGuestAPI");
    }
    EXPECT_EQ(IGuestAPI::ZqGuestAPISupport(row.type), row.commandChannels) << row.type;
    EXPECT_EQ(IGuestAPI::NativeGuestAPISupport(row.type), row.native) << row.type;
  }
}

TEST_F(ChannelSelection, NullComponentIsRefusedAndLeavesOutputsAlone) {
  m_error = "before";
  EXPECT_FALSE(CreateGuestAPIObject(nullptr, m_ctx, m_channel, m_error, false));
  EXPECT_EQ(m_error, "before");
  EXPECT_TRUE(m_capture.sink().Contains("invalid vminfo object"));
}

TEST_F(ChannelSelection, HyperVWithoutSettingGetsTheNativeChannelWithoutContactingTheGuest) {
  m_vmInfo.type = VSInstanceHyperV;
  ASSERT_TRUE(Select());
  ASSERT_TRUE(m_channel);
  EXPECT_FALSE(m_channel->IsZqGuestAPI());
  EXPECT_EQ(m_vmInfo.lookups, 0);
  EXPECT_TRUE(ProbeCalls().empty());
  EXPECT_TRUE(m_capture.sink().Contains("Using ZQVMInfoGuestAPI interface"));
}

TEST_F(ChannelSelection, HyperVWithSettingAndPoweredOffVMFallsBackToNativeKeepingTheText) {
  m_settings.Set("VirtualServer", "UseZQGuestAPI", "true");
  m_vmInfo.powerState = 0;
  ASSERT_TRUE(Select());
  EXPECT_FALSE(m_channel->IsZqGuestAPI());
  EXPECT_EQ(m_error, "VM is not powered on. Please power on the VM");
  EXPECT_EQ(m_vmInfo.lastFlags, 34);
  EXPECT_TRUE(m_capture.sink().Contains("VM [vm1][guid-1] not powered on"));
}

TEST_F(ChannelSelection, KindWithoutNativeOperationsUsesTheUnixChannelAfterTheWindowsProbe) {
  m_vmInfo.type = VSInstanceNoNativeGuestOps;
  m_vmInfo.address = "10.1.1.1,10.9.9.9";
  ASSERT_TRUE(Select());
  ASSERT_TRUE(m_channel);
  EXPECT_TRUE(m_channel->IsZqGuestAPI());
  EXPECT_TRUE(m_capture.sink().Contains("Using ZQUnixGuestAPI interface"));
  const std::vector<std::string> calls = ProbeCalls();
  ASSERT_FALSE(calls.empty());
  EXPECT_NE(calls.front().find("systeminfo"), std::string::npos) << "Windows is probed first";
  EXPECT_NE(calls.back().find("10.9.9.9"), std::string::npos);
  EXPECT_NE(calls.back().find("uname"), std::string::npos);
}

TEST_F(ChannelSelection, GuestThatAnswersTheWindowsProbeIsNeverProbedForUnix) {
  m_vmInfo.type = VSInstanceNoNativeGuestOps;
  ScopedEnv windows("FAKE_GUEST_OS", "windows");
  ASSERT_TRUE(Select());
  EXPECT_TRUE(m_capture.sink().Contains("Using ZQWinGuestAPI interface"));
  for (const std::string& call : ProbeCalls()) EXPECT_EQ(call.find("uname"), std::string::npos) << call;
}

TEST_F(ChannelSelection, KindWithoutNativeOperationsFailsWithTheHintWhenNoChannelAnswers) {
  m_vmInfo.type = VSInstanceNoNativeGuestOps;
  ScopedEnv unreachable("FAKE_GUEST_ADDRESS", "10.0.0.254");
  EXPECT_FALSE(Select());
  EXPECT_FALSE(m_channel);
  const std::string hint =
      "1.Please check guest VM login credentials.\n2.For linux guest VM, enable ssh access.\n3.While using linux access "
      "node to restore to windows guest, please make sure ssh is installed and enabled on windows guest.\n";
  EXPECT_EQ(m_error.rfind(hint, 0), 0u) << m_error;
  EXPECT_TRUE(m_capture.sink().AnyContains("Init failed " + hint));
  EXPECT_FALSE(m_capture.sink().AnyContains("Pw-Selection-42"));
}

TEST_F(ChannelSelection, KindWithoutNativeOperationsAndSettingFalseTriesNothing) {
  m_vmInfo.type = VSInstanceNoNativeGuestOps;
  m_settings.Set("VirtualServer", "UseZQGuestAPI", "false");
  EXPECT_FALSE(Select());
  EXPECT_EQ(m_error, "");
  EXPECT_EQ(m_vmInfo.lookups, 0);
  EXPECT_TRUE(m_capture.sink().Contains("Init failed "));
}

TEST_F(ChannelSelection, LookupFailuresGiveTheirTexts) {
  m_vmInfo.type = VSInstanceNoNativeGuestOps;
  struct Row {
    bool found;
    std::string user;
    std::string address;
    std::string error;
  } rows[] = {
      {false, "admin", "10.9.9.9", "Failed to find VM: vm1 guid-1\n"},
      {true, "", "10.9.9.9", "Invalid login credentials"},
      {true, "admin", "", "Couldn't get guest IP address. Please make sure network is configured"},
      {true, "", "", "Invalid login credentialsCouldn't get guest IP address. Please make sure network is configured"},
  };
  for (const Row& row : rows) {
    m_vmInfo.found = row.found;
    m_ctx.userName = row.user;
    m_vmInfo.address = row.address;
    m_error.clear();
    EXPECT_FALSE(Select());
    EXPECT_EQ(m_error, row.error);
  }
  EXPECT_TRUE(m_capture.sink().Contains("Either UserName[1] or IpAddr[1] is empty"));
  EXPECT_TRUE(ProbeCalls().empty());
}

TEST_F(ChannelSelection, PreferNativeTriesTheNativeChannelFirst) {
  m_settings.Set("VirtualServer", "UseZQGuestAPI", "true");
  m_vmInfo.type = VSInstanceVMware;
  ASSERT_TRUE(Select(true));
  EXPECT_FALSE(m_channel->IsZqGuestAPI());
  EXPECT_EQ(m_vmInfo.lookups, 0);
}

}  // namespace
