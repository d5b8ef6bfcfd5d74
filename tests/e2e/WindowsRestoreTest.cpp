// zqrestore end to end into a Windows guest over SSH, played by the Windows guest stand-in: its
// zqplink.exe and zqpscp.exe answer as a Windows guest's SSH server with cmd and PowerShell, on a
// folder that holds the guest's drives. Guest and proxy share a time zone with daylight saving.
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "GuestRestoreScenarios.h"
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

// The stand-in's guest: drives C and D in a folder, logins as the domain user.
class WindowsGuest {
 public:
  static constexpr int kSeconds = 300;
  static constexpr long long kChangedInGuestAt = 1600000000 + 3600;  // newer than the backup
  static constexpr const char* kWrongPasswordCode = "0x4800006A";
  static constexpr const char* kWrongPasswordText = "Please check guest VM login credentials.";

  void SetUp(const std::string&) {
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
  }
  nlohmann::json Job(const nlohmann::json& extra = nlohmann::json::object(),
                     const std::string& password = kGuestPassword) const {
    return harness.Job(kVm, kGuid, "D:\\Restore", kGuestUser, password, extra);
  }
  std::string InGuest(const std::string& relative) const { return drives.Join("D/Restore/" + relative); }
  std::vector<std::string> Secrets() const { return {kGuestPassword, RestoreHarness::kServerPassword}; }

  // Modes and owners do not travel to a Windows guest.
  void ExpectCompleted(const RunResult&) const {}
  void ExpectFile(const e2e::SampleFile&, const struct stat&) const {}
  void ExpectFolder(const std::string&, const struct stat&) const {}
  void BeforeWrongPassword() {}
  void ExpectWrongPassword(const RunResult&) const {}

  RestoreHarness harness{kSshOnlyType};
  zqtest::TempDir drives;
};

// The real tools against the stand-in's ssh: how often the guest starts powershell.exe.
class WindowsRestore : public testing::Test {
 protected:
  void SetUp() override {
    guest.SetUp("");
    e2e::WriteSampleTree(source.path());
  }

  WindowsGuest guest;
  zqtest::TempDir source;
};

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
  guest.harness.UseWindowsGuest(guest.drives.Join("guest.json"), RestoreHarness::WindowsTools::RealPlain);
  ASSERT_EQ(guest.harness.Restore(guest.Job(), source.path(), 300).status, 0);
  const PowerShellCounts plain = CountPowerShell(guest.drives.Join("journal.jsonl"));
  EXPECT_GT(plain.scripts, e2e::SampleFiles().size());
  EXPECT_EQ(plain.starts, plain.scripts);
  // Per file: the existence test, the request that checks and places it, three time setters; with
  // the folders and browses 35 scripts for the sample tree, no more than before the placing
  // request took over the parent's creation.
  EXPECT_LE(plain.scripts, 7 * e2e::SampleFiles().size());

  ASSERT_EQ(::unlink(guest.drives.Join("journal.jsonl").c_str()), 0);
  guest.harness.UseWindowsGuest(guest.drives.Join("guest.json"), RestoreHarness::WindowsTools::RealSession);
  // Every file replaced and kept as a backup: the backup is made inside the placing request, so
  // the ceiling holds with it.
  const RunResult again =
      guest.harness.Restore(guest.Job({{"overwriteAlways", true}, {"backup", true}}), source.path(), 300);
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(again.summary["restoredFiles"], e2e::SampleFiles().size()) << again.output;
  for (const e2e::SampleFile& file : e2e::SampleFiles()) {
    EXPECT_EQ(zqtest::ReadFile(guest.InGuest(file.path + "~")), file.content) << file.path;
  }
  const PowerShellCounts session = CountPowerShell(guest.drives.Join("journal.jsonl"));
  EXPECT_GT(session.scripts, e2e::SampleFiles().size());
  EXPECT_LE(session.scripts, 7 * e2e::SampleFiles().size());
  EXPECT_EQ(session.starts, 1u);
}

TEST_F(WindowsRestore, GuestWhosePowerShellCannotRunTheSessionGetsPlainCommands) {
  auto config = nlohmann::json::parse(zqtest::ReadFile(guest.drives.Join("guest.json")));
  config["sessionLoop"] = false;
  zqtest::WriteFile(guest.drives.Join("guest.json"), config.dump());
  guest.harness.UseWindowsGuest(guest.drives.Join("guest.json"), RestoreHarness::WindowsTools::RealSession);
  const RunResult result = guest.harness.Restore(guest.Job(), source.path(), 300);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], e2e::SampleFiles().size());
  const PowerShellCounts counts = CountPowerShell(guest.drives.Join("journal.jsonl"));
  EXPECT_GE(counts.starts, counts.scripts);
  EXPECT_GT(counts.scripts, e2e::SampleFiles().size());
}

}  // namespace

namespace e2e {
INSTANTIATE_TYPED_TEST_SUITE_P(Windows, GuestRestore, WindowsGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Windows, GuestLogin, WindowsGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Windows, GuestChecksum, WindowsGuest);

INSTANTIATE_TYPED_TEST_SUITE_P(Windows, GuestBackups, WindowsGuest);
}  // namespace e2e
