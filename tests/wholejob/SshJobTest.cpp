// Whole jobs that reach the guest over SSH. The "guest" is this machine behind the test OpenSSH
// server, logged in as the uid-0 test user. While each job runs, the command line of every process
// on the machine is sampled for passwords.
#include <pwd.h>
#include <unistd.h>

#include <boost/algorithm/string/replace.hpp>
#include <cstdlib>
#include <memory>

#include "SshGuest.h"
#include "WholeJobFixture.h"

namespace wholejob {
namespace {

using zqtest::SshTestUsers;

constexpr const char* kDeadAddress = "127.0.0.9";
constexpr const char* kSshHint =
    "1.Please check guest VM login credentials.\n"
    "2.For linux guest VM, enable ssh access.\n"
    "3.While using linux access node to restore to windows guest, please make sure ssh is installed and enabled on "
    "windows guest.\n";

// A tree with owners, groups, modes and times that differ from entry to entry; folders come
// before what they hold.
std::vector<StagedEntry> UnixTree(int64_t uid, int64_t gid) {
  return {
      {"etc", true, "", 0750, uid, gid, 1700000000, 1700000000},
      {"etc/app.conf", false, "key = value\n", 0640, uid, gid, 1700000100, 1700000500},
      {"etc/run.sh", false, "#!/bin/sh\necho ok\n", 0755, 0, 0, 1650000000, 1650000900},
      {"logs", true, "", 0701, 0, gid, 1700000200, 1700000200},
      {"logs/timeZqColonZq12.log", false, "12:00 ok\n", 0604, uid, 0, 1690000000, 1690000001},
      {"top level.txt", false, "top\n", 0444, uid, gid, 1680000000, 1680000002},
  };
}

// The name of a staged entry in a Unix guest: the host writes ':' as "ZqColonZq".
std::string GuestName(const std::string& stagedPath) {
  return boost::algorithm::replace_all_copy(stagedPath, "ZqColonZq", ":");
}

class SshWholeJob : public WholeJobTest {
 protected:
  void SetUp() override {
    REQUIRE_SSH_GUEST();
    m_site.installation().AddHost(SshGuest().server().address(), SshGuest().server().port());
    m_tree = UnixTree(SshTestUsers::UserId(), SshTestUsers::GroupId());
    m_watch = std::make_unique<ProcessWatch>(Secrets());
  }

  void TearDown() override {
    if (m_watch) {
      m_watch->Stop();
      EXPECT_EQ(m_watch->CommandLineLeaks(), std::vector<std::string>{}) << "command lines that held a password";
      EXPECT_EQ(m_watch->EnvironmentLeaks(), std::vector<std::string>{}) << "processes that carried the password";
    }
    WholeJobTest::TearDown();
  }

  // A VM of the hypervisor server whose guest address is the SSH server's.
  zqtest::InventoryBuilder::Vm& AddSshVm(const std::string& name, const std::string& guid) {
    return m_site.server().AddVm(name).Guid(guid).IpAddresses({SshGuest().server().address()});
  }

  static RestoreTarget SshTarget(const std::string& name, const std::string& guid) {
    return {name, guid, SshTestUsers::kRootUser, SshTestUsers::RootPassword()};
  }

  // Every entry of the tree below `root`, with the header's owner, group and mode, and for files
  // the content, the modification time and the header's second time as the access time. Folder
  // times are not compared: the files restored into a folder change them afterwards.
  void ExpectRestoredWithAttributes(const std::string& root) {
    for (const StagedEntry& staged : m_tree) {
      SCOPED_TRACE(staged.path);
      const GuestEntry entry = StatGuestEntry(root + "/" + GuestName(staged.path));
      ASSERT_TRUE(entry.exists);
      EXPECT_EQ(entry.uid, staged.uid);
      EXPECT_EQ(entry.gid, staged.gid);
      EXPECT_EQ(entry.mode, staged.mode);
      if (staged.folder) continue;
      EXPECT_EQ(entry.content, staged.content);
      EXPECT_EQ(entry.mtime, staged.mtime);
      EXPECT_EQ(entry.atime, staged.ctime);
    }
  }

