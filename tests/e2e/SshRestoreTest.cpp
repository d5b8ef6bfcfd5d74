// zqrestore end to end into a Linux guest over SSH: a real OpenSSH server on a loopback address
// stands for the guest (this machine's file system is the guest's), the embedded hypervisor lists
// the VM with that address, and the instance type (601) allows only the SSH channels. Needs root
// and sshd; skipped otherwise, except in CI (CI=true), where that is a failure.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "RestoreHarness.h"
#include "testbeds/sshd/SshdFixture.h"

namespace {

using e2e::RestoreHarness;
using e2e::RunResult;
using zqtest::SshTestUsers;

constexpr const char* kVm = "linux-vm";
constexpr const char* kGuid = "8a1e0000-0000-4000-8000-0000000e2e51";
constexpr int kSshOnlyType = 601;
constexpr uid_t kOwner = 1234;
constexpr gid_t kGroup = 2345;

bool RunningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// One OpenSSH server for the whole program.
class SshGuestEnvironment : public testing::Environment {
 public:
  static SshGuestEnvironment& Get() {
    static SshGuestEnvironment* environment = new SshGuestEnvironment;
    return *environment;
  }
  void SetUp() override {
    if (!zqtest::SshdServer::CanRun(m_reason)) return;
    zqtest::SshdOptions options;
    options.address = "127.0.0.5";
    m_server = std::make_unique<zqtest::SshdServer>(options);
    m_available = m_server->Start(m_reason);
  }
  void TearDown() override { m_server.reset(); }
  bool available() const { return m_available; }
  const std::string& reason() const { return m_reason; }
  zqtest::SshdServer& server() { return *m_server; }

 private:
  std::unique_ptr<zqtest::SshdServer> m_server;
  bool m_available = false;
  std::string m_reason;
};

#define REQUIRE_SSH_GUEST()                                                   \
  do {                                                                        \
    if (!SshGuestEnvironment::Get().available()) {                            \
      if (RunningInCi()) FAIL() << SshGuestEnvironment::Get().reason();       \
      GTEST_SKIP() << SshGuestEnvironment::Get().reason();                    \
    }                                                                         \
  } while (0)

class SshRestore : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SSH_GUEST();
    UseServer(SshGuestEnvironment::Get().server());
    e2e::WriteSampleTree(source.path());
    for (const e2e::SampleFile& file : e2e::SampleFiles()) {
      ASSERT_EQ(lchown(source.Join(file.path).c_str(), kOwner, kGroup), 0);
    }
    for (const std::string& folder : e2e::SampleFolders()) {
      zqtest::SetFileModifyTime(source.Join(folder), kFolderTime);
    }
  }

  static constexpr long long kFolderTime = 1300000000;

  void UseServer(zqtest::SshdServer& server) {
    harness.server().AddVm(kVm).Guid(kGuid).IpAddresses({server.address()});
    harness.AddSshHost(server.address(), server.port());
  }

  // The guest login with user id 0, so that owners can be restored.
  nlohmann::json Job(const nlohmann::json& extra = nlohmann::json::object()) {
    return harness.Job(kVm, kGuid, destination(), SshTestUsers::kRootUser, SshTestUsers::RootPassword(), extra);
  }
  std::string destination() const { return guest.Join("restore"); }
  std::string InGuest(const std::string& relative) const { return destination() + "/" + relative; }

  void ExpectNoSecrets(const RunResult& result) {
    for (const char* secret : {SshTestUsers::RootPassword().c_str(), RestoreHarness::kServerPassword}) {
      EXPECT_EQ(result.output.find(secret), std::string::npos) << result.output;
      EXPECT_EQ(result.summary.dump().find(secret), std::string::npos);
      EXPECT_EQ(zqtest::ReadFile(harness.LogFile()).find(secret), std::string::npos);
    }
  }

  RestoreHarness harness{kSshOnlyType};
  zqtest::TempDir guest;
  zqtest::TempDir source;
};

