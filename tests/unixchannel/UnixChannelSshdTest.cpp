// The Unix channel against a real OpenSSH server on a loopback address: the "guest" is this
// machine, reached as the test users over SSH with the real tools and helper script.
#include <gtest/gtest.h>

#include <algorithm>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "SshdEnvironment.h"
#include "UnixTestDoubles.h"
#include "testbeds/sshd/SshTestInstallation.h"

namespace {

using VMInfoStructs::SGuestFile;
using zqtest::ScopedLogCapture;
using zqtest::SshTestInstallation;
using zqtest::SshTestUsers;
using zqtest::TempDir;
using Clock = std::chrono::steady_clock;

constexpr const char* kDeadAddress = "127.0.0.9";
constexpr const char* kCanary = "zqcanary-sshd";

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

using zqtest::Exists;

// A guest folder owned by the test user, removed afterwards.
class GuestFolder {
 public:
  GuestFolder() {
    chown(m_dir.path().c_str(), SshTestUsers::UserId(), static_cast<gid_t>(-1));
  }
  std::string Join(const std::string& relative) const { return m_dir.Join(relative); }
  const std::string& path() const { return m_dir.path(); }

 private:
  TempDir m_dir;
};

class UnixChannelSshd : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SSHD();
    auto& environment = SshdEnvironment::Get();
    installation.Set("SSH", "ControlPersist", "10");
    installation.AddHost(environment.sftpServer().address(), environment.sftpServer().port());
    installation.AddHost(environment.legacyServer().address(), environment.legacyServer().port());
    installation.AddHost(kDeadAddress, environment.sftpServer().port());
  }

  // A channel logged in through `address` as the test user (or the uid-0 one).
  std::unique_ptr<ZQUnixGuestAPI> Connect(const std::string& address, bool asRoot = false) {
    auto channel = std::make_unique<ZQUnixGuestAPI>(&vmInfo);
    GuestLoginCred login = asRoot ? zqtest::MakeLogin(SshTestUsers::kRootUser, SshTestUsers::RootPassword(), address)
                                  : zqtest::MakeLogin(SshTestUsers::kUser, SshTestUsers::Password(), address);
    EXPECT_TRUE(channel->Init(login)) << channel->GetLastGuestApiErrorDetails();
    return channel;
  }

  std::string Sftp() const { return SshdEnvironment::Get().sftpServer().address(); }
  std::string Legacy() const { return SshdEnvironment::Get().legacyServer().address(); }

  void HostileCorpusLandsIntact(const std::string& address);

  SshTestInstallation installation{ZQ_TOOLS_DIR};
  ScopedLogCapture capture;
  zqtest::StubVMInfo vmInfo{VSInstanceNoNativeGuestOps};
  GuestCtx ctx;
  GuestFolder guest;
};

TEST_F(UnixChannelSshd, ProbeSkipsADeadAddressAndKeepsTheOneThatAnswered) {
  auto channel = Connect(std::string(kDeadAddress) + ",," + Sftp());
  std::vector<SGuestFile> entries;
  EXPECT_EQ(channel->BrowseGuest(ctx, guest.path(), entries), 1);
  EXPECT_TRUE(capture.sink().AnyContains("zqplink.exe " + std::string(kDeadAddress)));
  EXPECT_TRUE(capture.sink().AnyContains("cannot connect to " + std::string(kDeadAddress)));
}

