#include "JobOptionsFixture.h"

#include <fstream>
#include <sstream>

#include "DlTracking.h"

namespace jobopts {

void PrintTo(const ErrorLine& line, std::ostream* out) { *out << "[" << line.origin << "] " << line.text; }

void JobOptionsTest::SetUp() {
  dltracking::Reset();
  m_settings.Set("VirtualServer", "AppConfigFile", m_dir.Join("apps.json"));
  m_behaviourEnv = std::make_unique<zqtest::ScopedEnv>("ZQ_FAKE_VMINFO_CONFIG", m_dir.Join("behaviour.json"));

  m_appConfig = {
      {"applications", {{{"id", 1001}, {"parent", 1000}}, {{"id", 1000}, {"instance", kAppInstanceId}}}},
      {"instances",
       {{{"id", kAppInstanceId},
         {"type", 101},
         {"credentials", {{{"serverName", "vc-stored"}, {"userName", "stored-admin"}, {"password", kAppStoredPassword}}}}},
        {{"id", kClientInstanceId},
         {"type", 101},
         {"credentials",
          {{{"serverName", "vc-instance8"}, {"userName", "inst8-admin"}, {"password", kInstanceStoredPassword}}}}},
        {{"id", kInstanceWithoutCredentials}, {"type", 101}, {"credentials", nlohmann::json::array()}}}},
      {"clients", {{{"id", kClientId}, {"instance", kClientInstanceId}}}}};

  m_behaviour = {{"instanceType", 101},
                 {"recordFile", m_dir.Join("calls.jsonl")},
                 {"vm", {{"found", true}, {"powerState", 1}, {"toolsStatus", 2}}}};

  m_request = {{"vmFileLevelRestore",
                {{"restoreToVM", 1},
                 {"destinationVM",
                  {{"serverName", "vc-request"},
                   {"serverCredentials", {{"userName", "req-admin"}, {"password", kRequestServerPassword}}},
                   {"vmGuid", "guid-1"},
                   {"vmName", "vm-one"},
                   {"guestCredentials", {{"userName", "guest-user"}, {"password", kGuestPassword}}}}}}},
               {"commonOptions", {{"restoreACLs", 1}}}};

  m_initData.initIdA = 5;
  m_initData.initAppId = kAppId;
}

// Every test, whatever it checks, also proves that no password reached a log line or the job.
void JobOptionsTest::TearDown() {
  const std::vector<std::string> secrets = {kRequestServerPassword, kGuestPassword, kAppStoredPassword,
                                            kInstanceStoredPassword};
  for (const std::string& secret : secrets) {
    EXPECT_FALSE(m_logs.sink().AnyContains(secret)) << "a log line holds a password";
    for (const PendingCause& cause : m_job.pendingCauses()) {
      for (const std::string& argument : cause.arguments) {
        EXPECT_EQ(argument.find(secret), std::string::npos) << "job argument holds a password: " << cause.code;
      }
    }
  }
}

void JobOptionsTest::SetInstanceType(int type) {
  m_appConfig["instances"][0]["type"] = type;
  m_behaviour["instanceType"] = type;
}

void JobOptionsTest::WriteConfiguration() {
  zqtest::WriteFile(m_dir.Join("apps.json"), m_appConfig.dump(2));
  zqtest::WriteFile(m_dir.Join("behaviour.json"), m_behaviour.dump(2));
}

bool JobOptionsTest::RunGetJobOptions() {
  WriteConfiguration();
  EXPECT_TRUE(m_options.LoadFromJson(m_request.dump()));
  m_controller.Init(&m_initData, &m_initDataVer2, &m_setParams, &m_job, &m_jobCtrl, "client-a");
  return m_controller.GetJobOptions(&m_options);
}

std::vector<nlohmann::json> JobOptionsTest::ComponentCalls(const std::string& call) const {
  std::vector<nlohmann::json> calls;
  std::ifstream file(m_dir.Join("calls.jsonl"));
  std::string line;
  while (std::getline(file, line)) {
    nlohmann::json entry = nlohmann::json::parse(line);
    if (call.empty() || entry.value("call", "") == call) {
      calls.push_back(entry);
    }
  }
  return calls;
}

std::vector<ErrorLine> JobOptionsTest::ControllerErrorLines() const {
  std::vector<ErrorLine> lines;
  for (const LogRecord& record : m_logs.sink().Records()) {
    if (record.level == LogLevel::Error &&
        (record.origin == kGetJobOptionsOrigin || record.origin == kPrepareVMInfoOrigin ||
         record.origin == kPrepareGuestAPIOrigin)) {
      lines.push_back({record.origin, record.text});
    }
  }
  return lines;
}

bool JobOptionsTest::Logged(const std::string& origin, const std::string& text) const {
  for (const LogRecord& record : m_logs.sink().Records()) {
    if (record.origin == origin && record.text == text) {
      return true;
    }
  }
  return false;
}

}  // namespace jobopts
