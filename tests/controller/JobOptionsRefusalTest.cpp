// Every refusal of the job options and of the component connection: its error line, and the
// code and job arguments (in order) posted to the job, or that nothing was posted.
#include <functional>

#include "DlTracking.h"
#include "JobOptionsFixture.h"

namespace jobopts {
namespace {

struct RefusalRow {
  const char* name;
  std::function<void(nlohmann::json& request, nlohmann::json& behaviour, nlohmann::json& appConfig)> arrange;
  std::vector<ErrorLine> errorLines;  // the controller's error lines, exactly
  int code;                           // 0: no pending cause
  std::vector<std::string> arguments;
};
void PrintTo(const RefusalRow& row, std::ostream* out) { *out << row.name; }

const std::string kPrepText = "Guest tools reported failure code";

void PrepareFailsOn(nlohmann::json& behaviour, int code) {
  behaviour["prepareErrorCode"] = code;
  behaviour["prepareErrorText"] = kPrepText;
}

void SetType(nlohmann::json& behaviour, nlohmann::json& appConfig, int type) {
  appConfig["instances"][0]["type"] = type;
  behaviour["instanceType"] = type;
}

ErrorLine JobLine(const std::string& text) { return {kGetJobOptionsOrigin, text}; }
ErrorLine ConnectLine(const std::string& text) { return {kPrepareVMInfoOrigin, text}; }

const std::string kHyperVNotInstalled =
    "VM [vm-one] [guid-1] does not have Hyper-V Integration services installed.  Restore to the VM cannot continue.";
const std::string kPrepareInstanceLine = "Failed to prepare Instance [vm-one] for guest file restore";

const RefusalRow kRefusals[] = {
    {"ClientIdNeededButAbsent",
     [](nlohmann::json& request, nlohmann::json&, nlohmann::json&) {
       request["vmFileLevelRestore"]["instanceEntity"] = nlohmann::json::object();
     },
     {JobLine("Destination clientId is not set in request")},
     0,
     {}},
    {"InstanceIdLookupFails",
     [](nlohmann::json& request, nlohmann::json&, nlohmann::json&) {
       request["vmFileLevelRestore"]["instanceEntity"] = {{"clientId", 99}};
     },
     {},
     0,
     {}},
    {"VMNotFound",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json&) {
       behaviour["vm"]["found"] = false;
     },
     {JobLine("Failed to find VM [vm-one] [guid-1]")},
     0x5B0000C0,
     {"vm-one"}},
    {"VMNotPoweredOn",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json&) {
       behaviour["vm"]["powerState"] = 0;
     },
     {JobLine("VM [vm-one] [guid-1] is not powered on.  Restore to the VM cannot continue.")},
     0x5B0000C1,
     {"vm-one"}},
    {"VMwareToolsNotInstalled",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json&) {
       behaviour["vm"].erase("toolsStatus");  // the record's default, 99
     },
     {JobLine("VM [vm-one] [guid-1] does not have VMware tools installed.  Restore to the VM cannot continue.")},
     0x5B0000C2,
     {"vm-one"}},
    {"VMwareGuestBrowseFails",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json&) {
       behaviour["vm"]["toolsStatus"] = 3;
       behaviour["browseSucceeds"] = false;
     },
     {JobLine("Unable to connect to guest VM [vm-one] as [guest-user].")},
     0x5B0000C3,
     {"vm-one", "guest-user"}},
    {"HyperVHostOSTooOld",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 102);
       PrepareFailsOn(behaviour, 14);
     },
     {JobLine("Host operating system for VM [vm-one] [guid-1] is not supported for file level restore. Host "
              "operating system must be Windows 2012r2 or greater")},
     0x5B000129,
     {"vm-one", kPrepText}},
    {"HyperVIntegrationServicesMissing",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 102);
       PrepareFailsOn(behaviour, 218);
     },
     {JobLine(kHyperVNotInstalled)},
     0x4800006A,
     {"Virtual machine [vm-one] does not have Hyper-V Integration services installed."}},
    {"HyperVGuestOSTooOld",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 102);
       PrepareFailsOn(behaviour, 15);
     },
     {JobLine("VM [vm-one] guest operating system is not supported for file level restore. VM operating system "
              "must be Windows 2008r2 SP1 or greater")},
     0x5B00012A,
     {"vm-one", kPrepText}},
    {"HyperVIntegrationServicesIncomplete",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 102);
       PrepareFailsOn(behaviour, 219);
     },
     {JobLine("VM [vm-one] [guid-1] does not have required Hyper-V Integration services.  Restore to the VM "
              "cannot continue.")},
     0x4800006A,
     {"Virtual machine [vm-one] does not have required Hyper-V Integration services. " + kPrepText}},
    {"HyperVGuestServiceNotWorking",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 102);
       PrepareFailsOn(behaviour, 220);
     },
     {JobLine("VM [vm-one] [guid-1] guest service is neither functional nor operating normally.  Restore to the "
              "VM cannot continue.")},
     0x4800006A,
     {"Virtual machine [vm-one] guest service is neither functional nor operating normally. Make sure that guest "
      "service is functional and operating normally."}},
    {"HyperVGuestServicesNotEnabled",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 102);
       PrepareFailsOn(behaviour, 164);
     },
     {JobLine("Fail to enable guest services on VM [vm-one] [guid-1]. Restore to the VM cannot continue.")},
     0x4800006A,
     {"Fail to enable guest services on VM[vm-one]. does not have Hyper-V Integration services installed."}},
    {"HyperVOtherPreparationFailure",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 102);
       PrepareFailsOn(behaviour, 77);
     },
     {JobLine("Fail to check status of guest file integration service inside guest VM [vm-one] [guid-1].  Restore "
              "to the VM cannot continue.")},
     0x4800006A,
     {"Fail to check status of guest file integration service inside guest VM [vm-one] Restore to the VM cannot "
      "continue."}},
    {"CloudInstanceNotPrepared",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 301);
       PrepareFailsOn(behaviour, 220);
     },
     {JobLine(kPrepareInstanceLine)},
     0x4800006A,
     {"For Instance [vm-one]," + kPrepText}},
    {"CloudBucketNotInitialised",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 301);
       PrepareFailsOn(behaviour, 164);
     },
     {JobLine(kPrepareInstanceLine)},
     0x4800006A,
     {"Failed to initialize S3 bucket for Guest File restore."}},
    {"CloudInstanceNotFound",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 301);
       PrepareFailsOn(behaviour, 1);
     },
     {JobLine(kPrepareInstanceLine)},
     0x5B0000C0,
     {"vm-one"}},
    {"CloudOtherPreparationFailure",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 301);
       PrepareFailsOn(behaviour, 33);
     },
     {JobLine(kPrepareInstanceLine)},
     0x4800006A,
     {kPrepText}},
    {"ApplicationSettingsNotReadable",
     [](nlohmann::json&, nlohmann::json&, nlohmann::json& appConfig) {
       appConfig["applications"][1].erase("instance");
     },
     {},
     0,
     {}},
    {"ComponentFactoryFails",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json&) {
       behaviour["createFails"] = true;
     },
     {ConnectLine("Failed to create VMInfo object for instance type [101]")},
     0,
     {}},
    {"ConnectionRefusedWithReason",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json&) {
       behaviour["connectAccepted"] = false;
       behaviour["connectErrorText"] = "Cannot complete login due to an incorrect user name or password.";
     },
     {ConnectLine("Failed to connect to server [vc-request]")},
     0x5B00008B,
     {"vc-request", "req-admin", "Cannot complete login due to an incorrect user name or password."}},
    {"ConnectionRefusedWithoutReason",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json&) {
       behaviour["connectAccepted"] = false;
     },
     {ConnectLine("Failed to connect to server [vc-request]")},
     0x5B000032,
     {"vc-request", "req-admin"}},
    {"GuestChannelCannotBeCreated",
     [](nlohmann::json&, nlohmann::json& behaviour, nlohmann::json& appConfig) {
       SetType(behaviour, appConfig, 601);  // SSH channels only, and the VM has no guest address
     },
     {{kPrepareGuestAPIOrigin,
       "Failed to enable guest API services on VM [vm-one] [guid-1]. Restore to the VM cannot continue."}},
     0x4800006A,
     {"Couldn't get guest IP address. Please make sure network is configured"}},
};

