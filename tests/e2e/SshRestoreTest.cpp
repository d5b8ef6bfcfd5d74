// zqrestore end to end into a Linux guest over SSH: a real OpenSSH server on a loopback address
// stands for the guest (this machine's file system is the guest's), the embedded hypervisor lists
// the VM with that address, and the instance type (601) allows only the SSH channels. Needs root
// and sshd; skipped otherwise, except in CI (CI=true), where that is a failure.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "GuestRestoreScenarios.h"
#include "testbeds/sshd/SshdGuestEnvironment.h"

namespace {

using e2e::RestoreHarness;
using e2e::RunResult;
using zqtest::SshTestUsers;

constexpr const char* kVm = "linux-vm";
constexpr const char* kGuid = "8a1e0000-0000-4000-8000-0000000e2e51";
constexpr int kSshOnlyType = 601;
constexpr uid_t kOwner = 1234;
constexpr gid_t kGroup = 2345;

// One OpenSSH server for the whole program.
zqtest::SshdGuestEnvironment& SshGuestEnvironment() {
  static auto* environment = new zqtest::SshdGuestEnvironment("127.0.0.5");
  return *environment;
}

// A Linux guest: this machine's file system through the server, logged in as root (inside the
// server's own account files), so that owners can be restored.
class SshGuest {
 public:
  static constexpr int kSeconds = 300;
  static constexpr long long kChangedInGuestAt = 1600000000 + 3600;  // newer than the backup
  static constexpr const char* kWrongPasswordCode = "0x4800006A";
  static constexpr const char* kWrongPasswordText = "Please check guest VM login credentials.";
  static constexpr long long kFolderTime = 1300000000;

  void SetUp(const std::string& source) {
    REQUIRE_SSHD_GUEST(SshGuestEnvironment());
    harness.AddSshGuest(kVm, kGuid, server());
    for (const e2e::SampleFile& file : e2e::SampleFiles()) {
      ASSERT_EQ(lchown((source + "/" + file.path).c_str(), kOwner, kGroup), 0);
    }
    for (const std::string& folder : e2e::SampleFolders()) {
      zqtest::SetFileModifyTime(source + "/" + folder, kFolderTime);
    }
  }
  zqtest::SshdServer& server() { return SshGuestEnvironment().server(); }

  nlohmann::json Job(const nlohmann::json& extra = nlohmann::json::object(),
                     const std::string& password = SshTestUsers::RootPassword()) const {
    return harness.Job(kVm, kGuid, destination(), SshTestUsers::kRootUser, password, extra);
  }
  std::string destination() const { return guest.Join("restore"); }
  std::string InGuest(const std::string& relative) const { return destination() + "/" + relative; }
  std::vector<std::string> Secrets() const { return {SshTestUsers::RootPassword(), RestoreHarness::kServerPassword}; }

  void ExpectCompleted(const RunResult&) const {}
  void ExpectFile(const e2e::SampleFile& file, const struct stat& info) const {
    EXPECT_EQ(info.st_mode & 07777, file.mode);
    EXPECT_EQ(info.st_uid, kOwner);
    EXPECT_EQ(info.st_gid, kGroup);
  }
  // Applied again once the folder's contents were in place.
  void ExpectFolder(const std::string&, const struct stat& info) const { EXPECT_EQ(info.st_mtime, kFolderTime); }

  // The Windows probe and then the Unix probe both need the login; the refused password is asked
  // of the server once, the second probe takes the remembered refusal.
  void BeforeWrongPassword() { m_failedLoginsBefore = FailedLogins(); }
  void ExpectWrongPassword(const RunResult& result) {
    EXPECT_EQ(FailedLogins() - m_failedLoginsBefore, 1u) << server().Log();
    EXPECT_NE(result.output.find("zqplink.exe: authentication refused for root"), std::string::npos) << result.output;
    EXPECT_FALSE(zqtest::Exists(destination())) << "nothing reached the guest";
  }

