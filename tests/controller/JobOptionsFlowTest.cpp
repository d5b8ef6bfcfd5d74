// Accepted jobs, jobs that are not restores to a VM, and where the connection's server, user,
// password and credential list come from.
#include "JobOptionsFixture.h"

#include "DlTracking.h"

namespace jobopts {
namespace {

nlohmann::json Credentials(const std::string& server, const std::string& user, const std::string& password) {
  return {{"serverName", server}, {"userName", user}, {"password", password}};
}

const nlohmann::json kAppStored = Credentials("vc-stored", "stored-admin", kAppStoredPassword);
const nlohmann::json kInstanceStored = Credentials("vc-instance8", "inst8-admin", kInstanceStoredPassword);

// The one connection the component saw.
nlohmann::json OnlyConnect(const std::vector<nlohmann::json>& connects) {
  EXPECT_EQ(connects.size(), 1u);
  return connects.empty() ? nlohmann::json::object() : connects.front();
}

void ExpectConnectedWith(const nlohmann::json& connect, const std::string& server, const std::string& user,
                         const std::string& password) {
  EXPECT_EQ(connect.value("server", ""), server);
  EXPECT_EQ(connect.value("user", ""), user);
  EXPECT_EQ(connect.value("password", ""), password);
}

// ---- accepted jobs, by instance type ----

class AcceptedJob : public JobOptionsTest, public ::testing::WithParamInterface<int> {};

TEST_P(AcceptedJob, ActivatesWithCounterAndGuestContext) {
  SetInstanceType(GetParam());
  ASSERT_TRUE(RunGetJobOptions());

  EXPECT_TRUE(m_controller.active());
  EXPECT_TRUE(m_controller.restoreACLs());
  EXPECT_TRUE(Logged("GetJobOptions", "Restore ACLs [1]"));
  EXPECT_EQ(m_controller.speedCounter().Name(), "VM Write Speed");
  EXPECT_EQ(m_controller.speedCounter().JobId(), kJobId);
  EXPECT_TRUE(m_controller.speedCounter().LoggingEnabled());
  EXPECT_NE(m_controller.guestAPI(), nullptr);
  EXPECT_NE(m_controller.vmInfo(), nullptr);
  EXPECT_EQ(m_initDataVer2.instanceType, GetParam());

  const GuestCtx& ctx = m_controller.guestCtx();
  EXPECT_EQ(ctx.vmName, "vm-one");
  EXPECT_EQ(ctx.vmGuid, "guid-1");
  EXPECT_EQ(ctx.serverName, "vc-request");
  EXPECT_EQ(ctx.userName, "guest-user");
  EXPECT_EQ(ctx.password, kGuestPassword);
  EXPECT_TRUE(Logged(kGetJobOptionsOrigin, "This is a VM file level restore to VM [vm-one] [guid-1] on server [vc-request]"));
  EXPECT_TRUE(ControllerErrorLines().empty());
  EXPECT_TRUE(PendingCauses().empty());
}

INSTANTIATE_TEST_SUITE_P(JobOptions, AcceptedJob, ::testing::Values(101, 102, 301, 201));

TEST_F(JobOptionsTest, VMwareJobLooksUpVMAndProvesGuestLogin) {
  ASSERT_TRUE(RunGetJobOptions());
  const std::vector<nlohmann::json> lookups = ComponentCalls("getVMInfo");
  ASSERT_FALSE(lookups.empty());
  EXPECT_EQ(lookups.front()["flags"], 2);
  EXPECT_EQ(lookups.front()["reserved"], 0);
  EXPECT_EQ(lookups.front()["server"], "vc-request");
  EXPECT_TRUE(Logged(kGetJobOptionsOrigin, "Found VM [vm-one] [guid-1] on Host [esx-host-1] tools [guestToolsRunning][2]"));
  const std::vector<nlohmann::json> browses = ComponentCalls("browse");
  ASSERT_EQ(browses.size(), 1u);
  EXPECT_EQ(browses.front()["path"], "");
  EXPECT_TRUE(ComponentCalls("prepare").empty());
}

TEST_F(JobOptionsTest, OtherInstanceTypeSucceedsRightAfterTheGuestChannel) {
  SetInstanceType(201);
  m_behaviour["browseSucceeds"] = false;
  m_behaviour["prepareErrorCode"] = 5;
  ASSERT_TRUE(RunGetJobOptions());
  EXPECT_TRUE(ComponentCalls("browse").empty());
  EXPECT_TRUE(ComponentCalls("prepare").empty());
}

TEST_F(JobOptionsTest, RestoreACLsIsOneOrZero) {
  m_request["commonOptions"]["restoreACLs"] = 5;
  ASSERT_TRUE(RunGetJobOptions());
  EXPECT_TRUE(Logged("GetJobOptions", "Restore ACLs [1]"));
}

TEST_F(JobOptionsTest, MissingCommonOptionsMeanNoACLs) {
  m_request.erase("commonOptions");
  ASSERT_TRUE(RunGetJobOptions());
  EXPECT_FALSE(m_controller.restoreACLs());
  EXPECT_TRUE(Logged("GetJobOptions", "Restore ACLs [0]"));
}

TEST_F(JobOptionsTest, RestoreToVMBeforeTheJobRecordsIsRefusedNotCrashed) {
  WriteConfiguration();
  ASSERT_TRUE(m_options.LoadFromJson(m_request.dump()));
  EXPECT_FALSE(m_controller.GetJobOptions(&m_options));
  EXPECT_EQ(ControllerErrorLines(),
            std::vector<ErrorLine>({{kGetJobOptionsOrigin, "Restore to VM requested before the job records were set"}}));
  EXPECT_TRUE(dltracking::VMInfoOpens().empty());
}

// ---- jobs that are not restores to a VM ----

struct NotRestoreToVMRow {
  const char* name;
  void (*arrange)(nlohmann::json& request);
};
void PrintTo(const NotRestoreToVMRow& row, std::ostream* out) { *out << row.name; }

const NotRestoreToVMRow kNotRestoreToVM[] = {
    {"NoVMFileLevelRestoreObject", [](nlohmann::json& request) { request.erase("vmFileLevelRestore"); }},
    {"RestoreToVMSwitchZero", [](nlohmann::json& request) { request["vmFileLevelRestore"]["restoreToVM"] = 0; }},
    {"RestoreToVMSwitchAbsent", [](nlohmann::json& request) { request["vmFileLevelRestore"].erase("restoreToVM"); }},
    {"EmptyVMGuid", [](nlohmann::json& request) { request["vmFileLevelRestore"]["destinationVM"]["vmGuid"] = ""; }},
    {"NoDestinationVM", [](nlohmann::json& request) { request["vmFileLevelRestore"].erase("destinationVM"); }},
};

class NotRestoreToVM : public JobOptionsTest, public ::testing::WithParamInterface<NotRestoreToVMRow> {};

TEST_P(NotRestoreToVM, SucceedsSilentlyAndInactive) {
  GetParam().arrange(m_request);
  EXPECT_TRUE(RunGetJobOptions());
  EXPECT_FALSE(m_controller.active());
  EXPECT_TRUE(m_logs.sink().Records().empty());
  EXPECT_TRUE(dltracking::VMInfoOpens().empty());
  EXPECT_TRUE(m_controller.guestCtx().vmName.empty());
  EXPECT_TRUE(PendingCauses().empty());
}

INSTANTIATE_TEST_SUITE_P(JobOptions, NotRestoreToVM, ::testing::ValuesIn(kNotRestoreToVM),
                         [](const ::testing::TestParamInfo<NotRestoreToVMRow>& info) { return info.param.name; });

// ---- instance id and credentials ----

TEST_F(JobOptionsTest, InstanceIdIsLookedUpByDestinationClient) {
  m_request["vmFileLevelRestore"]["instanceEntity"] = {{"clientId", kClientId}};
  ASSERT_TRUE(RunGetJobOptions());
  EXPECT_TRUE(Logged(kGetJobOptionsOrigin, "InstanceId is not set in request. Querying using clientId [42]"));
  // The request's password is set: its values are used; the list is the found instance's.
  const nlohmann::json connect = OnlyConnect(ComponentCalls("connect"));
  ExpectConnectedWith(connect, "vc-request", "req-admin", kRequestServerPassword);
  EXPECT_EQ(connect["credentials"], nlohmann::json::array({kInstanceStored}));
}

TEST_F(JobOptionsTest, InstanceIdFromRequestNeedsNoClientLookup) {
  m_request["vmFileLevelRestore"]["instanceEntity"] = {{"instanceId", kClientInstanceId}};
  ASSERT_TRUE(RunGetJobOptions());
  EXPECT_FALSE(m_logs.sink().AnyContains("Querying using clientId"));
}

TEST_F(JobOptionsTest, EmptyRequestPasswordTakesAllThreeFromTheInstance) {
  m_request["vmFileLevelRestore"]["destinationVM"]["serverCredentials"]["password"] = "";
  m_request["vmFileLevelRestore"]["instanceEntity"] = {{"instanceId", kClientInstanceId}};
  ASSERT_TRUE(RunGetJobOptions());
  EXPECT_TRUE(Logged(kGetJobOptionsOrigin,
                     "VCenter/HyperV instance has been set in input XML. Querying server credentials set at instance"));
  EXPECT_TRUE(Logged(kGetJobOptionsOrigin, "Setting VCenter/HyperV credentials, client [vc-instance8], user name [inst8-admin]"));
  ExpectConnectedWith(OnlyConnect(ComponentCalls("connect")), "vc-instance8", "inst8-admin", kInstanceStoredPassword);
  EXPECT_EQ(ComponentCalls("getVMInfo").front()["server"], "vc-instance8");
  // The guest keeps the server the request named.
  EXPECT_EQ(m_controller.guestCtx().serverName, "vc-request");
}

TEST_F(JobOptionsTest, EmptyRequestPasswordWithClientLookupUsesThatInstancesCredentials) {
  m_request["vmFileLevelRestore"]["destinationVM"]["serverCredentials"].erase("password");
  m_request["vmFileLevelRestore"]["instanceEntity"] = {{"clientId", kClientId}};
  ASSERT_TRUE(RunGetJobOptions());
  ExpectConnectedWith(OnlyConnect(ComponentCalls("connect")), "vc-instance8", "inst8-admin", kInstanceStoredPassword);
}

// With the instance's credentials unavailable the request's values stay; the connection then
// falls back to the application's stored credentials unless there are none.
struct KeepRequestRow {
  const char* name;
  int instanceId;
};
void PrintTo(const KeepRequestRow& row, std::ostream* out) { *out << row.name; }
const KeepRequestRow kKeepRequest[] = {{"InstanceSettingsNotLoadable", 55},
                                       {"InstanceHasNoCredentials", kInstanceWithoutCredentials}};

class KeepRequestValues : public JobOptionsTest, public ::testing::WithParamInterface<KeepRequestRow> {};

TEST_P(KeepRequestValues, WhenInstanceCredentialsAreUnavailable) {
  m_request["vmFileLevelRestore"]["destinationVM"]["serverCredentials"]["password"] = "";
  m_request["vmFileLevelRestore"]["instanceEntity"] = {{"instanceId", GetParam().instanceId}};
  m_appConfig["instances"][0]["credentials"] = nlohmann::json::array();
  ASSERT_TRUE(RunGetJobOptions());
  EXPECT_FALSE(m_logs.sink().AnyContains("Setting VCenter/HyperV credentials"));
  ExpectConnectedWith(OnlyConnect(ComponentCalls("connect")), "vc-request", "req-admin", "");
}

INSTANTIATE_TEST_SUITE_P(JobOptions, KeepRequestValues, ::testing::ValuesIn(kKeepRequest),
                         [](const ::testing::TestParamInfo<KeepRequestRow>& info) { return info.param.name; });

TEST_F(JobOptionsTest, NoInstanceEntityMeansNoLookupsAndRequestValues) {
  ASSERT_TRUE(RunGetJobOptions());
  EXPECT_FALSE(m_logs.sink().AnyContains("Querying"));
  const nlohmann::json connect = OnlyConnect(ComponentCalls("connect"));
  ExpectConnectedWith(connect, "vc-request", "req-admin", kRequestServerPassword);
  // Instance id 0: the list holds the application's own stored credentials.
  EXPECT_EQ(connect["credentials"], nlohmann::json::array({kAppStored}));
}

// One empty value in the connection's input replaces all three by the application's stored ones.
struct FallbackRow {
  const char* name;
  const char* field;  // emptied in the request's destination VM
  const char* credentialsField;
};
void PrintTo(const FallbackRow& row, std::ostream* out) { *out << row.name; }
const FallbackRow kFallbacks[] = {{"EmptyServer", "serverName", nullptr},
                                  {"EmptyUser", nullptr, "userName"},
                                  {"EmptyPassword", nullptr, "password"}};

class StoredCredentialFallback : public JobOptionsTest, public ::testing::WithParamInterface<FallbackRow> {};

TEST_P(StoredCredentialFallback, ReplacesAllThree) {
  nlohmann::json& destination = m_request["vmFileLevelRestore"]["destinationVM"];
  if (GetParam().field != nullptr) {
    destination[GetParam().field] = "";
  } else {
    destination["serverCredentials"][GetParam().credentialsField] = "";
  }
  ASSERT_TRUE(RunGetJobOptions());
  ExpectConnectedWith(OnlyConnect(ComponentCalls("connect")), "vc-stored", "stored-admin", kAppStoredPassword);
  EXPECT_TRUE(Logged(kPrepareVMInfoOrigin, "Connected to server [vc-stored]."));
}

INSTANTIATE_TEST_SUITE_P(JobOptions, StoredCredentialFallback, ::testing::ValuesIn(kFallbacks),
                         [](const ::testing::TestParamInfo<FallbackRow>& info) { return info.param.name; });

}  // namespace
}  // namespace jobopts