class Refusal : public JobOptionsTest, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(Refusal, LogsPostsAndStaysInactive) {
  const RefusalRow& row = GetParam();
  row.arrange(m_request, m_behaviour, m_appConfig);

  EXPECT_FALSE(RunGetJobOptions());

  EXPECT_EQ(ControllerErrorLines(), row.errorLines);
  const std::vector<PendingCause> causes = PendingCauses();
  if (row.code == 0) {
    EXPECT_TRUE(causes.empty());
  } else {
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_EQ(causes[0].code, row.code) << std::hex << causes[0].code;
    EXPECT_EQ(causes[0].arguments, row.arguments);
  }
  EXPECT_FALSE(m_controller.active());
  EXPECT_FALSE(m_controller.speedCounter().LoggingEnabled());
  EXPECT_EQ(m_controller.speedCounter().JobId(), 0u);
  EXPECT_FALSE(Logged("GetJobOptions", "Restore ACLs [1]"));
}

INSTANTIATE_TEST_SUITE_P(JobOptions, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<RefusalRow>& info) { return info.param.name; });

TEST_F(JobOptionsTest, NullOptionsAreRefusedWithoutJobMessage) {
  m_controller.Init(&m_initData, &m_initDataVer2, &m_setParams, &m_job, &m_jobCtrl, "client-a");
  EXPECT_FALSE(m_controller.GetJobOptions(nullptr));
  EXPECT_EQ(ControllerErrorLines(), std::vector<ErrorLine>{JobLine("Invalid restore options")});
  EXPECT_TRUE(PendingCauses().empty());
}

