// zqplink.exe and zqpscp.exe against a real OpenSSH server.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "SshdEnvironment.h"
#include "UnixTestDoubles.h"
#include "testbeds/sshd/SshTestInstallation.h"
#include "tools/GuestSessionShortcut.h"
#include "toolscontract/ShellQuote.h"
#include "support/TestSupport.h"

namespace {

using zqtest::SshTestUsers;
using zqtest::TempDir;

class SshToolsSshd : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SSHD();
    auto& environment = SshdEnvironment::Get();
    installation.AddHost(environment.sftpServer().address(), environment.sftpServer().port());
    installation.AddHost(environment.legacyServer().address(), environment.legacyServer().port());
  }

  int Run(const std::string& commandLine, std::string& output) {
    return zqtest::RunBounded(commandLine, 60, output);
  }

  std::string Plink(const std::string& address) const {
    return std::string(ZQ_TOOLS_DIR) + "/zqplink.exe " + address + " -l " + SshTestUsers::kUser + " ";
  }
  std::string Pscp() const { return std::string(ZQ_TOOLS_DIR) + "/zqpscp.exe "; }
  std::string Target(const std::string& address, const std::string& path) const {
    return ShellQuote::SingleQuoted(std::string(SshTestUsers::kUser) + "@" + address + ":" + path);
  }

  zqtest::SshTestInstallation installation{ZQ_TOOLS_DIR};
  zqtest::ScopedEnv password{"ZQ_PUTTY_PASS", SshTestUsers::Password()};
  TempDir guest;
};

TEST_F(SshToolsSshd, PlinkPassesInputOutputAndExitStatus) {
  std::string output;
  std::string address = SshdEnvironment::Get().sftpServer().address();
  EXPECT_EQ(Run("printf 'from stdin' | " + Plink(address) + "'cat; echo; exit 3'", output), 3);
  EXPECT_EQ(output, "from stdin\n");
  EXPECT_EQ(Run("echo 'printf \"[%s]\" \"$@\"' | " + Plink(address) + "\"bash -s\" -- one \"'two words'\"", output), 0);
  EXPECT_EQ(output, "[one][two words]");
}

// Helper-script commands of one login ride on one guest session, which ends when idle and leaves
// neither a socket on the proxy nor a process in the guest. Another password gets a session of its
// own, and a refused login is reported at once, without a second attempt on the plain path.
TEST_F(SshToolsSshd, HelperCommandsShareOneGuestSessionThatEndsWhenIdle) {
  installation.Set("SSH", "GuestSessionIdle", "2");
  auto& server = SshdEnvironment::Get().sftpServer();
  const std::string script = "echo 'printf \"[%s]\" \"$@\"; echo warned >&2; exit 4' | ";
  auto sessionSockets = [&] {
    size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(installation.ControlDir(), error)) {
      count += entry.path().filename().string().find("-g") != std::string::npos;
    }
    return count;
  };
  std::string output;
  for (const std::string word : {"one", "'two words'"}) {
    EXPECT_EQ(Run(script + Plink(server.address()) + "\"bash -s\" -- \"" + word + "\"", output), 4);
    EXPECT_EQ(output, "[" + word.substr(word[0] == '\'', word.size() - 2 * (word[0] == '\'')) + "]warned\n");
  }
  EXPECT_EQ(sessionSockets(), 1u);
  {
    zqtest::ScopedEnv wrong{"ZQ_PUTTY_PASS", "not the password"};
    EXPECT_EQ(Run(script + Plink(server.address()) + "\"bash -s\" -- x", output), 255);
    EXPECT_NE(output.find("zqplink.exe: authentication refused"), std::string::npos) << output;
    EXPECT_EQ(output.find("runs on its own"), std::string::npos) << output;
  }
  EXPECT_EQ(sessionSockets(), 1u);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  auto loopsInGuest = [&] {
    size_t count = 0;
    for (pid_t pid : server.SessionProcesses()) {
      count += zqtest::ReadIfPresent("/proc/" + std::to_string(pid) + "/cmdline").find("zqsession-ready") !=
               std::string::npos;
    }
    return count;
  };
  while ((sessionSockets() > 0 || loopsInGuest() > 0) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(sessionSockets(), 0u);
  EXPECT_EQ(loopsInGuest(), 0u);
}