TEST_F(UnixChannelSshd, CreatesCopiesBrowsesAndDeletes) {
  auto channel = Connect(Sftp());
  TempDir local;
  zqtest::WriteFile(local.Join("a.txt"), "first");
  std::string folder = guest.Join("restore/sub dir");
  EXPECT_EQ(channel->CreateGuestFolder(ctx, folder), 1);
  EXPECT_EQ(channel->CreateGuestFolder(ctx, folder), 1);
  EXPECT_EQ(channel->CopyFileToGuest(ctx, local.Join("a.txt"), folder + "/deeper/a.txt", false), 1);
  EXPECT_EQ(zqtest::ReadIfPresent(folder + "/deeper/a.txt"), "first");

  zqtest::WriteFile(local.Join("a.txt"), "second!");
  EXPECT_EQ(channel->CopyFileToGuest(ctx, local.Join("a.txt"), folder + "/deeper/a.txt", false), 0);
  EXPECT_EQ(zqtest::ReadIfPresent(folder + "/deeper/a.txt"), "first");
  EXPECT_EQ(channel->CopyFileToGuest(ctx, local.Join("a.txt"), folder + "/deeper/a.txt", true), 1);
  EXPECT_EQ(zqtest::ReadIfPresent(folder + "/deeper/a.txt"), "second!");

  std::vector<SGuestFile> entries;
  EXPECT_EQ(channel->BrowseGuest(ctx, folder + "/deeper", entries), 1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "a.txt");
  EXPECT_EQ(entries[0].size, 7);
  EXPECT_EQ(entries[0].type, VMInfoStructs::GuestFileRegular);
  entries.clear();
  EXPECT_EQ(channel->BrowseGuestFolders(ctx, folder, entries), 1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "deeper");

  std::string doomed = guest.Join("restore");
  EXPECT_EQ(channel->DeleteDirectoryInGuest(ctx, doomed), 1);
  EXPECT_FALSE(Exists(doomed));
}

TEST_F(UnixChannelSshd, CopiesAFolderTree) {
  auto channel = Connect(Sftp());
  TempDir local;
  zqtest::WriteFile(local.Join("one"), "1");
  mkdir(local.Join("sub").c_str(), 0755);
  zqtest::WriteFile(local.Join("sub/two"), "22");
  EXPECT_EQ(channel->CopyDirectoryToGuest(ctx, local.path(), guest.Join("tree"), true), 1);
  EXPECT_EQ(zqtest::ReadIfPresent(guest.Join("tree/one")), "1");
  EXPECT_EQ(zqtest::ReadIfPresent(guest.Join("tree/sub/two")), "22");
}

TEST_F(UnixChannelSshd, ChangesTimesOwnerGroupAndModeAsTheRootUser) {
  auto channel = Connect(Sftp(), true);
  TempDir local;
  zqtest::WriteFile(local.Join("f"), "x");
  std::string target = guest.Join("attributes/f");
  ASSERT_EQ(channel->CopyFileToGuest(ctx, local.Join("f"), target, true), 1);
  SGuestFile attributes;
  attributes.accessTime = 1500000000;
  attributes.modifyTime = 1400000000;
  attributes.uid = 4321;
  attributes.gid = 8765;
  attributes.mode = 0102750;
  EXPECT_EQ(channel->ChangeGuestFileAttributes(ctx, target, attributes), 1);
  std::string output;
  ASSERT_EQ(zqtest::RunBounded("stat -c '%X %Y %u %g %a' " + target, 10, output), 0);
  EXPECT_EQ(output, "1500000000 1400000000 4321 8765 2750\n");
  std::vector<SGuestFile> entries;
  ASSERT_EQ(channel->BrowseGuest(ctx, target, entries), 1);
  EXPECT_EQ(entries.at(0).modifyTime, 1400000000);
  EXPECT_EQ(entries.at(0).mode & 07777, 02750);
}

void UnixChannelSshd::HostileCorpusLandsIntact(const std::string& address) {
  auto channel = Connect(address);
  std::string canaryInHome = SshTestUsers::Home() + "/" + kCanary;
  unlink(canaryInHome.c_str());
  unlink(kCanary);
  TempDir local;
  for (const std::string& name : zqtest::HostileNames(kCanary)) {
    SCOPED_TRACE(testing::Message() << "name [" << name << "]");
    std::string localFile = local.Join("src-" + name.substr(0, 200));
    zqtest::WriteFile(localFile, "payload " + name);
    std::string folder = guest.Join("d " + name.substr(0, 200));
    std::string file = folder + "/" + name;
    EXPECT_EQ(channel->CreateGuestFolder(ctx, folder), 1);
    EXPECT_EQ(channel->CopyFileToGuest(ctx, localFile, file, false), 1);
    EXPECT_EQ(zqtest::ReadIfPresent(file), "payload " + name);
    std::vector<SGuestFile> entries;
    EXPECT_EQ(channel->BrowseGuest(ctx, folder, entries), 1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, name);
  }
  std::string deep = guest.path();
  for (int level = 0; level < 40; ++level) deep += "/deep " + std::to_string(level);
  EXPECT_EQ(channel->CopyFileToGuest(ctx, local.Join("src-it's"), deep + "/it's", true), 1);
  EXPECT_EQ(zqtest::ReadIfPresent(deep + "/it's"), "payload it's");
  EXPECT_FALSE(Exists(canaryInHome));
  EXPECT_FALSE(Exists(kCanary));
}

