// Loading the VM-information component, connecting it, and what a failure leaves behind.
#include <dlfcn.h>

#include <regex>

#include "DlTracking.h"
#include "JobOptionsFixture.h"
#include "support/Credentials.h"

namespace jobopts {
namespace {

class VMInfoConnection : public JobOptionsTest {
 protected:
  // Calls the connection directly, as GetJobOptions does through the interface.
  bool Connect(const std::string& server, const std::string& user, const std::string& password, int instanceId) {
    WriteConfiguration();
    m_controller.Init(&m_initData, &m_initDataVer2, &m_setParams, &m_job, &m_jobCtrl, "client-a");
    IVSAgentlessRestoreToVM& host = m_controller;
    return host.PrepareVMInfoObject(server, user, password, instanceId);
  }

  // The one handle of libVMInfo.so that the operation opened.
  void* OnlyOpenedHandle() {
    const std::vector<dltracking::OpenCall> opens = dltracking::VMInfoOpens();
    EXPECT_EQ(opens.size(), 1u);
    return opens.empty() ? nullptr : opens.front().handle;
  }
};

TEST_F(VMInfoConnection, LoadsTheComponentByNameWithLazyBinding) {
  ASSERT_TRUE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
  const std::vector<dltracking::OpenCall> opens = dltracking::VMInfoOpens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].name, "libVMInfo.so");
  EXPECT_EQ(opens[0].flags, RTLD_LAZY);
  const std::vector<nlohmann::json> creates = ComponentCalls("create");
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0]["instanceType"], 101);
  EXPECT_TRUE(Logged(kPrepareVMInfoOrigin, "instanceType [101]"));
}

TEST_F(VMInfoConnection, SuccessKeepsTheLibraryLoadedAndTheObjectSet) {
  ASSERT_TRUE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
  void* handle = OnlyOpenedHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(dltracking::CloseCount(handle), 0);
  EXPECT_NE(m_controller.vmInfo(), nullptr);
  EXPECT_TRUE(Logged(kPrepareVMInfoOrigin, "Connected to server [vc-request]."));
}

TEST_F(VMInfoConnection, FailedConnectionClosesTheLibraryAndClearsTheObject) {
  m_behaviour["connectAccepted"] = false;
  EXPECT_FALSE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
  void* handle = OnlyOpenedHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(dltracking::CloseCount(handle), 1);
  EXPECT_EQ(m_controller.vmInfo(), nullptr);
}

TEST_F(VMInfoConnection, FailedFactoryClosesTheLibraryAndClearsWhatItLeft) {
  m_behaviour["createFails"] = true;
  EXPECT_FALSE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
  EXPECT_EQ(dltracking::CloseCount(OnlyOpenedHandle()), 1);
  EXPECT_EQ(m_controller.vmInfo(), nullptr);
}

TEST_F(VMInfoConnection, InstanceTypeIsWrittenBackOnlyAfterConnecting) {
  m_initDataVer2.instanceType = 555;
  ASSERT_TRUE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
  EXPECT_EQ(m_initDataVer2.instanceType, 101);
}

TEST_F(VMInfoConnection, FailedConnectionLeavesTheHostsInstanceType) {
  m_initDataVer2.instanceType = 555;
  m_behaviour["connectAccepted"] = false;
  EXPECT_FALSE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
  EXPECT_EQ(m_initDataVer2.instanceType, 555);
}

TEST_F(VMInfoConnection, UnreadableApplicationSettingsLoadNothing) {
  m_appConfig["applications"][1].erase("instance");
  EXPECT_FALSE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
  EXPECT_TRUE(dltracking::VMInfoOpens().empty());
  EXPECT_TRUE(ControllerErrorLines().empty());
  EXPECT_TRUE(PendingCauses().empty());
}

TEST_F(VMInfoConnection, ApplicationWithoutParentUsesItsOwnSettings) {
  m_initData.initAppId = 1000;
  ASSERT_TRUE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
}

