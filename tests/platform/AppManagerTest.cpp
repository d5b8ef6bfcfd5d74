// The application manager over the installation's application configuration.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/vsAppMgr.h"
#include "support/TestSupport.h"

namespace {

const char* const kConfig = R"({
  "applications": [
    {"id": 1001, "parent": 1000},
    {"id": 1000, "instance": 7},
    {"id": 2000}
  ],
  "instances": [
    {"id": 7, "type": 101, "credentials": [
      {"serverName": "vc1", "userName": "admin", "password": "pw-1"},
      {"serverName": "vc2", "userName": "admin2", "password": "pw-2"}]},
    {"id": 8, "type": 102}
  ],
  "clients": [{"id": 42, "instance": 8}]
})";

class AppManager : public ::testing::Test {
 protected:
  void SetUp() override {
    m_settings.Set("VirtualServer", "AppConfigFile", m_dir.Join("apps.json"));
    zqtest::WriteFile(m_dir.Join("apps.json"), kConfig);
  }
  size_t ErrorLines() const {
    size_t count = 0;
    for (const LogRecord& record : m_logs.sink().Records()) {
      count += record.level == LogLevel::Error ? 1 : 0;
    }
    return count;
  }

  zqtest::TempDir m_dir;
  zqtest::ScopedSettings m_settings;
  mutable zqtest::ScopedLogCapture m_logs;  // sink() is not const
  vsAppMgr m_appMgr;
};

TEST_F(AppManager, FindsTheInstanceOfAClient) {
  unsigned long instanceId = 0;
  ASSERT_TRUE(m_appMgr.GetInstanceId(42, instanceId));
  EXPECT_EQ(instanceId, 8u);
  EXPECT_EQ(ErrorLines(), 0u);
}

TEST_F(AppManager, UnknownClientFailsWithOneErrorLine) {
  unsigned long instanceId = 3;
  EXPECT_FALSE(m_appMgr.GetInstanceId(43, instanceId));
  EXPECT_EQ(instanceId, 3u);
  EXPECT_EQ(ErrorLines(), 1u);
}

TEST_F(AppManager, ParentOfAnApplication) {
  int appId = 1001;
  int parentAppId = 0;
  ASSERT_TRUE(m_appMgr.GetParentAppIdForVM(appId, parentAppId));
  EXPECT_EQ(parentAppId, 1000);
}

TEST_F(AppManager, ApplicationWithoutParentIsNoError) {
  int appId = 1000;
  int parentAppId = -1;
  EXPECT_FALSE(m_appMgr.GetParentAppIdForVM(appId, parentAppId));
  EXPECT_EQ(parentAppId, -1);
  appId = 4711;
  EXPECT_FALSE(m_appMgr.GetParentAppIdForVM(appId, parentAppId));
  EXPECT_EQ(ErrorLines(), 0u);
}

TEST_F(AppManager, SettingsOfTheApplicationsInstance) {
  m_appMgr.setAppId(5, 1000);
  const int result = m_appMgr.querySettings();
  EXPECT_FALSE(m_appMgr.isRetCodeError(result));
  EXPECT_EQ(m_appMgr.getInstanceType(), 101);
  std::vector<SHostCredentials> credentials(3);
  EXPECT_TRUE(m_appMgr.getCredentials(credentials));
  ASSERT_EQ(credentials.size(), 2u);
  EXPECT_EQ(credentials[0].serverName, "vc1");
  EXPECT_EQ(credentials[0].userName, "admin");
  EXPECT_EQ(credentials[0].password, "pw-1");
  EXPECT_EQ(credentials[1].serverName, "vc2");
}

TEST_F(AppManager, ApplicationWithoutInstanceHasNoSettings) {
  m_appMgr.setAppId(5, 2000);
  EXPECT_TRUE(m_appMgr.isRetCodeError(m_appMgr.querySettings()));
  EXPECT_EQ(m_appMgr.getInstanceType(), 0);
  EXPECT_EQ(ErrorLines(), 1u);
}

TEST_F(AppManager, SettingsOfAnInstance) {
  EXPECT_EQ(m_appMgr.querySettingsForInstance(8), vsAppMgr::kSettingsLoaded);
  EXPECT_EQ(m_appMgr.getInstanceType(), 102);
  std::vector<SHostCredentials> credentials(1);
  EXPECT_TRUE(m_appMgr.getCredentials(credentials));
  EXPECT_TRUE(credentials.empty());
}

TEST_F(AppManager, FailedInstanceQueryKeepsTheSettingsLoadedBefore) {
  m_appMgr.setAppId(5, 1000);
  ASSERT_EQ(m_appMgr.querySettings(), vsAppMgr::kSettingsLoaded);
  EXPECT_EQ(m_appMgr.querySettingsForInstance(99), vsAppMgr::kUnknownInstance);
  EXPECT_EQ(m_appMgr.getInstanceType(), 101);
  std::vector<SHostCredentials> credentials;
  m_appMgr.getCredentials(credentials);
  EXPECT_EQ(credentials.size(), 2u);
  EXPECT_EQ(ErrorLines(), 1u);
}