TEST_F(SshRestore, RestoresIntoALinuxGuestWithContentTimesOwnerAndMode) {
  const RunResult result = harness.Restore(Job(), source.path(), 300);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], e2e::SampleFiles().size());
  EXPECT_EQ(result.summary["restoredFolders"], e2e::SampleFolders().size());
  EXPECT_EQ(result.summary["failed"], 0);
  for (const e2e::SampleFile& file : e2e::SampleFiles()) {
    SCOPED_TRACE(file.path);
    const struct stat info = zqtest::StatOf(InGuest(file.path));
    EXPECT_EQ(zqtest::ReadFile(InGuest(file.path)), file.content);
    EXPECT_EQ(info.st_mtime, file.mtime);
    EXPECT_EQ(info.st_mode & 07777, file.mode);
    EXPECT_EQ(info.st_uid, kOwner);
    EXPECT_EQ(info.st_gid, kGroup);
  }
  for (const std::string& folder : e2e::SampleFolders()) {
    const struct stat info = zqtest::StatOf(InGuest(folder));
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << folder;
    // Applied again once the folder's contents were in place.
    EXPECT_EQ(info.st_mtime, kFolderTime) << folder;
  }
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
  ExpectNoSecrets(result);
}

TEST_F(SshRestore, SecondRunKeepsTheGuestsFilesAndOverwriteAlwaysReplacesThem) {
  ASSERT_EQ(harness.Restore(Job(), source.path(), 300).status, 0);
  zqtest::WriteFile(InGuest("a.txt"), "changed in the guest\n");
  zqtest::SetFileModifyTime(InGuest("a.txt"), 1600000000 + 3600);  // newer than the backup

  const RunResult again = harness.Restore(Job(), source.path(), 300);
  ASSERT_EQ(again.status, 0) << again.output;
  // The folders exist already: kept too, with the guest's own attributes.
  EXPECT_EQ(again.summary["kept"], e2e::SampleFiles().size() + e2e::SampleFolders().size());
  EXPECT_EQ(again.summary["restoredFolders"], 0);
  EXPECT_EQ(again.summary["restoredFiles"], 0);
  EXPECT_EQ(zqtest::ReadFile(InGuest("a.txt")), "changed in the guest\n");

  const RunResult replaced = harness.Restore(Job({{"overwriteAlways", true}}), source.path(), 300);
  ASSERT_EQ(replaced.status, 0) << replaced.output;
  EXPECT_EQ(replaced.summary["restoredFiles"], e2e::SampleFiles().size());
  EXPECT_EQ(zqtest::ReadFile(InGuest("a.txt")), "alpha\n");
  EXPECT_EQ(zqtest::StatOf(InGuest("a.txt")).st_mtime, 1600000000);
}

// A login other than root cannot give entries away: content, mode and times arrive, every entry
// counts as restored, and the summary warns once that the owners are the login's.
TEST_F(SshRestore, NonRootLoginAppliesModesAndTimesAndWarnsOnceAboutOwners) {
  ASSERT_EQ(chown(guest.path().c_str(), SshTestUsers::UserId(), SshTestUsers::GroupId()), 0);
  const RunResult result = harness.Restore(
      harness.Job(kVm, kGuid, destination(), SshTestUsers::kUser, SshTestUsers::Password()), source.path(), 300);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.summary["failed"], 0);
  const size_t entries = e2e::SampleFiles().size() + e2e::SampleFolders().size();
  EXPECT_EQ(result.summary["restoredFiles"].get<size_t>() + result.summary["restoredFolders"].get<size_t>(), entries);
  const std::string warning =
      "owner not set on " + std::to_string(entries) + " entries: login " + SshTestUsers::kUser + " is not root";
  EXPECT_EQ(result.summary["warnings"], nlohmann::json::array({warning}));
  EXPECT_NE(result.output.find("  warning     " + warning + "\n"), std::string::npos) << result.output;
  for (const e2e::SampleFile& file : e2e::SampleFiles()) {
    SCOPED_TRACE(file.path);
    const struct stat info = zqtest::StatOf(InGuest(file.path));
    EXPECT_EQ(zqtest::ReadFile(InGuest(file.path)), file.content);
    EXPECT_EQ(info.st_mtime, file.mtime);
    EXPECT_EQ(info.st_mode & 07777, file.mode);
    EXPECT_EQ(info.st_uid, SshTestUsers::UserId());
  }
  for (const std::string& folder : e2e::SampleFolders()) {
    EXPECT_EQ(zqtest::StatOf(InGuest(folder)).st_mtime, kFolderTime) << folder;
  }
}