// A command line of the tools that a running session can answer is answered in the calling
// process, with what the tool would print and its status; anything else is declined untouched:
// no session yet, another password, sessions turned off, a line of another shape, a large copy or
// a target that is not a Unix path. Looking for a session creates nothing.
TEST_F(SshToolsSshd, CommandsARunningSessionCanAnswerNeedNoTool) {
  const std::string address = SshdEnvironment::Get().sftpServer().address();
  TempDir local;
  zqtest::WriteFile(local.Join("script"), "printf '[%s]' \"$@\"; echo warned >&2; exit 4\n");
  zqtest::WriteFile(local.Join("small"), "small file");
  zqtest::WriteFile(local.Join("large"), std::string((1 << 20) + 1, 'x'));
  chmod(guest.path().c_str(), 0777);
  const std::string helper = Plink(address) + "\"bash -s\" -- < " + local.Join("script") + " one \"'two words'\"";
  auto tryRun = [&](const std::string& line, GuestSessionChannel::Answer& answer) {
    return GuestSessionShortcut::TryRun(line, ZQ_TOOLS_DIR, answer);
  };
  GuestSessionChannel::Answer answer;
  EXPECT_FALSE(tryRun(helper, answer)) << "no session runs yet";
  EXPECT_FALSE(std::filesystem::exists(installation.ControlDir())) << "looking created the control folder";

  std::string output;
  ASSERT_EQ(Run(helper, output), 4) << output;
  ASSERT_TRUE(tryRun(helper, answer));
  EXPECT_EQ(answer.output, "[one][two words]");
  EXPECT_EQ(answer.errors, "warned\n");
  EXPECT_EQ(answer.status, 4);

  ASSERT_TRUE(tryRun(Pscp() + local.Join("small") + " " + Target(address, guest.Join("copied")), answer));
  EXPECT_EQ(answer.status, 0) << answer.errors;
  EXPECT_EQ(zqtest::ReadIfPresent(guest.Join("copied")), "small file");

  for (const std::string& declined :
       {Plink(address) + "uname -a", Pscp() + local.Join("large") + " " + Target(address, guest.Join("large")),
        Pscp() + local.Join("small") + " " + Target(address, "relative/path"), "/bin/echo " + helper,
        helper + " > " + local.Join("out")}) {
    EXPECT_FALSE(tryRun(declined, answer)) << declined;
  }
  EXPECT_FALSE(std::filesystem::exists(guest.Join("large")));
  {
    zqtest::ScopedEnv wrong{"ZQ_PUTTY_PASS", "not the password"};
    EXPECT_FALSE(tryRun(helper, answer)) << "another password never meets this session";
  }
  installation.Set("SSH", "GuestSessionIdle", "0");
  EXPECT_FALSE(tryRun(helper, answer)) << "sessions are off";
}

// Another user listens at the name of this login's session socket (as they could if the control
// folder's checks failed): neither the tool nor the plug-in's shortcut sends it a byte, and the
// tool puts its own session in its place.
TEST_F(SshToolsSshd, AnotherUsersListenerInPlaceOfTheSessionHearsNothing) {
  installation.Set("SSH", "GuestSessionIdle", "1");
  TempDir local;
  zqtest::WriteFile(local.Join("script"), "printf '[%s]' \"$@\"\n");
  const std::string helper = Plink(SshdEnvironment::Get().sftpServer().address()) + "\"bash -s\" -- < " +
                             local.Join("script") + " one";
  std::string output;
  ASSERT_EQ(Run(helper, output), 0) << output;
  std::string socketPath;
  for (const auto& entry : std::filesystem::directory_iterator(installation.ControlDir())) {
    if (entry.path().filename().string().find("-g") != std::string::npos) socketPath = entry.path().string();
  }
  ASSERT_FALSE(socketPath.empty());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::filesystem::exists(socketPath) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_FALSE(std::filesystem::exists(socketPath)) << "the session did not end";

  sockaddr_un address{};
  ASSERT_TRUE(GuestSessionChannel::SocketAddress(socketPath, address));
  const int planted = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(planted, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int heard[2];
  ASSERT_EQ(pipe(heard), 0);
  const pid_t listener = fork();
  ASSERT_GE(listener, 0);
  if (listener == 0) {
    // The user id a client's SO_PEERCRED sees is the one the socket listens with.
    if (setresuid(54321, 54321, 54321) != 0 || listen(planted, 8) != 0) _exit(1);
    std::string bytes;
    const long long end = GuestSessionChannel::NowMs() + 8000;
    for (pollfd wait{planted, POLLIN, 0}; poll(&wait, 1, 500) >= 0 && GuestSessionChannel::NowMs() < end;) {
      if (wait.revents == 0) continue;
      const int client = accept(planted, nullptr, nullptr);
      GuestSessionChannel::ReadRest(client, bytes, 4096, GuestSessionChannel::NowMs() + 1000);
      close(client);
    }
    WriteAll(heard[1], bytes.empty() ? "nothing" : bytes);
    _exit(0);
  }
  close(heard[1]);
  close(planted);
  GuestSessionChannel::Answer answer;
  EXPECT_FALSE(GuestSessionShortcut::TryRun(helper, ZQ_TOOLS_DIR, answer));
  EXPECT_EQ(Run(helper, output), 0);
  EXPECT_EQ(output, "[one]");
  std::string bytes;
  GuestSessionChannel::ReadRest(heard[0], bytes, 4096, GuestSessionChannel::NowMs() + 15000);
  close(heard[0]);
  waitpid(listener, nullptr, 0);
  EXPECT_EQ(bytes, "nothing");
}

// A guest where the session's loop cannot start runs each command on its own, with one line that
// says so.
TEST_F(SshToolsSshd, HelperCommandsRunOnTheirOwnWhereNoSessionStarts) {
  const std::string startFile = SshTestUsers::Home() + "/.bashrc";
  zqtest::WriteFile(startFile, "case $BASH_EXECUTION_STRING in *zqsession-ready*) exit 1 ;; esac\n");
  std::string output;
  int status = Run("echo 'printf \"[%s]\" \"$@\"' | " + Plink(SshdEnvironment::Get().sftpServer().address()) +
                       "\"bash -s\" -- one",
                   output);
  unlink(startFile.c_str());
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, "zqplink.exe: no guest session at " + SshdEnvironment::Get().sftpServer().address() +
                        "; the command runs on its own\n[one]");
}