TEST_F(AppManager, NothingLoadedMeansNoCredentials) {
  std::vector<SHostCredentials> credentials(2);
  EXPECT_FALSE(m_appMgr.getCredentials(credentials));
  EXPECT_TRUE(credentials.empty());
  EXPECT_EQ(m_appMgr.getInstanceType(), 0);
}

TEST_F(AppManager, StoredPasswordsNeverReachTheLog) {
  m_appMgr.setAppId(5, 1000);
  m_appMgr.querySettings();
  m_appMgr.querySettingsForInstance(99);
  EXPECT_FALSE(m_logs.sink().AnyContains("pw-1"));
}

// A configuration that cannot be used fails every lookup, is logged once per object, and never
// crashes.
struct BadConfigRow {
  const char* name;
  const char* content;  // null: the named file does not exist
  bool settingMissing;
};
void PrintTo(const BadConfigRow& row, std::ostream* out) { *out << row.name; }

const BadConfigRow kBadConfigs[] = {
    {"SettingMissing", kConfig, true},
    {"FileMissing", nullptr, false},
    {"NotJson", "{\"applications\": [", false},
    {"NotAnObject", "[]", false},
    {"ApplicationsNotAnArray", R"({"applications": {"id": 1}})", false},
    {"RecordNotAnObject", R"({"applications": [5]})", false},
    {"ApplicationIdMissing", R"({"applications": [{"instance": 7}]})", false},
    {"NegativeId", R"({"clients": [{"id": -4, "instance": 7}]})", false},
    {"IdIsText", R"({"clients": [{"id": "42", "instance": 7}]})", false},
    {"ClientWithoutInstance", R"({"clients": [{"id": 42}]})", false},
    {"InstanceTypeMissing", R"({"instances": [{"id": 7}]})", false},
    {"InstanceTypeIsText", R"({"instances": [{"id": 7, "type": "vmware"}]})", false},
    {"InstanceTypeIsAFraction", R"({"instances": [{"id": 7, "type": 101.5}]})", false},
    {"InstanceTypePastInt", R"({"instances": [{"id": 7, "type": 4294967397}]})", false},
    {"CredentialsWithoutPassword",
     R"({"instances": [{"id": 7, "type": 101, "credentials": [{"serverName": "a", "userName": "b"}]}]})", false},
};

class BadAppConfig : public AppManager, public ::testing::WithParamInterface<BadConfigRow> {};

TEST_P(BadAppConfig, FailsEveryLookupWithOneErrorLine) {
  const BadConfigRow& row = GetParam();
  if (row.settingMissing) {
    m_settings.Erase("VirtualServer", "AppConfigFile");
  }
  if (row.content == nullptr) {
    m_settings.Set("VirtualServer", "AppConfigFile", m_dir.Join("absent.json"));
  } else {
    zqtest::WriteFile(m_dir.Join("apps.json"), row.content);
  }
  m_appMgr.setAppId(5, 1000);
  EXPECT_TRUE(m_appMgr.isRetCodeError(m_appMgr.querySettings()));
  EXPECT_TRUE(m_appMgr.isRetCodeError(m_appMgr.querySettingsForInstance(7)));
  unsigned long instanceId = 0;
  EXPECT_FALSE(m_appMgr.GetInstanceId(42, instanceId));
  int appId = 1001;
  int parentAppId = 0;
  EXPECT_FALSE(m_appMgr.GetParentAppIdForVM(appId, parentAppId));
  EXPECT_EQ(m_appMgr.getInstanceType(), 0);
  EXPECT_EQ(ErrorLines(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AppManager, BadAppConfig, ::testing::ValuesIn(kBadConfigs),
                         [](const ::testing::TestParamInfo<BadConfigRow>& info) { return info.param.name; });

}  // namespace

namespace {

TEST(AppConfiguration, RefusesTextsBeyondItsLimitsAndKeepsWhatItHad) {
  AppConfiguration configuration;
  std::string error;
  ASSERT_TRUE(ParseAppConfiguration(kConfig, configuration, error)) << error;
  const struct {
    std::string text;
    const char* error;
  } rows[] = {
      {R"({"clients": )" + std::string(1000000, '['), "nested deeper than 64 levels"},
      {R"({"pad": ")" + std::string(kAppConfigMaxBytes, ' ') + "\"}", "larger than 16777216 bytes"},
  };
  for (const auto& row : rows) {
    EXPECT_FALSE(ParseAppConfiguration(row.text, configuration, error));
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(configuration.instances.size(), 2u);
  }
}

}  // namespace