TEST_F(UnixChannelSshd, HostileNamesLandIntactOverSftpAndRunNothing) { HostileCorpusLandsIntact(Sftp()); }

TEST_F(UnixChannelSshd, HostileNamesLandIntactOverLegacyScpAndRunNothing) { HostileCorpusLandsIntact(Legacy()); }

TEST_F(UnixChannelSshd, NulByteInAPathIsRefused) {
  auto channel = Connect(Sftp());
  EXPECT_EQ(channel->CreateGuestFolder(ctx, guest.Join(std::string("a\0b", 3))), 0);
  EXPECT_FALSE(Exists(guest.Join("a")));
}

TEST_F(UnixChannelSshd, WrongPasswordFailsFast) {
  ZQUnixGuestAPI channel(&vmInfo);
  auto start = Clock::now();
  EXPECT_FALSE(channel.Init(zqtest::MakeLogin(SshTestUsers::kUser, "not the password", Sftp())));
  EXPECT_LT(SecondsSince(start), 30.0);  // a hang guard: one refused attempt, never a prompt
  EXPECT_TRUE(capture.sink().AnyContains("authentication refused for zqtuser at " + Sftp()));
}

TEST_F(UnixChannelSshd, AnotherPasswordNeverRidesOnAnEarlierLogin) {
  auto channel = Connect(Sftp());
  EXPECT_EQ(channel->CreateGuestFolder(ctx, guest.Join("x")), 1);
  ZQUnixGuestAPI intruder(&vmInfo);
  EXPECT_FALSE(intruder.Init(zqtest::MakeLogin(SshTestUsers::kUser, "not the password", Sftp())));
  EXPECT_EQ(channel->CreateGuestFolder(ctx, guest.Join("y")), 1);
  // One shared connection and one guest session ("-g"), both of the right password.
  int sockets = 0;
  std::string output;
  zqtest::RunBounded("find " + installation.ControlDir() + " -type s ! -name '*-g*'", 10, output);
  for (char c : output) sockets += c == '\n';
  EXPECT_EQ(sockets, 1) << output;
  zqtest::RunBounded("find " + installation.ControlDir() + " -type s -name '*-g*'", 10, output);
  const char* idle = std::getenv("ZQ_TEST_GUEST_SESSION_IDLE");
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), idle != nullptr && std::string(idle) == "0" ? 0 : 1)
      << output;
}

// The guest session's loop runs in the guest's perl unless the session or its Perl loop is off.
TEST_F(UnixChannelSshd, GuestSessionLoopRunsInPerlUnlessTurnedOff) {
  auto channel = Connect(Sftp());
  EXPECT_EQ(channel->CreateGuestFolder(ctx, guest.Join("x")), 1);
  int loops = 0;
  for (pid_t pid : SshdEnvironment::Get().sftpServer().SessionProcesses()) {
    loops += zqtest::ReadIfPresent("/proc/" + std::to_string(pid) + "/comm") == "perl\n";
  }
  const char* idle = std::getenv("ZQ_TEST_GUEST_SESSION_IDLE");
  const char* perl = std::getenv("ZQ_TEST_GUEST_SESSION_PERL");
  if ((idle != nullptr && std::string(idle) == "0") || (perl != nullptr && std::string(perl) == "false")) {
    EXPECT_EQ(loops, 0);
  } else {
    EXPECT_GE(loops, 1);
  }
}