TEST_F(SshToolsSshd, PscpTakesTheTargetPathLiterally) {
  chmod(guest.path().c_str(), 0777);
  TempDir local;
  zqtest::WriteFile(local.Join("src"), "data");
  for (const std::string& address : {SshdEnvironment::Get().sftpServer().address(),
                                     SshdEnvironment::Get().legacyServer().address()}) {
    std::string path = guest.Join("a b $(touch zqcanary-pscp) `id` it's * " + address);
    std::string output;
    EXPECT_EQ(Run(Pscp() + ShellQuote::SingleQuoted(local.Join("src")) + " " + Target(address, path), output), 0)
        << output;
    EXPECT_EQ(zqtest::ReadIfPresent(path), "data") << address;
  }
  EXPECT_EQ(zqtest::ReadIfPresent(SshTestUsers::Home() + "/zqcanary-pscp"), "");
}

// A Unix target is written by the guest's bash, so it needs no SFTP service; any other target
// goes over SFTP to a temporary name that is renamed over it, and needs the service.
TEST_F(SshToolsSshd, PscpWritesUnixTargetsOverSshAndOtherTargetsOverSftp) {
  chmod(guest.path().c_str(), 0777);
  TempDir local;
  zqtest::WriteFile(local.Join("src"), "new data");
  std::string output;
  std::string legacy = SshdEnvironment::Get().legacyServer().address();
  EXPECT_EQ(Run(Pscp() + local.Join("src") + " " + Target(legacy, guest.Join("unix")), output), 0) << output;
  EXPECT_EQ(zqtest::ReadIfPresent(guest.Join("unix")), "new data");
  EXPECT_EQ(output, "");

  // A relative target stands for a Windows path here: it starts in the login's home folder.
  std::string fromHome;
  for (char c : SshTestUsers::Home()) fromHome += c == '/' ? "../" : "";
  std::string relative = fromHome + guest.Join("other").substr(1);
  zqtest::WriteFile(guest.Join("other"), "old");
  std::string sftp = SshdEnvironment::Get().sftpServer().address();
  EXPECT_EQ(Run(Pscp() + local.Join("src") + " " + Target(sftp, relative), output), 0) << output;
  EXPECT_EQ(zqtest::ReadIfPresent(guest.Join("other")), "new data");

  zqtest::WriteFile(guest.Join("other"), "old");
  EXPECT_NE(Run(Pscp() + local.Join("src") + " " + Target(legacy, relative), output), 0);
  EXPECT_NE(output.find("offers no SFTP service"), std::string::npos) << output;
  EXPECT_EQ(zqtest::ReadIfPresent(guest.Join("other")), "old");
  EXPECT_EQ(zqtest::RunBounded("ls -A " + guest.path(), 10, output), 0);
  EXPECT_EQ(output, "other\nunix\n") << "no temporary file is left";
}