  void ExpectEveryEntryRestored(const JobRecord& job, const std::string& guestFolder) {
    ASSERT_EQ(job.entries.size(), m_tree.size());
    for (size_t i = 0; i < m_tree.size(); ++i) {
      SCOPED_TRACE(m_tree[i].path);
      EXPECT_TRUE(job.entries[i].restored);
      EXPECT_TRUE(job.entries[i].attributesApplied) << "ACLs are on";
      EXPECT_FALSE(job.entries[i].skipped);
      EXPECT_EQ(job.entries[i].guestPath, guestFolder + "/" + GuestName(m_tree[i].path));
    }
  }

  std::vector<StagedEntry> m_tree;
  std::unique_ptr<ProcessWatch> m_watch;
};

TEST_F(SshWholeJob, NoNativeKindRestoresOverTheUnixChannelWithOwnersModesAndTimes) {
  m_site.SetInstanceType(601);
  AddSshVm("lnx601", "guid-601");
  const std::string destination = m_site.NewFolder("ssh-guest") + "/restore";

  const JobRecord job = Run({RestoreOptions(SshTarget("lnx601", "guid-601")), destination, 0}, m_tree);

  ASSERT_TRUE(job.jobOptionsAccepted) << testing::PrintToString(CausesOf(job));
  EXPECT_EQ(job.instanceTypeAfterOptions, 601);
  EXPECT_TRUE(m_logs.sink().Contains("Using ZQUnixGuestAPI interface"));
  EXPECT_EQ(LinesHolding("Using ZQVMInfoGuestAPI interface"), 0) << "this kind has no native guest operations";
  EXPECT_TRUE(job.foldersPrepared);
  EXPECT_TRUE(job.stagingInitialised);
  ExpectEveryEntryRestored(job, "/" + destination);
  ExpectRestoredWithAttributes(destination);
  EXPECT_TRUE(job.stagingReleased);
  EXPECT_FALSE(StatGuestEntry(job.stagingFolder).exists) << "the staging folder outlived the job";
  EXPECT_EQ(CausesOf(job), std::vector<Cause>{});
  EXPECT_GT(m_watch->ToolSightings(), 0) << "the command-line watch never saw the SSH tools run";
}

TEST_F(SshWholeJob, NoNativeKindWhoseGuestCannotBeReachedIsRefusedWithTheThreeLineHint) {
  m_site.SetInstanceType(601);
  m_site.installation().AddHost(kDeadAddress, zqtest::FreeLoopbackPort(kDeadAddress));
  m_site.server().AddVm("lnx-dead").Guid("guid-dead").IpAddresses({kDeadAddress});
  AddSshVm("lnx-locked", "guid-locked");
  struct Row {
    const char* situation;
    std::string vmName;
    std::string vmGuid;
    std::string guestPassword;
    std::string reason;
  };
  const Row rows[] = {
      {"nothing answers at the guest's address", "lnx-dead", "guid-dead", SshTestUsers::RootPassword(),
       std::string("zqplink.exe: cannot connect to ") + kDeadAddress + ": connection refused"},
      {"the guest refuses the login", "lnx-locked", "guid-locked", kWrongGuestPassword,
       "zqplink.exe: authentication refused for root at " + SshGuest().server().address()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    RestoreTarget target = SshTarget(row.vmName, row.vmGuid);
    target.guestPassword = row.guestPassword;

    const JobRecord job = Run({RestoreOptions(target), m_site.NewFolder(row.vmName), 0}, m_tree);

    EXPECT_FALSE(job.jobOptionsAccepted);
    EXPECT_FALSE(job.foldersPrepared);
    ASSERT_EQ(job.pendingCauses.size(), 1u);
    EXPECT_EQ(job.pendingCauses[0].code, kMsgSentence);
    ASSERT_EQ(job.pendingCauses[0].arguments.size(), 1u);
    // The hint, then the reason the last login attempt gave.
    EXPECT_EQ(job.pendingCauses[0].arguments[0].rfind(std::string(kSshHint) + "Reason: " + row.reason, 0), 0u)
        << job.pendingCauses[0].arguments[0];
    EXPECT_TRUE(LoggedError(kPrepareGuestAPIOrigin, "Failed to enable guest API services on VM [" + row.vmName + "] [" +
                                                        row.vmGuid + "]. Restore to the VM cannot continue."));
  }
  EXPECT_EQ(LinesHolding(std::string("Init failed ") + kSshHint), 2);
  EXPECT_EQ(LinesHolding("Using ZQVMInfoGuestAPI interface"), 0) << "this kind has no native guest operations";
}

TEST_F(SshWholeJob, VMwareWithSshAllowedProbesOverSshThenRestoresOverTheNativeChannel) {
  // The Unix channel declines VMware VMs in its own Init; once the Windows probe over SSH has
  // found no Windows guest, the job goes to the hypervisor's own guest operations.
  m_site.SetInstanceType(101);
  m_site.installation().Set("VirtualServer", "UseZQGuestAPI", "true");
  for (int toolsStatus : {2, 3}) {
    SCOPED_TRACE("tools status " + std::to_string(toolsStatus));
    const std::string name = "web0" + std::to_string(toolsStatus);
    const std::string guest = m_site.NewFolder(name);
    AddSshVm(name, "4203a1b2-a00" + std::to_string(toolsStatus))
        .Tools(toolsStatus, "guestToolsRunning")
        .UnixGuest(guest)
        .GuestLogin(SshTestUsers::kRootUser, SshTestUsers::RootPassword());
    const int probesBefore = LinesHolding("systeminfo");

    const JobRecord job =
        Run({RestoreOptions(SshTarget(name, "4203a1b2-a00" + std::to_string(toolsStatus))), "/restore", 0}, m_tree);

    ASSERT_TRUE(job.jobOptionsAccepted) << testing::PrintToString(CausesOf(job));
    EXPECT_EQ(job.instanceTypeAfterOptions, 101);
    EXPECT_GT(LinesHolding("systeminfo"), probesBefore) << "the Windows probe went to the guest over SSH";
    ExpectEveryEntryRestored(job, "//restore");
    ExpectRestoredWithAttributes(guest + "/restore");
    EXPECT_TRUE(job.stagingReleased);
    EXPECT_EQ(CausesOf(job), std::vector<Cause>{});
  }
  EXPECT_EQ(LinesHolding("Using ZQVMInfoGuestAPI interface"), 2);
  EXPECT_EQ(LinesHolding("uname -a"), 0) << "the Unix channel declines VMware without a command";
  EXPECT_GT(m_watch->ToolSightings(), 0) << "the command-line watch never saw the SSH tools run";
}

TEST_F(SshWholeJob, NoOpenSshProcessCarriesThePasswordNotEvenASharedConnectionLeftBehind) {
  m_site.SetInstanceType(601);
  AddSshVm("lnx601", "guid-601");
  m_tree.resize(2);

  const JobRecord job =
      Run({RestoreOptions(SshTarget("lnx601", "guid-601")), m_site.NewFolder("ssh-guest") + "/restore", 0}, m_tree);

  ASSERT_TRUE(job.jobOptionsAccepted) << testing::PrintToString(CausesOf(job));
  EXPECT_TRUE(std::getenv("ZQ_PUTTY_PASS") == nullptr) << "the password stayed in this process's environment";
  // TearDown checks the environments the watch read while the job ran.
  EXPECT_GT(m_watch->OpenSshSightings(), 0) << "the watch never read the environment of an OpenSSH client";
  // A shared connection outlives the job. It writes its process title over its original
  // environment, so its environment is looked for in its memory instead.
  int sharedConnections = 0;
  for (pid_t pid : AllProcesses()) {
    const std::string commandLine = CommandLineOf(pid);
    if (commandLine.find(m_site.installation().ControlDir()) == std::string::npos) continue;
    ++sharedConnections;
    SCOPED_TRACE(commandLine);
    std::string problem;
    EXPECT_TRUE(MemoryHolds(pid, "SSH_ASKPASS=", problem)) << "its environment was not found " << problem;
    EXPECT_FALSE(MemoryHolds(pid, "ZQ_PUTTY_PASS=", problem)) << problem;
    EXPECT_FALSE(MemoryHolds(pid, SshTestUsers::RootPassword(), problem)) << problem;
  }
  EXPECT_GE(sharedConnections, 1) << "no shared SSH connection outlived the job, so none was examined";
  // The guest sessions outlive the job too; their command lines name the tools, and /proc shows
  // the environment they started with, where the password must be wiped, not only unset.
  int survivors = 0;
  EXPECT_EQ(SurvivorsCarryingPasswords({m_site.installation().folder()}, Secrets(), survivors),
            std::vector<std::string>{});
  EXPECT_GT(survivors, sharedConnections) << "no guest session outlived the job, so none was examined";
}

}  // namespace
}  // namespace wholejob