  RestoreHarness harness{kSshOnlyType};
  zqtest::TempDir guest;

 private:
  size_t FailedLogins() {
    const std::string log = server().Log();
    size_t count = 0;
    for (size_t at = log.find("Failed password for"); at != std::string::npos;
         at = log.find("Failed password for", at + 1)) {
      ++count;
    }
    return count;
  }

  size_t m_failedLoginsBefore = 0;
};

}  // namespace

namespace e2e {
INSTANTIATE_TYPED_TEST_SUITE_P(Ssh, GuestRestore, SshGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Ssh, GuestLogin, SshGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Ssh, GuestChecksum, SshGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Ssh, GuestBackups, SshGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Ssh, UnixGuestRestore, SshGuest);
}  // namespace e2e

namespace {

// What only a Linux guest over SSH does: logins other than root, a guest that goes away.
class SshRestore : public testing::Test {
 protected:
  void SetUp() override {
    e2e::WriteSampleTree(source.path());
    ssh.SetUp(source.path());
  }

  SshGuest ssh;
  RestoreHarness& harness = ssh.harness;
  zqtest::TempDir& guest = ssh.guest;
  zqtest::TempDir source;
};

// A login other than root cannot give entries away: content, mode and times arrive, every entry
// counts as restored, and the summary warns once that the owners are the login's.
TEST_F(SshRestore, NonRootLoginAppliesModesAndTimesAndWarnsOnceAboutOwners) {
  ASSERT_EQ(chown(guest.path().c_str(), SshTestUsers::UserId(), SshTestUsers::GroupId()), 0);
  const nlohmann::json job = harness.Job(kVm, kGuid, ssh.destination(), SshTestUsers::kUser, SshTestUsers::Password());
  // The dry run warns as the real run will.
  const RunResult plan = harness.Restore(job, source.path(), 300, {"--dry-run"});
  ASSERT_EQ(plan.status, 0) << plan.output;
  EXPECT_EQ(plan.summary["warnings"], nlohmann::json::array({std::string("owner will not be set: login ") +
                                                              SshTestUsers::kUser + " is not root"}));
  const RunResult result = harness.Restore(job, source.path(), 300);
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
    const struct stat info = zqtest::StatOf(ssh.InGuest(file.path));
    EXPECT_EQ(zqtest::ReadFile(ssh.InGuest(file.path)), file.content);
    EXPECT_EQ(info.st_mtime, file.mtime);
    EXPECT_EQ(info.st_mode & 07777, file.mode);
    EXPECT_EQ(info.st_uid, SshTestUsers::UserId());
  }
  for (const std::string& folder : e2e::SampleFolders()) {
    EXPECT_EQ(zqtest::StatOf(ssh.InGuest(folder)).st_mtime, SshGuest::kFolderTime) << folder;
  }
}

// A Windows destination for a Linux guest is refused before anything is created, by the dry run
// as by the real run, with a job message that says why.
TEST_F(SshRestore, DestinationInAnotherGuestsStyleIsRefusedByTheDryRunAsByTheRealRun) {
  const nlohmann::json job =
      harness.Job(kVm, kGuid, "D:\\Restore", SshTestUsers::kRootUser, SshTestUsers::RootPassword());
  for (const std::vector<std::string>& options : {std::vector<std::string>{"--dry-run"}, std::vector<std::string>{}}) {
    const RunResult result = harness.Restore(job, source.path(), 300, options);
    EXPECT_EQ(result.status, 3) << result.output;
    EXPECT_NE(result.output.find("is not an absolute folder of a Linux guest"), std::string::npos) << result.output;
    EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
  }
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
  local.AddSshGuest(kVm, kGuid, vanishing);
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

// The zqrestore process whose working folder is `folder` (each harness runs in its own), or -1.
pid_t ZqrestoreIn(const std::string& folder) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  pid_t found = -1;
  while (const dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    char cwd[4096];
    const ssize_t length = readlink(("/proc/" + pid + "/cwd").c_str(), cwd, sizeof cwd - 1);
    if (length <= 0 || std::string(cwd, static_cast<size_t>(length)) != folder) continue;
    if (zqtest::ReadFile("/proc/" + pid + "/comm") == "zqrestore\n") found = std::stoi(pid);
  }
  closedir(proc);
  return found;
}

