// zqrestore end to end into a Windows guest over SSH, played by the Windows guest stand-in: its
// zqplink.exe and zqpscp.exe answer as a Windows guest's SSH server with cmd and PowerShell, on a
// folder that holds the guest's drives. Guest and proxy share a time zone with daylight saving.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "RestoreHarness.h"
#include "platform/CNyPath.h"

namespace {

using e2e::RestoreHarness;
using e2e::RunResult;

constexpr const char* kVm = "win-vm";
constexpr const char* kGuid = "8a1e0000-0000-4000-8000-0000000e2e71";
constexpr const char* kAddress = "192.0.2.71";
constexpr const char* kGuestUser = "CORP\\alice";
constexpr const char* kGuestPassword = "Win guest pass'1";
constexpr int kSshOnlyType = 601;

class WindowsRestore : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(CNyDirectory::Create(drives.Join("C").c_str(), true).IsError());
    ASSERT_FALSE(CNyDirectory::Create(drives.Join("D").c_str(), true).IsError());
    zqtest::WriteFile(drives.Join("guest.json"), nlohmann::json{{"root", drives.path()},
                                                                {"user", "CORP\\alice"},
                                                                {"password", kGuestPassword},
                                                                {"addresses", {kAddress}},
                                                                {"stateFile", drives.Join("state.json")}}
                                                     .dump());
    harness.Set("Base", "dBASEHOME", ZQ_WINGUEST_BASE);
    harness.SetEnvironment("ZQ_WINGUEST_CONFIG", drives.Join("guest.json"));
    harness.SetEnvironment("TZ", "Europe/Berlin");
    harness.server().AddVm(kVm).Guid(kGuid).IpAddresses({kAddress});
    e2e::WriteSampleTree(source.path());
  }

  nlohmann::json Job(const nlohmann::json& extra = nlohmann::json::object()) {
    return harness.Job(kVm, kGuid, "D:\\Restore", kGuestUser, kGuestPassword, extra);
  }
  std::string InGuest(const std::string& relative) const { return drives.Join("D/Restore/" + relative); }

  RestoreHarness harness{kSshOnlyType};
  zqtest::TempDir drives;
  zqtest::TempDir source;
};

TEST_F(WindowsRestore, RestoresTheTreeWithContentAndTimes) {
  const RunResult result = harness.Restore(Job(), source.path(), 300);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], e2e::SampleFiles().size());
  EXPECT_EQ(result.summary["restoredFolders"], e2e::SampleFolders().size());
  for (const e2e::SampleFile& file : e2e::SampleFiles()) {
    SCOPED_TRACE(file.path);
    EXPECT_EQ(zqtest::ReadFile(InGuest(file.path)), file.content);
    EXPECT_EQ(zqtest::StatOf(InGuest(file.path)).st_mtime, file.mtime);
  }
  for (const std::string& folder : e2e::SampleFolders()) {
    EXPECT_TRUE(S_ISDIR(zqtest::StatOf(InGuest(folder)).st_mode)) << folder;
  }
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty()) << "the Windows channel leaves staging to the host";
  EXPECT_EQ(result.output.find(kGuestPassword), std::string::npos);
}

TEST_F(WindowsRestore, SecondRunKeepsTheGuestsFiles) {
  ASSERT_EQ(harness.Restore(Job(), source.path(), 300).status, 0);
  const RunResult again = harness.Restore(Job(), source.path(), 300);
  ASSERT_EQ(again.status, 0) << again.output;
  // The folders exist already: kept too, with the guest's own attributes.
  EXPECT_EQ(again.summary["kept"], e2e::SampleFiles().size() + e2e::SampleFolders().size());
  EXPECT_EQ(again.summary["restoredFolders"], 0);
  EXPECT_EQ(again.summary["restoredFiles"], 0);
}

TEST_F(WindowsRestore, RefusesAWrongGuestPassword) {
  const RunResult result =
      harness.Restore(harness.Job(kVm, kGuid, "D:\\Restore", kGuestUser, "wrong password"), source.path(), 120);
  EXPECT_EQ(result.status, 3) << result.output;
  ASSERT_EQ(result.summary["pendingCauses"].size(), 1u) << result.output;
  EXPECT_EQ(result.summary["pendingCauses"][0]["code"], "0x4800006A");
  EXPECT_NE(result.output.find("Please check guest VM login credentials."), std::string::npos) << result.output;
}

}  // namespace
