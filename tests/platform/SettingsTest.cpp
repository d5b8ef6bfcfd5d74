#include <gtest/gtest.h>

#include "platform/ZQPI.h"
#include "platform/ZQPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

using zqtest::ScopedEnv;
using zqtest::TempDir;
using zqtest::WriteFile;

TEST(Settings, ParsesSectionsKeysAndComments) {
  auto data = ParseIniText(
      "; comment\n# another\n[Base]\n dBASEHOME = /opt/zq \n[VirtualServer]\nUseZQGuestAPI=true\nnot a line\n"
      "[Empty]\n=novalue\n");
  EXPECT_EQ(data["Base"]["dBASEHOME"], "/opt/zq");
  EXPECT_EQ(data["VirtualServer"]["UseZQGuestAPI"], "true");
  EXPECT_TRUE(data["Empty"].empty());
}

TEST(Settings, ReadsTheFileNamedByTheEnvironmentAndSeesChanges) {
  TempDir dir;
  const std::string path = dir.Join("settings.ini");
  WriteFile(path, "[Base]\ndBASEHOME=/first\n");
  ScopedEnv env(kSettingsEnvVar, path);
  std::string value;
  ASSERT_TRUE(ZQPlatformInfo::getString("Base", "dBASEHOME", &value));
  EXPECT_EQ(value, "/first");
  WriteFile(path, "[Base]\ndBASEHOME=/second/longer\n");
  ASSERT_TRUE(ZQPlatformInfo::getString("Base", "dBASEHOME", &value));
  EXPECT_EQ(value, "/second/longer");
}

TEST(Settings, MissingFileOrKeyLeavesOutputUntouched) {
  ScopedEnv env(kSettingsEnvVar, "/nonexistent/settings.ini");
  std::string value = "keep";
  EXPECT_FALSE(ZQPlatformInfo::getString("Base", "dBASEHOME", &value));
  EXPECT_EQ(value, "keep");
  bool flag = true;
  EXPECT_FALSE(ZQPlatformInfo::getBoolean("VirtualServer", "UseZQGuestAPI", &flag));
  EXPECT_TRUE(flag);
}

TEST(Settings, FileThatNeverEndsOrIsTooLargeCountsAsNoSettings) {
  TempDir dir;
  const std::string large = dir.Join("large.ini");
  WriteFile(large, "[Base]\ndBASEHOME=/opt\n;" + std::string(1024 * 1024, ' ') + "\n");
  for (const std::string& path : {large, std::string("/dev/zero")}) {
    ScopedEnv env(kSettingsEnvVar, path);
    std::string value = "keep";
    EXPECT_FALSE(ZQPlatformInfo::getString("Base", "dBASEHOME", &value)) << path;
    EXPECT_EQ(value, "keep");
  }
}

TEST(Settings, BooleanAcceptsUsualSpellingsAndRejectsOthers) {
  struct Row {
    const char* text;
    bool recognised;
    bool value;
  } rows[] = {{"true", true, true},   {"TRUE", true, true},  {"Yes", true, true}, {"on", true, true},
              {"1", true, true},      {"false", true, false}, {"No", true, false}, {"OFF", true, false},
              {"0", true, false},     {"maybe", false, false}, {"", false, false}};
  zqtest::ScopedSettings settings;
  for (const Row& row : rows) {
    settings.Set("VirtualServer", "UseZQGuestAPI", row.text);
    bool value = !row.value;
    const bool before = value;
    EXPECT_EQ(ZQPlatformInfo::getBoolean("VirtualServer", "UseZQGuestAPI", &value), row.recognised) << row.text;
    EXPECT_EQ(value, row.recognised ? row.value : before) << row.text;
  }
}

TEST(Settings, IntegerRejectsTrailingText) {
  zqtest::ScopedSettings settings;
  long long value = 5;
  settings.Set("Log", "DebugLevel", "2x");
  EXPECT_FALSE(ZQPlatformInfo::getInteger("Log", "DebugLevel", &value));
  EXPECT_EQ(value, 5);
  settings.Set("Log", "DebugLevel", "-1");
  EXPECT_TRUE(ZQPlatformInfo::getInteger("Log", "DebugLevel", &value));
  EXPECT_EQ(value, -1);
}

TEST(Settings, JobResultsDirectoryPerClientThenDefault) {
  zqtest::ScopedSettings settings;
  ZQPI_CommClient client;
  EXPECT_STREQ(client.getJobResultsDirectory("c1"), "/var/lib/zqrestore/jobresults");
  settings.Set("JobResults", "Directory", "/jr");
  EXPECT_STREQ(client.getJobResultsDirectory("c1"), "/jr");
  settings.Set("JobResults", "c1", "/jr-c1");
  EXPECT_STREQ(client.getJobResultsDirectory("c1"), "/jr-c1");
  EXPECT_STREQ(client.getJobResultsDirectory("c2"), "/jr");
  settings.Set("Client", "Name", "proxy-7");
  EXPECT_EQ(ZQPI_Focus::getFocusClientName(true), "proxy-7");
}

}  // namespace