TEST_F(VMInfoConnection, AllThreeGivenKeepsThemAndStillHandsOverTheList) {
  ASSERT_TRUE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
  const std::vector<nlohmann::json> connects = ComponentCalls("connect");
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0]["server"], "vc-request");
  EXPECT_EQ(connects[0]["user"], "req-admin");
  EXPECT_EQ(connects[0]["password"], kRequestServerPassword);
  ASSERT_EQ(connects[0]["credentials"].size(), 1u);
  EXPECT_EQ(connects[0]["credentials"][0]["serverName"], "vc-stored");
}

TEST_F(VMInfoConnection, InstanceIdReloadsTheListFromThatInstance) {
  ASSERT_TRUE(Connect("", "", "", kClientInstanceId));
  const std::vector<nlohmann::json> connects = ComponentCalls("connect");
  ASSERT_EQ(connects.size(), 1u);
  // The three values come from the application's settings, the list from the instance's.
  EXPECT_EQ(connects[0]["server"], "vc-stored");
  EXPECT_EQ(connects[0]["password"], kAppStoredPassword);
  ASSERT_EQ(connects[0]["credentials"].size(), 1u);
  EXPECT_EQ(connects[0]["credentials"][0]["serverName"], "vc-instance8");
}

TEST_F(VMInfoConnection, NoStoredCredentialsLeaveEmptyInputsEmpty) {
  m_appConfig["instances"][0]["credentials"] = nlohmann::json::array();
  ASSERT_TRUE(Connect("vc-request", "", kRequestServerPassword, 0));
  const std::vector<nlohmann::json> connects = ComponentCalls("connect");
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0]["server"], "vc-request");
  EXPECT_EQ(connects[0]["user"], "");
}

TEST_F(VMInfoConnection, ConnectionBeforeTheJobRecordsIsRefusedNotCrashed) {
  IVSAgentlessRestoreToVM& host = m_controller;
  EXPECT_FALSE(host.PrepareVMInfoObject("vc-request", "req-admin", kRequestServerPassword, 0));
  EXPECT_EQ(ControllerErrorLines(),
            std::vector<ErrorLine>({{kPrepareVMInfoOrigin, "Connection requested before the job records were set"}}));
  EXPECT_TRUE(dltracking::VMInfoOpens().empty());
}

TEST_F(VMInfoConnection, MissingLibraryIsLoggedWithoutJobMessage) {
  dltracking::RedirectVMInfo(m_dir.Join("no-such-dir/libVMInfo.so"));
  EXPECT_FALSE(RunGetJobOptions());
  const std::vector<ErrorLine> lines = ControllerErrorLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].origin, kPrepareVMInfoOrigin);
  // The number is errno, which the loader does not always set.
  EXPECT_TRUE(std::regex_match(lines[0].text, std::regex("Failed to load VMInfo\\.dll, [0-9]+")))
      << lines[0].text;
  EXPECT_TRUE(PendingCauses().empty());
  EXPECT_EQ(m_controller.vmInfo(), nullptr);
}

TEST_F(VMInfoConnection, LibraryWithoutFactoryIsClosedAgain) {
  dltracking::RedirectVMInfo(ZQ_NO_FACTORY_LIBRARY);
  EXPECT_FALSE(RunGetJobOptions());
  EXPECT_EQ(ControllerErrorLines(),
            std::vector<ErrorLine>({{kPrepareVMInfoOrigin, "Failed to find CreateVMInfoObject in VMInfo.dll"}}));
  void* handle = OnlyOpenedHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(dltracking::CloseCount(handle), 1);
  EXPECT_TRUE(PendingCauses().empty());
}

TEST_F(VMInfoConnection, GuestChannelIsCreatedForTheController) {
  ASSERT_TRUE(Connect("vc-request", "req-admin", kRequestServerPassword, 0));
  GuestCtx ctx = zqtest::MakeGuestCtx("vm-one", "guest-user", kGuestPassword, "guid-1");
  EXPECT_TRUE(m_controller.PrepareGuestAPIObject(ctx));
  EXPECT_NE(m_controller.guestAPI(), nullptr);
  EXPECT_TRUE(Logged(kPrepareGuestAPIOrigin, "Created GuestAPI object"));
  EXPECT_TRUE(PendingCauses().empty());
}

}  // namespace
}  // namespace jobopts