TEST_F(UnixChannelSshd, ChangedHostKeyIsRefusedNamingTheKnownHostsFile) {
  TempDir keys;
  std::string output;
  ASSERT_EQ(zqtest::RunBounded("ssh-keygen -q -t ed25519 -N '' -f " + keys.Join("other"), 20, output), 0);
  std::string otherKey = zqtest::ReadIfPresent(keys.Join("other.pub"));
  zqtest::WriteFile(installation.KnownHostsFile(),
                    "[" + Sftp() + "]:" + std::to_string(SshdEnvironment::Get().sftpServer().port()) + " " + otherKey);
  ZQUnixGuestAPI channel(&vmInfo);
  EXPECT_FALSE(channel.Init(zqtest::MakeLogin(SshTestUsers::kUser, SshTestUsers::Password(), Sftp())));
  EXPECT_TRUE(capture.sink().AnyContains("refused: the host key of " + Sftp()));
  EXPECT_TRUE(capture.sink().AnyContains("recorded in " + installation.KnownHostsFile()));
}

TEST_F(UnixChannelSshd, NewHostKeyIsRecordedOnFirstContact) {
  Connect(Sftp());
  std::string known = zqtest::ReadIfPresent(installation.KnownHostsFile());
  std::string key = SshdEnvironment::Get().sftpServer().HostPublicKey();
  EXPECT_NE(known.find(key.substr(0, key.rfind(' '))), std::string::npos) << known;
}

// A server that accepts the connection but never says a word, like a frozen guest.
TEST_F(UnixChannelSshd, SilentServerFailsWithinTheConnectTimeout) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.4", &where.sin_addr);
  socklen_t length = sizeof where;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length), 0);
  installation.AddHost("127.0.0.4", ntohs(where.sin_port));
  installation.Set("SSH", "ConnectTimeout", "2");
  ZQUnixGuestAPI channel(&vmInfo);
  auto start = Clock::now();
  EXPECT_FALSE(channel.Init(zqtest::MakeLogin(SshTestUsers::kUser, SshTestUsers::Password(), "127.0.0.4")));
  EXPECT_LT(SecondsSince(start), 20.0);  // a hang guard well above the two-second time-out
  close(listener);
}

// A login shell that hangs (a sleep in .bashrc) holds no channel for longer than its limit, and
// the reason reaches the channel's last error.
TEST_F(UnixChannelSshd, HungGuestCommandEndsAtItsTimeLimit) {
  auto channel = Connect(Sftp());
  installation.Set("SSH", "CommandTimeLimit", "2");
  HangingLoginShell hanging;
  std::vector<SGuestFile> entries;
  auto start = Clock::now();
  EXPECT_EQ(channel->BrowseGuest(ctx, guest.path(), entries), 0);
  EXPECT_LT(SecondsSince(start), 15.0);
  EXPECT_NE(channel->GetLastGuestApiErrorDetails().find("command ended: it ran longer than its time limit of 2 s"),
            std::string::npos)
      << channel->GetLastGuestApiErrorDetails();
}

TEST_F(UnixChannelSshd, RefusedLoginNamesItsReasonInTheLastError) {
  ZQUnixGuestAPI channel(&vmInfo);
  EXPECT_FALSE(channel.Init(zqtest::MakeLogin(SshTestUsers::kUser, "not the password", Sftp())));
  EXPECT_NE(channel.GetLastGuestApiErrorDetails().find("zqplink.exe: authentication refused for zqtuser at " + Sftp()),
            std::string::npos)
      << channel.GetLastGuestApiErrorDetails();
}

TEST_F(UnixChannelSshd, PasswordReachesNoLogLineAndLeavesNoTraceInTheEnvironment) {
  auto channel = Connect(Sftp());
  std::string missing = guest.Join("missing");
  channel->DeleteDirectoryInGuest(ctx, missing);
  channel->CopyFileToGuest(ctx, "/nonexistent/file", guest.Join("f"), true);
  EXPECT_EQ(std::getenv("ZQ_PUTTY_PASS"), nullptr);
  ASSERT_FALSE(capture.sink().Records().empty());
  for (const LogRecord& record : capture.sink().Records()) {
    EXPECT_EQ(record.text.find(SshTestUsers::Password()), std::string::npos) << record.text;
  }
}

}  // namespace