// A folder the login may not write in is the guest's refusal, not a refused login: the reason is
// the guest's own words, over the helper script and over SFTP alike.
TEST_F(SshToolsSshd, PscpReportsAWriteTheGuestRefusedAsSuchNotAsARefusedLogin) {
  chmod(guest.path().c_str(), 0755);
  TempDir local;
  zqtest::WriteFile(local.Join("src"), "data");
  std::string fromHome;
  for (char c : SshTestUsers::Home()) fromHome += c == '/' ? "../" : "";
  const std::string address = SshdEnvironment::Get().sftpServer().address();
  for (const std::string& target : {guest.Join("unix"), fromHome + guest.Join("other").substr(1)}) {
    SCOPED_TRACE(target);
    std::string output;
    EXPECT_NE(Run(Pscp() + local.Join("src") + " " + Target(address, target), output), 0);
    EXPECT_NE(output.find("Permission denied"), std::string::npos) << output;
    EXPECT_EQ(output.find("authentication refused"), std::string::npos) << output;
  }
}

// A small copy rides inline through the guest session: every byte arrives as it was (NUL bytes,
// trailing newlines, more than a pipe holds), also right after a copy the guest refused before
// reading any of its data, which must not be taken for the next request.
TEST_F(SshToolsSshd, InlineCopiesKeepEveryByteAfterACopyTheGuestRefusedUnread) {
  chmod(guest.path().c_str(), 0777);
  TempDir local;
  const std::string data = std::string("\0first\n\xff\0", 9) + std::string(100000, 'x') + "\n\n";
  zqtest::WriteFile(local.Join("src"), data);
  const std::string address = SshdEnvironment::Get().legacyServer().address();
  std::string output;
  EXPECT_NE(Run(Pscp() + local.Join("src") + " " + Target(address, guest.Join("missing/file")), output), 0);
  EXPECT_NE(output.find("does not exist"), std::string::npos) << output;
  for (const char* name : {"first", "second"}) {
    EXPECT_EQ(Run(Pscp() + local.Join("src") + " " + Target(address, guest.Join(name)), output), 0) << output;
    EXPECT_EQ(zqtest::ReadIfPresent(guest.Join(name)), data) << name;
  }
}

// The attribute step after a copy sends the staged file's times; reading it must not move them.
TEST_F(SshToolsSshd, PscpLeavesTheLocalFilesAccessTime) {
  chmod(guest.path().c_str(), 0777);
  TempDir local;
  zqtest::WriteFile(local.Join("src"), "data");
  timespec times[2] = {{1000, 0}, {2000, 0}};  // an access time relatime would move
  ASSERT_EQ(utimensat(AT_FDCWD, local.Join("src").c_str(), times, 0), 0);
  std::string output;
  std::string address = SshdEnvironment::Get().sftpServer().address();
  EXPECT_EQ(Run(Pscp() + local.Join("src") + " " + Target(address, guest.Join("copy")), output), 0) << output;
  EXPECT_EQ(zqtest::ReadIfPresent(guest.Join("copy")), "data");
  struct stat info {};
  ASSERT_EQ(stat(local.Join("src").c_str(), &info), 0);
  EXPECT_EQ(info.st_atime, 1000);
}

// The shell that started a copy is killed mid-copy (zqrestore killed): the tool, its ssh and feeder
// end with it, so the guest never gets the end word, keeps the old file and removes the temporary.
TEST_F(SshToolsSshd, CopyOfAKilledParentEndsAndChangesNothing) {
  chmod(guest.path().c_str(), 0777);
  zqtest::WriteFile(guest.Join("big"), "old");
  TempDir local;
  zqtest::WriteFile(local.Join("src"), "");
  ASSERT_EQ(truncate(local.Join("src").c_str(), 256 << 20), 0);
  const std::string address = SshdEnvironment::Get().legacyServer().address();
  const std::string shell = Pscp() + local.Join("src") + " " + Target(address, guest.Join("big")) + "; :";
  const pid_t parent = fork();
  if (parent == 0) execl("/bin/sh", "sh", "-c", shell.c_str(), static_cast<char*>(nullptr));
  const auto within = [](auto done) {  // polls for the event, within a bound
    for (int polls = 0; polls < 3000 && !done(); ++polls) poll(nullptr, 0, 10);
    return done();
  };
  const auto temporary = [&] {
    for (const auto& entry : std::filesystem::directory_iterator(guest.path())) {
      if (entry.path().filename().string().rfind(".zqrestore-", 0) == 0) return true;
    }
    return false;
  };
  EXPECT_TRUE(within(temporary)) << "the copy never started";
  kill(parent, SIGKILL);
  waitpid(parent, nullptr, 0);
  EXPECT_TRUE(within([&] { return !temporary(); })) << "the guest kept its temporary file";
  EXPECT_TRUE(zqtest::ReadIfPresent(guest.Join("big")) == "old") << "the old file was replaced";
}