// Whether the guest folder holds a file the helper script is writing (".zqrestore-*.tmp").
bool WriteInFlight(const std::string& folder) {
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(listing)) found |= std::string(entry->d_name).rfind(".zqrestore-", 0) == 0;
  closedir(listing);
  return found;
}

// One command restores into the guest: no job file, inventory or application configuration, and
// the port given with the address, not in an OpenSSH configuration. The dry run and a guest
// command take the same form; the run's private folder is gone afterwards, also after a refusal.
TEST_F(SshRestore, ShortFormRestoresWithOneCommandAndLeavesNothingBehind) {
  zqtest::WriteFile(harness.Folder() + "/ssh_config", "");  // the port only on the command line
  const std::string temporary = harness.Folder() + "/tmp";
  ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
  harness.SetEnvironment("TMPDIR", temporary);
  const std::string passwordFile = harness.Folder() + "/root.pw";
  zqtest::WriteFile(passwordFile, SshTestUsers::RootPassword() + "\n");
  ASSERT_EQ(chmod(passwordFile.c_str(), 0600), 0);
  harness.SetEnvironment("ZQ_TEST_ROOT_PASSWORD", SshTestUsers::RootPassword());
  const std::string guestWord =
      std::string(SshTestUsers::kRootUser) + "@" + ssh.server().address() + ":" + std::to_string(ssh.server().port());
  const std::vector<std::string> guestOptions = {"--guest", guestWord, "--guest-os", "linux"};
  auto command = [&](std::vector<std::string> first, std::vector<std::string> last) {
    first.insert(first.end(), guestOptions.begin(), guestOptions.end());
    first.insert(first.end(), last.begin(), last.end());
    return harness.Command(nlohmann::json::object(), first, true, 300);
  };
  struct Row {
    const char* name;
    std::vector<std::string> first;
    std::vector<std::string> last;
    int status;
    std::string expected;  // in the output
  } const rows[] = {
      {"DryRun", {"restore", "--dry-run"},
       {"--password-file", passwordFile, "--destination", ssh.destination(), source.path()}, 0,
       "Dry run into VM [127.0.0.5]"},
      {"Restore", {"restore", "--progress", "never"},
       {"--password-file", passwordFile, "--destination", ssh.destination(), source.path()}, 0,
       "Restore into VM [127.0.0.5] folder [" + ssh.destination() + "]: completed"},
      {"BrowseWithTheVariable", {"guest"}, {"--password-env", "ZQ_TEST_ROOT_PASSWORD", "browse", ssh.destination()},
       0, "a.txt"},
      {"WrongPassword", {"restore", "--progress", "never"},
       {"--password-env", "ZQ_TEST_WRONG", "--destination", ssh.destination(), source.path()}, 3,
       "refused while checking the VM and the guest login"},
  };
  harness.SetEnvironment("ZQ_TEST_WRONG", "not-the-password");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const RunResult result = command(row.first, row.last);
    EXPECT_EQ(result.status, row.status) << result.output;
    EXPECT_NE(result.output.find(row.expected), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find(SshTestUsers::RootPassword()), std::string::npos) << result.output;
    EXPECT_TRUE(std::filesystem::is_empty(temporary)) << "the private folder of the run is removed";
  }
  for (const e2e::SampleFile& file : e2e::SampleFiles()) {
    SCOPED_TRACE(file.path);
    EXPECT_EQ(zqtest::ReadFile(ssh.InGuest(file.path)), file.content);
    ssh.ExpectFile(file, zqtest::StatOf(ssh.InGuest(file.path)));
  }
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());

  // The Ansible module takes the same form, the password from a vault variable: it reaches
  // zqrestore through its environment and shows nowhere.
  if (access("/usr/bin/ansible-playbook", X_OK) == 0 || zqtest::RunningInCi()) {
    const nlohmann::json task = {{"guest", guestWord},       {"guest_os", "linux"},
                                 {"password", SshTestUsers::RootPassword()}, {"source", source.path()},
                                 {"destination", ssh.destination() + "/ansible"}, {"settings", harness.SettingsFile()},
                                 {"zqrestore", ZQ_ZQRESTORE}};
    const nlohmann::json play = nlohmann::json::array(
        {{{"hosts", "localhost"},
          {"gather_facts", false},
          {"tasks",
           {{{"zq.restore.zqrestore", task}, {"check_mode", true}, {"register", "dry"}},
            {{"zq.restore.zqrestore", task}, {"register", "first"}},
            {{"zq.restore.zqrestore", task}, {"register", "again"}},
            {{"ansible.builtin.assert",
              {{"that", {"dry.changed", "first.changed", "not again.changed", "again.summary.kept > 0"}}}}}}}}});
    zqtest::WriteFile(harness.Folder() + "/play.yml", play.dump());
    harness.SetEnvironment("ANSIBLE_COLLECTIONS_PATH", ZQ_ANSIBLE_COLLECTIONS);
    harness.SetEnvironment("ANSIBLE_HOME", harness.Folder() + "/ansible-home");
    harness.SetEnvironment("ANSIBLE_LOCAL_TEMP", harness.Folder() + "/ansible-tmp");
    const RunResult run = harness.Program(
        nlohmann::json::object(),
        {"ansible-playbook", "-i", "localhost,", "-c", "local", "-v", harness.Folder() + "/play.yml"}, 300);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(zqtest::ReadFile(ssh.InGuest("ansible/a.txt")), "alpha\n") << run.output;
    EXPECT_EQ(run.output.find(SshTestUsers::RootPassword()), std::string::npos) << run.output;
    EXPECT_TRUE(std::filesystem::is_empty(temporary)) << "the private folder of the run is removed";
  }

  // Stopped while a large file is in flight: a restore ends cleanly on Ctrl-C, a guest command
  // ends at once on a signal; neither leaves its private folder.
  zqtest::TempDir tree;
  {
    std::ofstream out(tree.Join("big.bin"));
    out.seekp((256LL << 20) - 1);
    out.put('e');
  }
  const std::string target = guest.Join("stopped");
  struct StopRow {
    const char* name;
    std::vector<std::string> first;
    std::vector<std::string> last;
    int signal;
    int status;
  } const stops[] = {
      {"RestoreOnCtrlC", {"restore", "--progress", "never"},
       {"--password-file", passwordFile, "--destination", target, tree.path()}, SIGINT, 130},
      {"PutOnSigterm", {"guest"}, {"--password-file", passwordFile, "put", tree.Join("big.bin"), target + "/big.bin"},
       SIGTERM, 128 + SIGTERM},
  };
  for (const StopRow& row : stops) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(std::system(("rm -rf '" + target + "' && mkdir '" + target + "'").c_str()), 0);
    std::thread watcher([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      while (!WriteInFlight(target) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      const pid_t pid = ZqrestoreIn(harness.Folder());
      if (pid > 0) kill(pid, row.signal);
    });
    const RunResult result = command(row.first, row.last);
    watcher.join();
    EXPECT_EQ(result.status, row.status) << result.output;
    EXPECT_TRUE(std::filesystem::is_empty(temporary)) << "the private folder of the stopped run is removed";
  }
}