// The Windows probe and then the Unix probe both need the login; the refused password is asked of
// the server once, the second probe takes the remembered refusal.
TEST_F(SshRestore, RefusesAWrongGuestPasswordWithTheChannelsHint) {
  zqtest::SshdServer& server = SshGuestEnvironment::Get().server();
  auto failedLogins = [&server] {
    const std::string log = server.Log();
    size_t count = 0;
    for (size_t at = log.find("Failed password for"); at != std::string::npos;
         at = log.find("Failed password for", at + 1)) {
      ++count;
    }
    return count;
  };
  const size_t before = failedLogins();
  const std::string wrongPassword = "not the password " + std::to_string(getpid()) + "." + std::to_string(time(nullptr));
  const RunResult result =
      harness.Restore(harness.Job(kVm, kGuid, destination(), SshTestUsers::kRootUser, wrongPassword),
                      source.path(), 120);
  EXPECT_EQ(failedLogins() - before, 1u) << server.Log();
  EXPECT_EQ(result.status, 3) << result.output;
  ASSERT_EQ(result.summary["pendingCauses"].size(), 1u) << result.output;
  EXPECT_EQ(result.summary["pendingCauses"][0]["code"], "0x4800006A");
  EXPECT_NE(result.output.find("Please check guest VM login credentials."), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("zqplink.exe: authentication refused for root"), std::string::npos) << result.output;
  struct stat info {};
  EXPECT_NE(lstat(destination().c_str(), &info), 0) << "nothing reached the guest";
}

TEST_F(SshRestore, CarriesHostileNamesThroughEveryShellUnchanged) {
  zqtest::TempDir hostile;
  e2e::WriteHostileTree(hostile.path());
  const RunResult result = harness.Restore(Job(), hostile.path(), 300);
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_EQ(result.summary["failed"], 2) << result.output;
  for (const std::string& name : e2e::RestorableHostileNames()) {
    EXPECT_EQ(zqtest::ReadFile(InGuest(name)), "content of " + name) << name;
  }
  EXPECT_EQ(zqtest::ReadFile(InGuest(e2e::kHostileInner)), "inner");
  struct stat info {};
  EXPECT_NE(lstat(InGuest("pwned").c_str(), &info), 0);
  EXPECT_NE(lstat((harness.Folder() + "/pwned").c_str(), &info), 0);
  EXPECT_NE(lstat("/pwned", &info), 0);
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
}

// The guest's SSH server goes away once a few entries have landed: every entry after that fails
// within the tools' time limits, the job still ends, and the staging folder is cleaned up.
TEST_F(SshRestore, EndsInBoundedTimeWhenTheGuestBecomesUnreachable) {
  zqtest::SshdOptions options;
  options.address = "127.0.0.6";
  zqtest::SshdServer vanishing(options);
  std::string problem;
  ASSERT_TRUE(vanishing.Start(problem)) << problem;
  RestoreHarness local(kSshOnlyType);
  local.server().AddVm(kVm).Guid(kGuid).IpAddresses({vanishing.address()});
  local.AddSshHost(vanishing.address(), vanishing.port());
  local.Set("SSH", "ConnectTimeout", "3");
  local.Set("SSH", "KeepAliveInterval", "1");
  local.Set("SSH", "KeepAliveCountMax", "2");

  zqtest::TempDir many;
  constexpr int kFiles = 40;
  for (int i = 0; i < kFiles; ++i) zqtest::WriteFile(many.Join("file-" + std::to_string(100 + i)), "x");
  const std::string target = guest.Join("vanishing");

  std::atomic<bool> done{false};
  std::thread stopper([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      struct stat info {};
      if (lstat((target + "/file-104").c_str(), &info) == 0) {
        vanishing.Stop();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const RunResult result = local.Restore(
      local.Job(kVm, kGuid, target, SshTestUsers::kRootUser, SshTestUsers::RootPassword()), many.path(), 240);
  done = true;
  stopper.join();

  EXPECT_FALSE(vanishing.IsRunning()) << "the guest never went away: " << result.output;
  EXPECT_EQ(result.status, 1) << result.output;
  const int restored = result.summary["restoredFiles"].get<int>();
  const int failed = result.summary["failed"].get<int>();
  EXPECT_GE(restored, 4);
  EXPECT_GT(failed, 0);
  EXPECT_EQ(restored + failed, kFiles) << "every entry got an answer";
  EXPECT_LT(result.seconds, 200) << "bounded: " << failed << " failures";
  EXPECT_TRUE(local.LeftoverStagingFolders().empty());
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(&SshGuestEnvironment::Get());
  return RUN_ALL_TESTS();
}