TEST_F(SshToolsSshd, PscpReportsAMissingLocalFile) {
  std::string output;
  std::string address = SshdEnvironment::Get().sftpServer().address();
  EXPECT_NE(Run(Pscp() + "/nonexistent/file " + Target(address, guest.Join("x")), output), 0);
  EXPECT_NE(output.find("/nonexistent/file"), std::string::npos) << output;
}

TEST_F(SshToolsSshd, NoPasswordFailsAtOnceWithoutAPrompt) {
  unsetenv("ZQ_PUTTY_PASS");
  std::string output;
  EXPECT_EQ(Run(Plink(SshdEnvironment::Get().sftpServer().address()) + "true", output), 255);
  EXPECT_NE(output.find("ZQ_PUTTY_PASS holds no password"), std::string::npos) << output;
}

// A guest that freezes in the middle of a command: the keep-alive probes end the session.
// The copy's SFTP server starts through the login shell, which hangs: the copy moves no byte and
// the copy tool ends it at its inactivity limit, saying so.
TEST_F(SshToolsSshd, StalledCopyEndsAtTheInactivityLimit) {
  installation.Set("SSH", "CopyInactivityLimit", "2");
  chmod(guest.path().c_str(), 0777);
  TempDir local;
  zqtest::WriteFile(local.Join("src"), "data");
  std::string address = SshdEnvironment::Get().sftpServer().address();
  HangingLoginShell hanging;
  std::string output;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(Pscp() + local.Join("src") + " " + Target(address, guest.Join("x")), output), 255);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0);
  EXPECT_NE(output.find("zqpscp.exe: the copy to " + address + " made no progress for 2 s"), std::string::npos)
      << output;
}

// A helper command that outlasts its time limit in the guest session ends at that limit: the
// session stops waiting for its answer, well before the tool's own later limit would end it.
TEST_F(SshToolsSshd, SessionCommandPastItsTimeLimitEndsAtTheLimit) {
  installation.Set("SSH", "GuestSessionIdle", "30");
  installation.Set("SSH", "CommandTimeLimit", "2");
  const std::string plink = Plink(SshdEnvironment::Get().sftpServer().address()) + "\"bash -s\" -- x";
  std::string output;
  ASSERT_EQ(Run("echo 'echo started' | " + plink, output), 0) << output;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("echo 'sleep 60' | " + plink, output), 255) << output;
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 15.0) << output;
  // The guest's sleep outlives the session that gave up on it; it goes here, so that no later test
  // of this server takes it for its own.
  auto& server = SshdEnvironment::Get().sftpServer();
  for (pid_t pid : server.SessionProcesses()) {
    if (zqtest::ReadIfPresent("/proc/" + std::to_string(pid) + "/comm") == "sleep\n") kill(pid, SIGKILL);
  }
}

TEST_F(SshToolsSshd, FrozenGuestFailsWithinTheKeepAliveLimit) {
  installation.Set("SSH", "KeepAliveInterval", "1");
  installation.Set("SSH", "KeepAliveCountMax", "2");
  auto& server = SshdEnvironment::Get().sftpServer();
  std::string output;
  int status = -1;
  std::thread command([&] { status = Run(Plink(server.address()) + "'echo started; sleep 60'", output); });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::vector<pid_t> sessions;
  while (std::chrono::steady_clock::now() < deadline) {
    sessions = server.SessionProcesses();
    bool sleeping = false;
    for (pid_t pid : sessions) {
      sleeping |= zqtest::ReadIfPresent("/proc/" + std::to_string(pid) + "/comm") == "sleep\n";
    }
    if (sleeping) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (pid_t pid : sessions) kill(pid, SIGSTOP);
  auto frozenAt = std::chrono::steady_clock::now();
  command.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - frozenAt).count();
  for (pid_t pid : sessions) kill(pid, SIGCONT);
  EXPECT_EQ(status, 255) << output;
  EXPECT_LT(seconds, 30.0);  // a hang guard: the command itself would run for a minute
  EXPECT_NE(output.find("started"), std::string::npos) << output;
}

}  // namespace