// What happens to a job while a large file is in flight, over a real sshd: one Ctrl-C lets the
// entry finish and stops there; a second abandons it (the copy tool's group ends, the guest keeps
// its old file, no temporary stays); a killed run leaves a folder the next run clears; a second
// run of the same job alongside never disturbs the first. The next run always works.
TEST_F(SshRestore, InterruptedKilledAndRepeatedRunsEndTruthfully) {
  zqtest::TempDir tree;
  const std::string big = tree.Join("big.bin");
  {
    std::ofstream out(big);
    out.seekp((768LL << 20) - 1);
    out.put('e');
  }
  zqtest::WriteFile(tree.Join("z.txt"), "last\n");
  const std::string target = guest.Join("lifecycle");
  const nlohmann::json job = harness.Job(kVm, kGuid, target, SshTestUsers::kRootUser, SshTestUsers::RootPassword());
  struct Row {
    const char* name;
    std::vector<int> signals;  // sent to zqrestore once the large file is in flight
    bool secondRun;            // start the same job again meanwhile
    int status;
  } const rows[] = {
      {"Ctrl-C once", {SIGINT}, false, 130},
      {"Ctrl-C twice", {SIGINT, SIGINT}, false, 130},
      {"SIGTERM", {SIGTERM}, false, 143},
      {"killed", {SIGKILL}, false, 128 + SIGKILL},
      {"second run alongside", {}, true, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(std::system(("rm -rf '" + target + "' && mkdir '" + target + "'").c_str()), 0);
    zqtest::WriteFile(target + "/big.bin", "the guest's old file\n");
    zqtest::SetFileModifyTime(target + "/big.bin", 1000000000);
    RunResult second;
    std::thread watcher([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      while (!WriteInFlight(target) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      const pid_t pid = ZqrestoreIn(harness.Folder());
      for (const int signal : row.signals) {
        if (pid > 0) kill(pid, signal);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
      if (row.secondRun) second = harness.Restore(job, tree.path(), 300);
    });
    const RunResult first = harness.Restore(job, tree.path(), 300);
    watcher.join();
    EXPECT_EQ(first.status, row.status) << first.output;
    if (std::getenv("ZQ_DEBUG_LIFECYCLE")) std::cerr << row.name << ":\n" << first.output << "\n";
    const bool abandoned = row.signals.size() == 2 || row.signals == std::vector<int>{SIGKILL};
    if (row.signals.size() == 1 && row.signals[0] != SIGKILL) {
      EXPECT_EQ(first.summary["outcome"], "interrupted") << first.output;
      EXPECT_EQ(first.summary["restoredFiles"], 1) << "the entry in flight finished";
      EXPECT_EQ(first.summary["notAttempted"], 1);
      EXPECT_NE(first.output.find("stopping after the current entry"), std::string::npos) << first.output;
    }
    if (row.signals.size() == 2) {
      EXPECT_EQ(first.summary["outcome"], "interrupted") << first.output;
      EXPECT_EQ(first.summary["restoredFiles"], 0);
    }
    if (row.secondRun) {
      EXPECT_EQ(first.summary["failed"], 0) << first.output;
      EXPECT_TRUE(second.status == 0 || second.status == 1) << second.output;
    }
    if (abandoned) {
      // Compared by size first: printing a 768 MiB file in a failure message would not end well.
      const std::string old = "the guest's old file\n";
      ASSERT_EQ(zqtest::StatOf(target + "/big.bin").st_size, static_cast<off_t>(old.size()));
      EXPECT_EQ(zqtest::ReadFile(target + "/big.bin"), old);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (WriteInFlight(target) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      EXPECT_FALSE(WriteInFlight(target)) << "the guest's temporary file was removed";
    }
    if (row.signals != std::vector<int>{SIGKILL}) {
      EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
    }
    // The next run of the job works, and clears what a killed run left.
    const RunResult next = harness.Restore(job, tree.path(), 300);
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_EQ(zqtest::StatOf(target + "/big.bin").st_size, 768LL << 20);
    EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(&SshGuestEnvironment());
  return RUN_ALL_TESTS();
}
