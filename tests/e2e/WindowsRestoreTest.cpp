// zqrestore end to end into a Windows guest over SSH, played by the Windows guest stand-in: its
// zqplink.exe and zqpscp.exe answer as a Windows guest's SSH server with cmd and PowerShell, on a
// folder that holds the guest's drives. Guest and proxy share a time zone with daylight saving.
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

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
                                                                {"stateFile", drives.Join("state.json")},
                                                                {"journal", drives.Join("journal.jsonl")}}
                                                     .dump());
    harness.UseWindowsGuest(drives.Join("guest.json"));
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
    EXPECT_EQ(e2e::StatOf(InGuest(file.path)).st_mtime, file.mtime);
  }
  for (const std::string& folder : e2e::SampleFolders()) {
    EXPECT_TRUE(S_ISDIR(e2e::StatOf(InGuest(folder)).st_mode)) << folder;
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

// How often the guest started powershell.exe, and how many scripts it ran, by the journal.
struct PowerShellCounts {
  size_t starts = 0;
  size_t scripts = 0;
};

PowerShellCounts CountPowerShell(const std::string& journal) {
  PowerShellCounts counts;
  std::istringstream lines(zqtest::ReadFile(journal));
  for (std::string line; std::getline(lines, line);) {
    const auto record = nlohmann::json::parse(line);
    counts.starts += record.value("powershellStart", nlohmann::json::array()).size();
    counts.scripts += record.value("powershell", nlohmann::json::array()).size();
  }
  return counts;
}

TEST_F(WindowsRestore, PlainCommandsStartPowerShellForEachScriptTheSessionOnce) {
  harness.UseWindowsGuest(drives.Join("guest.json"), RestoreHarness::WindowsTools::RealPlain);
  ASSERT_EQ(harness.Restore(Job(), source.path(), 300).status, 0);
  const PowerShellCounts plain = CountPowerShell(drives.Join("journal.jsonl"));
  EXPECT_GT(plain.scripts, e2e::SampleFiles().size());
  EXPECT_EQ(plain.starts, plain.scripts);

  ASSERT_EQ(::unlink(drives.Join("journal.jsonl").c_str()), 0);
  harness.UseWindowsGuest(drives.Join("guest.json"), RestoreHarness::WindowsTools::RealSession);
  const RunResult again = harness.Restore(Job({{"overwriteAlways", true}}), source.path(), 300);
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(again.summary["restoredFiles"], e2e::SampleFiles().size()) << again.output;
  const PowerShellCounts session = CountPowerShell(drives.Join("journal.jsonl"));
  EXPECT_GT(session.scripts, e2e::SampleFiles().size());
  EXPECT_EQ(session.starts, 1u);
}

TEST_F(WindowsRestore, GuestWhosePowerShellCannotRunTheSessionGetsPlainCommands) {
  auto config = nlohmann::json::parse(zqtest::ReadFile(drives.Join("guest.json")));
  config["sessionLoop"] = false;
  zqtest::WriteFile(drives.Join("guest.json"), config.dump());
  harness.UseWindowsGuest(drives.Join("guest.json"), RestoreHarness::WindowsTools::RealSession);
  const RunResult result = harness.Restore(Job(), source.path(), 300);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], e2e::SampleFiles().size());
  const PowerShellCounts counts = CountPowerShell(drives.Join("journal.jsonl"));
  EXPECT_GE(counts.starts, counts.scripts);
  EXPECT_GT(counts.scripts, e2e::SampleFiles().size());
}

}  // namespace