TEST_F(JobOptionsTest, InstanceLookupFailureLeavesOnlyTheApplicationManagersLine) {
  m_request["vmFileLevelRestore"]["instanceEntity"] = {{"clientId", 99}};
  EXPECT_FALSE(RunGetJobOptions());
  EXPECT_TRUE(Logged(kGetJobOptionsOrigin, "InstanceId is not set in request. Querying using clientId [99]"));
  EXPECT_TRUE(m_logs.sink().AnyContains("Client [99] has no instance"));
  EXPECT_TRUE(dltracking::VMInfoOpens().empty());
}

TEST_F(JobOptionsTest, VMwareToolsRefusalComesAfterTheGuestChannelWasCreated) {
  m_behaviour["vm"]["toolsStatus"] = 7;
  EXPECT_FALSE(RunGetJobOptions());
  EXPECT_NE(m_controller.guestAPI(), nullptr);
  EXPECT_TRUE(Logged(kPrepareGuestAPIOrigin, "Created GuestAPI object"));
}

TEST_F(JobOptionsTest, CloudInstanceIsNeverLookedUpNorPowerChecked) {
  SetInstanceType(301);
  m_behaviour["vm"]["found"] = false;
  EXPECT_TRUE(RunGetJobOptions());
  for (const nlohmann::json& call : ComponentCalls("getVMInfo")) {
    EXPECT_NE(call["flags"], 2) << "the controller looked the cloud instance up";
  }
  EXPECT_EQ(ComponentCalls("prepare").size(), 1u);
}

TEST_F(JobOptionsTest, PasswordEchoedByComponentIsMaskedInTheJobArgument) {
  m_behaviour["connectAccepted"] = false;
  m_behaviour["connectErrorText"] = std::string("login with password ") + kRequestServerPassword + " refused";
  EXPECT_FALSE(RunGetJobOptions());
  ASSERT_EQ(PendingCauses().size(), 1u);
  EXPECT_EQ(PendingCauses()[0].arguments.back(), "login with password ***** refused");
}

TEST_F(JobOptionsTest, GuestPasswordEchoedInPreparationFailureIsMasked) {
  SetInstanceType(102);
  m_behaviour["prepareErrorCode"] = 14;
  m_behaviour["prepareErrorText"] = std::string("guest login ") + kGuestPassword + " rejected";
  EXPECT_FALSE(RunGetJobOptions());
  ASSERT_EQ(PendingCauses().size(), 1u);
  EXPECT_EQ(PendingCauses()[0].arguments, (std::vector<std::string>{"vm-one", "guest login ***** rejected"}));
}

}  // namespace
}  // namespace jobopts
