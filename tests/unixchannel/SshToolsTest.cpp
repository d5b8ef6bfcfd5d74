// The proxy's SSH tools without a server: argument parsing, the OpenSSH options, the control
// folder and the askpass answer.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tools/AskPass.h"
#include "tools/ControlFolder.h"
#include "tools/GuestFileCopy.h"
#include "tools/GuestSessionChannel.h"

#include "testbeds/sshd/SshTestInstallation.h"
#include "testbeds/sshd/SshdFixture.h"
#include "support/TestSupport.h"
#include "tools/OpenSshCommand.h"
#include "tools/PuttyArguments.h"
#include "tools/WriteAll.h"
#include "toolscontract/ShellQuote.h"

namespace {

using zqtest::TempDir;

struct PlinkRow {
  const char* name;
  std::vector<std::string> args;
  bool ok;
  std::string address, user, port;
  std::vector<std::string> command;
};

void PrintTo(const PlinkRow& row, std::ostream* out) { *out << row.name; }

const std::vector<PlinkRow> kPlinkRows = {
    {"ScriptFeed", {"10.0.0.5", "-l", "root", "bash -s", "--", "--browse_path", "/a b"}, true, "10.0.0.5", "root", "",
     {"bash -s", "--", "--browse_path", "/a b"}},
    {"Probe", {"10.0.0.5", "-l", "root", "uname", "-a"}, true, "10.0.0.5", "root", "", {"uname", "-a"}},
    {"PortFirst", {"-P", "2222", "host", "-l", "u", "ls"}, true, "host", "u", "2222", {"ls"}},
    {"LeadingDoubleDashDropped", {"host", "-l", "u", "--", "-x"}, true, "host", "u", "", {"-x"}},
    {"CommandWordsMayLookLikeOptions", {"host", "-l", "u", "cmd", "-l", "x"}, true, "host", "u", "", {"cmd", "-l", "x"}},
    {"NoUser", {"host", "ls"}, false, "", "", "", {}},
    {"NoCommand", {"host", "-l", "u"}, false, "", "", "", {}},
    {"PasswordOptionRefused", {"host", "-l", "u", "-pw", "secret", "ls"}, false, "", "", "", {}},
    {"AddressLooksLikeOption", {"-l", "u", "--", "-oProxyCommand=x", "ls"}, false, "", "", "", {}},
    {"UserWithBlank", {"host", "-l", "a b", "ls"}, false, "", "", "", {}},
    {"PortNotANumber", {"-P", "22x", "host", "-l", "u", "ls"}, false, "", "", "", {}},
};

class PlinkArgumentsTable : public testing::TestWithParam<PlinkRow> {};

TEST_P(PlinkArgumentsTable, ParsesOrRefuses) {
  const PlinkRow& row = GetParam();
  PlinkArguments parsed;
  std::string problem;
  bool help = false;
  ASSERT_EQ(ParsePlinkArguments(row.args, parsed, problem, help), row.ok) << problem;
  EXPECT_FALSE(help);
  if (!row.ok) return;
  EXPECT_EQ(parsed.login.address, row.address);
  EXPECT_EQ(parsed.login.user, row.user);
  EXPECT_EQ(parsed.login.port, row.port);
  EXPECT_EQ(parsed.command, row.command);
}

INSTANTIATE_TEST_SUITE_P(Rows, PlinkArgumentsTable, testing::ValuesIn(kPlinkRows),
                         [](const testing::TestParamInfo<PlinkRow>& info) { return std::string(info.param.name); });

struct PscpRow {
  const char* name;
  std::vector<std::string> args;
  bool ok;
  std::string user, address, port, local, remote;
  std::string backupSuffix = "";
};

void PrintTo(const PscpRow& row, std::ostream* out) { *out << row.name; }

const std::vector<PscpRow> kPscpRows = {
    {"UnixForm", {"/stage/a b", "root@10.0.0.5://data/it's $(x)"}, true, "root", "10.0.0.5", "", "/stage/a b",
     "//data/it's $(x)"},
    {"WindowsForm", {"-l", "alice:CORP", "/stage/a", "10.0.0.6:C:\\data\\a.txt"}, true, "alice:CORP", "10.0.0.6",
     "", "/stage/a", "C:\\data\\a.txt"},
    {"UserOptionWins", {"-l", "bob", "/a", "root@h:/b"}, true, "bob", "h", "", "/a", "/b"},
    {"BracketedIpv6", {"/a", "root@[fe80::1]:/b:c"}, true, "root", "fe80::1", "", "/a", "/b:c"},
    {"AtSignInPath", {"/a", "h:/mail@home"}, true, "", "h", "", "/a", "/mail@home"},
    {"Port", {"-P", "2022", "/a", "u@h:/b"}, true, "u", "h", "2022", "/a", "/b"},
    {"NoColon", {"/a", "u@h"}, false, "", "", "", "", ""},
    {"OneOperand", {"/a"}, false, "", "", "", "", ""},
    {"UserWithQuote", {"/a", "o'neil@h:/b"}, false, "", "", "", "", ""},
    {"BackupSuffix", {"--backup-suffix", "~", "/a", "u@h:/b"}, true, "u", "h", "", "/a", "/b", "~"},
    {"LongestBackupSuffix", {"--backup-suffix", std::string(32, 's'), "/a", "u@h:/b"}, true, "u", "h", "", "/a", "/b",
     std::string(32, 's')},
    {"BackupSuffixTooLong", {"--backup-suffix", std::string(33, 's'), "/a", "u@h:/b"}, false, "", "", "", "", ""},
    {"BackupSuffixWithASlash", {"--backup-suffix", "/x", "/a", "u@h:/b"}, false, "", "", "", "", ""},
    {"EmptyBackupSuffix", {"--backup-suffix", "", "/a", "u@h:/b"}, false, "", "", "", "", ""},
    {"BackupSuffixForAWindowsTarget", {"--backup-suffix", "~", "/a", "h:C:\\b"}, false, "", "", "", "", ""},
    {"Owner", {"--owner", "0:4294967294", "/a", "u@h:/b"}, true, "u", "h", "", "/a", "/b"},
    {"OwnerPastTheLargestId", {"--owner", "0:4294967295", "/a", "u@h:/b"}, false, "", "", "", "", ""},
    {"OwnerWithoutGroup", {"--owner", "12", "/a", "u@h:/b"}, false, "", "", "", "", ""},
    {"OwnerByName", {"--owner", "root:root", "/a", "u@h:/b"}, false, "", "", "", "", ""},
    {"OwnerForAWindowsTarget", {"--owner", "1:1", "/a", "h:C:\\b"}, false, "", "", "", "", ""},
};

class PscpArgumentsTable : public testing::TestWithParam<PscpRow> {};

TEST_P(PscpArgumentsTable, ParsesOrRefuses) {
  const PscpRow& row = GetParam();
  PscpArguments parsed;
  std::string problem;
  bool help = false;
  ASSERT_EQ(ParsePscpArguments(row.args, parsed, problem, help), row.ok) << problem;
  if (!row.ok) return;
  EXPECT_EQ(parsed.login.user, row.user);
  EXPECT_EQ(parsed.login.address, row.address);
  EXPECT_EQ(parsed.login.port, row.port);
  EXPECT_EQ(parsed.localFile, row.local);
  EXPECT_EQ(parsed.remotePath, row.remote);
  EXPECT_EQ(parsed.backupSuffix, row.backupSuffix);
}

INSTANTIATE_TEST_SUITE_P(Rows, PscpArgumentsTable, testing::ValuesIn(kPscpRows),
                         [](const testing::TestParamInfo<PscpRow>& info) { return std::string(info.param.name); });

// The temporary file of a non-Unix copy lies in the target's folder, whichever separator it uses.
TEST(GuestFileCopy, TemporaryNameLiesBesideTheTarget) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"D:\\Restore\\a.txt", "D:\\Restore\\.zqrestore-T.tmp"},
      {"C:/Users/a b/f", "C:/Users/a b/.zqrestore-T.tmp"},
      {"plain", ".zqrestore-T.tmp"},
  };
  for (const auto& [target, temporary] : rows) EXPECT_EQ(GuestFileCopy::TemporaryBeside(target, "T"), temporary);
  EXPECT_TRUE(GuestFileCopy::IsUnixTarget("//data/./a"));
  EXPECT_FALSE(GuestFileCopy::IsUnixTarget("D:\\a"));
  EXPECT_EQ(GuestFileCopy::SftpPath("D:\\Restore\\a b.txt"), "/D:/Restore/a b.txt");
  EXPECT_EQ(GuestFileCopy::SftpPath("relative\\name"), "relative\\name");
  EXPECT_EQ(GuestFileCopy::RandomToken().size(), 18u);
  EXPECT_NE(GuestFileCopy::RandomToken(), GuestFileCopy::RandomToken());
}

TEST(GuestFileCopy, SftpBatchWordsKeepQuotesAndBackslashes) {
  EXPECT_EQ(GuestFileCopy::SftpWord("D:\\a \"b\" *"), "\"D:\\\\a \\\"b\\\" *\"");
  EXPECT_EQ(GuestFileCopy::SftpPutAndRename("/dev/fd/3", "t", "x"), "put -- \"/dev/fd/3\" \"t\"\nrename \"t\" \"x\"\n");
  EXPECT_FALSE(GuestFileCopy::FitsSftpBatch("a\nb"));
}

SshToolSettings SettingsIn(const TempDir& dir) {
  SshToolSettings settings;
  settings.baseHome = dir.path();
  settings.knownHostsFile = dir.Join("known hosts %h");
  settings.configFile = dir.Join("ssh_config");
  settings.controlDir = dir.Join("ctl");
  return settings;
}

bool HasOption(const std::vector<std::string>& options, const std::string& value) {
  auto it = std::find(options.begin(), options.end(), value);
  return it != options.end() && it != options.begin() && (*(it - 1) == "-o" || *(it - 1) == "-F");
}

TEST(SshToolOptions, CarryHostKeysTimeoutsOnePasswordPromptAndReuse) {
  TempDir dir;
  SshToolSettings settings = SettingsIn(dir);
  settings.connectTimeout = 7;
  auto options = OpenSshCommand::CommonOptions(settings, "/ctl/abc%C");
  EXPECT_TRUE(HasOption(options, "none"));
  EXPECT_TRUE(HasOption(options, "StrictHostKeyChecking=accept-new"));
  EXPECT_TRUE(HasOption(options, "UserKnownHostsFile=\"" + dir.Join("known hosts %%h") + "\""));
  EXPECT_TRUE(HasOption(options, "NumberOfPasswordPrompts=1"));
  EXPECT_TRUE(HasOption(options, "BatchMode=no"));
  EXPECT_TRUE(HasOption(options, "ConnectTimeout=7"));
  EXPECT_TRUE(HasOption(options, "ServerAliveInterval=5"));
  EXPECT_TRUE(HasOption(options, "ServerAliveCountMax=3"));
  EXPECT_TRUE(HasOption(options, "ControlMaster=auto"));
  EXPECT_TRUE(HasOption(options, "ControlPath=/ctl/abc%C"));
  EXPECT_TRUE(HasOption(options, "ControlPersist=60"));
  zqtest::WriteFile(settings.configFile, "Port 2222\n");
  EXPECT_TRUE(HasOption(OpenSshCommand::CommonOptions(settings, ""), settings.configFile));
  EXPECT_TRUE(HasOption(OpenSshCommand::CommonOptions(settings, ""), "ControlMaster=no"));
}

// A refused login and a refused write both say "Permission denied"; only OpenSSH's login refusal
// carries the list of methods, and only that is a login failure.
TEST(SshFailureClassify, TellsARefusedLoginFromAWriteTheGuestRefused) {
  struct Row {
    const char* text;
    SshFailure expected;
  };
  const Row rows[] = {
      {"zqux1@10.0.0.5: Permission denied (publickey,password).\n", SshFailure::AuthenticationRefused},
      {"Permission denied (publickey,keyboard-interactive).\r\n", SshFailure::AuthenticationRefused},
      {"Received disconnect from 10.0.0.5 port 22:2: Too many authentication failures\n",
       SshFailure::AuthenticationRefused},
      {"remote open(\"/srv/ro/x.zq1a2b\"): Permission denied\n", SshFailure::Other},
      {"zqvsa_agentless.sh: cannot create a temporary file in /srv/ro: Permission denied\n", SshFailure::Other},
      {"bash: line 1: /srv/ro/x: Permission denied\n", SshFailure::Other},
      {"dest/a\\ Permission\\ denied\\ \\(password\\).: No such file\n", SshFailure::Other},
      {"ssh: connect to host 10.0.0.5 port 22: Connection refused\n", SshFailure::ConnectionRefused},
      {"", SshFailure::None},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(OpenSshCommand::Classify(row.text), row.expected) << row.text;
  }
}

// ssh -G prints the configuration ssh would use: the quoted option values read back intact.
TEST(SshToolOptions, OpenSshReadsTheOptionValuesBack) {
  TempDir dir;
  SshToolSettings settings = SettingsIn(dir);
  zqtest::WriteFile(settings.configFile, "Host 127.0.0.9\n  Port 2345\n");
  std::string command = "ssh -G";
  for (const auto& option : OpenSshCommand::CommonOptions(settings, "")) command += " " + ShellQuote::SingleQuoted(option);
  command += " -l zq -- 127.0.0.9";
  std::string output;
  ASSERT_EQ(zqtest::RunBounded(command, 20, output), 0) << output;
  EXPECT_NE(output.find("\nuserknownhostsfile " + dir.Join("known hosts %h") + "\n"), std::string::npos) << output;
  EXPECT_NE(output.find("\nport 2345\n"), std::string::npos);
  EXPECT_NE(output.find("\nstricthostkeychecking accept-new\n"), std::string::npos);
  EXPECT_NE(output.find("\nconnecttimeout 10\n"), std::string::npos);
}

TEST(ControlFolder, CreatesAPrivateFolderAndRefusesOneOthersMayEnter) {
  char pattern[] = "/tmp/zqcf.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string base = pattern;
  std::string problem;
  EXPECT_TRUE(ControlFolder::MakePrivate(base + "/ctl", problem)) << problem;
  struct stat info {};
  ASSERT_EQ(stat((base + "/ctl").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  mkdir((base + "/open").c_str(), 0755);
  chmod((base + "/open").c_str(), 0755);
  EXPECT_FALSE(ControlFolder::MakePrivate(base + "/open", problem));
  EXPECT_NE(problem.find("not a private folder"), std::string::npos);
  ASSERT_EQ(symlink((base + "/ctl").c_str(), (base + "/link").c_str()), 0);
  EXPECT_FALSE(ControlFolder::MakePrivate(base + "/link", problem));
  EXPECT_FALSE(ControlFolder::MakePrivate(base + "/" + std::string(40, 'x'), problem));
  EXPECT_NE(problem.find("too long"), std::string::npos);
  zqtest::RunBounded("rm -rf " + base, 10, problem);
}

TEST(ControlFolder, SocketNameDependsOnThePasswordWithoutShowingIt) {
  char pattern[] = "/tmp/zqcf.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string folder = pattern;
  std::string problem;
  std::string first, again, other;
  ASSERT_TRUE(ControlFolder::SocketPattern(folder, "password-one", first, problem)) << problem;
  ASSERT_TRUE(ControlFolder::SocketPattern(folder, "password-one", again, problem)) << problem;
  ASSERT_TRUE(ControlFolder::SocketPattern(folder, "password-two", other, problem)) << problem;
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  EXPECT_EQ(first.rfind(folder + "/", 0), 0u);
  EXPECT_EQ(first.substr(first.size() - 2), "%C");
  EXPECT_EQ(first.size(), folder.size() + 1 + 16 + 2);
  EXPECT_EQ(first.find("password"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat((folder + "/.reuse-key").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  zqtest::RunBounded("rm -rf " + folder, 10, problem);
}

// A stand-in for OpenSSH's client that records its arguments and environment.
class RecordingOpenSsh {
 public:
  RecordingOpenSsh() {
    zqtest::WriteFile(m_dir.Join("ssh"), "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + m_dir.Join("args") +
                                             "\nenv > " + m_dir.Join("env") + "\n");
    chmod(m_dir.Join("ssh").c_str(), 0755);
  }
  std::string program() const { return m_dir.Join("ssh"); }
  std::string Args() const { return zqtest::ReadFile(m_dir.Join("args")); }
  std::string Environment() const { return zqtest::ReadFile(m_dir.Join("env")); }

 private:
  TempDir m_dir;
};

std::string Tool(const std::string& name) { return std::string(ZQ_TOOLS_DIR) + "/" + name; }

// A user id no account has: another local user of the proxy.
constexpr uid_t kOtherUser = 54321;

// Every name below `folder`, with owner and mode: what a run may not change.
std::string TreeOf(const std::string& folder) {
  std::string output;
  zqtest::RunBounded("cd " + ShellQuote::SingleQuoted(folder) + " && find . -printf '%p %u %m\\n' | sort", 10, output);
  return output;
}

// Another user of the proxy prepares the control folder's path before the tools run: the folder
// is refused with the reason, the tool says that sessions and reuse are off, hands OpenSSH no
// ControlPath, and writes nothing there.
TEST(ControlFolder, APathAnotherUserCouldPlantOnIsRefusedAndSaidSo) {
  struct Row {
    const char* name;
    const char* setup;  // shell commands run in the base folder
    const char* folder;
    const char* reason;
  };
  const Row rows[] = {
      {"a parent made by another user", "mkdir -m 0755 zq && chown 54321 zq", "zq/ssh", "belongs to user id 54321"},
      {"a parent of ours that others may write to", "mkdir -m 0777 zq", "zq/ssh", "can be changed by other users"},
      {"the folder made first by another user", "mkdir -m 0700 zqr-0 && chown 54321 zqr-0", "zqr-0",
       "not a private folder of this user"},
      {"a link to a private folder of ours", "mkdir -m 0700 real && ln -s real zqr-0", "zqr-0", "is a link"},
      {"a link among the parents", "mkdir -m 0700 real && ln -s real zq", "zq/ssh", "is a link"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir base;
    std::string output;
    ASSERT_EQ(zqtest::RunBounded("cd " + base.path() + " && " + row.setup, 10, output), 0) << output;
    const std::string folder = base.Join(row.folder);
    const std::string before = TreeOf(base.path());
    std::string problem;
    EXPECT_FALSE(ControlFolder::MakePrivate(folder, problem));
    EXPECT_NE(problem.find(row.reason), std::string::npos) << problem;
    std::string tag;
    EXPECT_FALSE(ControlFolder::SecretTag(folder, "pw", tag, problem));
    EXPECT_FALSE(ControlFolder::IsReady(folder));

    zqtest::SshTestInstallation installation(ZQ_TOOLS_DIR);
    RecordingOpenSsh ssh;
    installation.Set("SSH", "SshProgram", ssh.program());
    installation.Set("SSH", "ControlDir", folder);
    zqtest::WriteFile(installation.ConfigFile(), "Port 22\n");
    const std::string helperCommand = " 10.0.0.5 -l root \"bash -s\" -- x </dev/null";
    ASSERT_EQ(zqtest::RunBounded("ZQ_PUTTY_PASS=pw " + Tool("zqplink.exe") + helperCommand, 10, output), 0) << output;
    EXPECT_NE(output.find(std::string("zqplink.exe: ") + OpenSshCommand::kControlFolderUnsafeText + ": "),
              std::string::npos)
        << output;
    EXPECT_NE(output.find(row.reason), std::string::npos) << output;
    const std::string args = ssh.Args();
    EXPECT_NE(args.find("ControlPath=none\n"), std::string::npos) << args;
    EXPECT_EQ(args.find(folder), std::string::npos) << args;
    EXPECT_EQ(TreeOf(base.path()), before);
  }
}

// The default folder lies where only its owner can have made it.
TEST(ControlFolder, DefaultLiesWhereNoOtherUserCanMakeIt) {
  ASSERT_EQ(geteuid(), 0u) << "run as root";
  EXPECT_EQ(DefaultControlDir(), "/run/zqrestore");
  struct Row {
    const char* runtime;
    const char* expected;
  } rows[] = {{"/run/user/54321", "/run/user/54321/zqrestore"},
              {nullptr, "/tmp/zqrestore-ssh-54321"},
              {"relative", "/tmp/zqrestore-ssh-54321"}};
  for (const Row& row : rows) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (row.runtime) {
        setenv("XDG_RUNTIME_DIR", row.runtime, 1);
      } else {
        unsetenv("XDG_RUNTIME_DIR");
      }
      if (setresuid(kOtherUser, kOtherUser, kOtherUser) != 0) _exit(1);
      WriteAll(ends[1], DefaultControlDir());
      _exit(0);
    }
    close(ends[1]);
    std::string found;
    GuestSessionChannel::ReadRest(ends[0], found, 1024, GuestSessionChannel::NowMs() + 5000);
    close(ends[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(found, row.expected) << (row.runtime ? row.runtime : "(unset)");
  }
}

// A socket in the place of a session's: only a listener of this user is spoken to. Another user's
// listener (which could only be there if the folder's checks failed) hears not one byte.
TEST(ControlFolder, ASessionSocketOfAnotherUserIsNeverSpokenTo) {
  for (const uid_t listener : {geteuid(), kOtherUser}) {
    SCOPED_TRACE(listener);
    TempDir base;
    const std::string folder = base.Join("ctl");
    std::string problem;
    ASSERT_TRUE(ControlFolder::MakePrivate(folder, problem)) << problem;
    const std::string path = folder + "/sock";
    sockaddr_un address{};
    ASSERT_TRUE(GuestSessionChannel::SocketAddress(path, address));
    int server = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    // The listener takes on the user id before it listens: the id a client's SO_PEERCRED sees.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setresuid(listener, listener, listener) != 0 || listen(server, 4) != 0) _exit(1);
      WriteAll(ends[1], "L");
      std::string heard;
      pollfd wait{server, POLLIN, 0};
      if (poll(&wait, 1, 5000) == 1) {
        const int client = accept(server, nullptr, nullptr);
        GuestSessionChannel::ReadRest(client, heard, 1024, GuestSessionChannel::NowMs() + 2000);
      }
      WriteAll(ends[1], heard);
      _exit(0);
    }
    close(ends[1]);
    close(server);
    std::string ready;
    ASSERT_TRUE(GuestSessionChannel::ReadExact(ends[0], 1, ready, GuestSessionChannel::NowMs() + 5000));
    const int fd = GuestSessionChannel::ConnectTo(path);
    if (fd >= 0) {
      WriteAll(fd, "TOP-SECRET");
      close(fd);
    }
    std::string heard;
    GuestSessionChannel::ReadRest(ends[0], heard, 1024, GuestSessionChannel::NowMs() + 10000);
    close(ends[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(fd >= 0, listener == geteuid());
    EXPECT_EQ(heard, listener == geteuid() ? "TOP-SECRET" : "");
  }
}

// The askpass run reads the password from the process named by the marker, which must be one of
// its ancestors: here the shell that starts it, with the password in its start environment. It
// serves the login CORP\alice at 10.0.0.5.
std::string AskPassRun(const std::string& setup, const std::string& marker, const std::string& question) {
  return setup + "exec /bin/sh -c " +
         ShellQuote::SingleQuoted("ZQ_SSH_ASKPASS_MODE=" + marker +
                                  " ZQ_SSH_ASKPASS_USER='CORP\\alice' ZQ_SSH_ASKPASS_HOST=10.0.0.5 " +
                                  Tool("zqplink.exe") + " " + ShellQuote::SingleQuoted(question));
}

// A session that went away while a client writes to it fails the write; it must not end the
// client's process, which may be the host that loaded the plug-in.
TEST(WriteAll, FailsOnASocketWhosePeerHasGoneWithoutEndingTheProcess) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  close(ends[1]);
  EXPECT_FALSE(WriteAll(ends[0], std::string(1 << 20, 'x')));
  close(ends[0]);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  EXPECT_TRUE(WriteAll(pipeEnds[1], "through a pipe"));
  close(pipeEnds[1]);
  char buffer[32] = {};
  EXPECT_EQ(read(pipeEnds[0], buffer, sizeof buffer), 14);
  close(pipeEnds[0]);
}

TEST(AskPass, AnswersOnlyThePasswordPromptOfItsOwnLogin) {
  struct Row {
    const char* name;
    const char* question;
    bool answered;
  } rows[] = {
      {"the login's password prompt", "CORP\\alice@10.0.0.5's password: ", true},
      {"the keyboard-interactive spelling", "(CORP\\alice@10.0.0.5) Password: ", true},
      {"a jump host's prompt", "CORP\\alice@10.0.0.1's password: ", false},
      {"another user at the guest", "root@10.0.0.5's password: ", false},
      {"a bare password prompt", "Password: ", false},
      {"a key passphrase", "Enter passphrase for key '/root/.ssh/id_ed25519': ", false},
      {"a question that merely ends like the prompt", "Why CORP\\alice@10.0.0.5's password: ", false},
      {"a host key question", "Are you sure you want to continue connecting (yes/no/[fingerprint])? ", false},
  };
  const std::string withPassword = "export ZQ_PUTTY_PASS='p a$s'; ";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string output;
    EXPECT_EQ(zqtest::RunBounded(AskPassRun(withPassword, "$$", row.question), 10, output), row.answered ? 0 : 1);
    EXPECT_EQ(output, row.answered ? "p a$s\n" : "");
  }
  std::string output;
  EXPECT_EQ(zqtest::RunBounded(AskPassRun("", "$$", "CORP\\alice@10.0.0.5's password: "), 10, output), 1);
  EXPECT_EQ(output, "");
}

TEST(AskPass, KnowsThePromptOfOlderClientsThatCutLongNames) {
  const std::string user(40, 'u');
  const std::string host(140, 'h');
  EXPECT_TRUE(AskPass::IsLoginPrompt(user.substr(0, 30) + "@" + host.substr(0, 128) + "'s password: ", user, host));
  EXPECT_TRUE(AskPass::IsLoginPrompt(user + "@" + host + "'s password: ", user, host));
  EXPECT_FALSE(AskPass::IsLoginPrompt("@'s password: ", "", ""));
}

TEST(SshTools, DomainLoginsGoOutInTheFormWindowsTakes) {
  struct Row {
    const char* given;
    const char* sent;
  } rows[] = {{"alice:CORP", "CORP\\alice"}, {"alice", "alice"}, {"B:A", "A\\B"}, {":CORP", ":CORP"}, {"alice:", "alice:"}};
  for (const Row& row : rows) EXPECT_EQ(OpenSshCommand::LoginName(row.given), row.sent) << row.given;
}

TEST(AskPass, IgnoresAMarkerThatIsNotAnAncestor) {
  std::string output;
  std::string withPassword = "export ZQ_PUTTY_PASS=secret; ";
  const std::string prompt = "CORP\\alice@10.0.0.5's password: ";
  EXPECT_EQ(zqtest::RunBounded(AskPassRun(withPassword, "1", prompt), 10, output), 1);
  EXPECT_EQ(zqtest::RunBounded(AskPassRun(withPassword, std::to_string(getpid()), prompt), 10, output), 1);
  EXPECT_EQ(output, "");
}

TEST(SshTools, UsageErrorsAreReportedWithoutRunningSsh) {
  std::string output;
  EXPECT_EQ(zqtest::RunBounded(Tool("zqplink.exe") + " --help", 10, output), 0);
  EXPECT_NE(output.find("zqplink.exe"), std::string::npos);
  EXPECT_EQ(zqtest::RunBounded(Tool("zqplink.exe") + " host -l u", 10, output), 1);
  EXPECT_NE(output.find("no remote command"), std::string::npos) << output;
  EXPECT_EQ(zqtest::RunBounded(Tool("zqpscp.exe") + " /etc/hostname nohost", 10, output), 1);
  EXPECT_NE(output.find("names no guest"), std::string::npos) << output;
}

TEST(SshTools, PlinkHandsOpenSshTheCommandButNeverThePassword) {
  zqtest::SshTestInstallation installation(ZQ_TOOLS_DIR);
  RecordingOpenSsh ssh;
  installation.Set("SSH", "SshProgram", ssh.program());
  std::string output;
  ASSERT_EQ(zqtest::RunBounded("ZQ_PUTTY_PASS=pw-in-env SSH_AUTH_SOCK=/agent ZQ_STRAY=stray LC_ALL=C " +
                                   Tool("zqplink.exe") +
                                   " -P 2200 10.0.0.5 -l root \"bash -s\" -- \"--browse_path\" \"/a b\"",
                               10, output),
            0)
      << output;
  std::string args = ssh.Args();
  EXPECT_EQ(args.rfind("-T\n-F\n", 0), 0u) << args;
  EXPECT_NE(args.find("\n-l\nroot\n-p\n2200\n--\n10.0.0.5\nbash -s\n--\n--browse_path\n/a b\n"), std::string::npos)
      << args;
  std::string environment = ssh.Environment();
  EXPECT_EQ(environment.find("ZQ_PUTTY_PASS"), std::string::npos);
  EXPECT_EQ(environment.find("pw-in-env"), std::string::npos);
  EXPECT_NE(environment.find("SSH_ASKPASS=" + Tool("zqplink.exe") + "\n"), std::string::npos) << environment;
  EXPECT_NE(environment.find("SSH_ASKPASS_REQUIRE=force\n"), std::string::npos);
  EXPECT_NE(environment.find("ZQ_SSH_ASKPASS_MODE="), std::string::npos);
  EXPECT_NE(environment.find("ZQ_SSH_ASKPASS_USER=root\n"), std::string::npos);
  EXPECT_NE(environment.find("ZQ_SSH_ASKPASS_HOST=10.0.0.5\n"), std::string::npos);
  EXPECT_NE(environment.find("LC_ALL=C\n"), std::string::npos);
  // Only what OpenSSH needs: neither the agent (the settings do not ask for keys) nor anything else.
  EXPECT_EQ(environment.find("SSH_AUTH_SOCK"), std::string::npos);
  EXPECT_EQ(environment.find("ZQ_STRAY"), std::string::npos);
  EXPECT_EQ(environment.find("ZQ_SETTINGS"), std::string::npos);
  EXPECT_NE(args.find("-o\nIdentitiesOnly=yes\n-o\nIdentityAgent=none\n-o\nIdentityFile=none\n"), std::string::npos)
      << args;
}

TEST(SshTools, KeysAndAgentOnlyWhenTheSettingsAskForThem) {
  zqtest::SshTestInstallation installation(ZQ_TOOLS_DIR);
  RecordingOpenSsh ssh;
  installation.Set("SSH", "SshProgram", ssh.program());
  installation.Set("SSH", "UseKeys", "true");
  std::string output;
  ASSERT_EQ(zqtest::RunBounded("SSH_AUTH_SOCK=/agent " + Tool("zqplink.exe") + " 10.0.0.5 -l root true", 10, output), 0)
      << output;
  EXPECT_NE(ssh.Environment().find("SSH_AUTH_SOCK=/agent\n"), std::string::npos);
  EXPECT_EQ(ssh.Args().find("IdentityAgent"), std::string::npos);
}

// Every connection of a run, a jump host's too, tries one password: the tools' configuration file
// says so before it includes the installation's.
TEST(SshTools, JumpHostsOfTheConfigurationGetOnePasswordAttempt) {
  zqtest::SshTestInstallation installation(ZQ_TOOLS_DIR);
  installation.AddHost("jump.example", 22);
  zqtest::WriteFile(installation.ConfigFile(),
                    "Host jump.example\n  NumberOfPasswordPrompts 3\nHost 10.0.0.5\n  ProxyJump jump.example\n");
  // An ssh that keeps a copy of the configuration file it is given ("-T -F FILE ...").
  TempDir dir;
  zqtest::WriteFile(dir.Join("ssh"), "#!/bin/sh\necho \"$3\" > " + dir.Join("given") + "; cp \"$3\" " +
                                         dir.Join("config") + "\n");
  chmod(dir.Join("ssh").c_str(), 0755);
  installation.Set("SSH", "SshProgram", dir.Join("ssh"));
  std::string output;
  ASSERT_EQ(zqtest::RunBounded(Tool("zqplink.exe") + " 10.0.0.5 -l root true", 10, output), 0) << output;
  std::string given = zqtest::ReadFile(dir.Join("given"));
  given.pop_back();
  // Kept in the private control folder, not beside the installation's file.
  ASSERT_EQ(given.rfind(installation.ControlDir() + "/config-", 0), 0u) << given;
  const std::string config = dir.Join("config");
  ASSERT_EQ(zqtest::RunBounded("ssh -G -F " + config + " jump.example", 10, output), 0) << output;
  EXPECT_NE(output.find("\nnumberofpasswordprompts 1\n"), std::string::npos) << output;
  ASSERT_EQ(zqtest::RunBounded("ssh -G -F " + config + " 10.0.0.5", 10, output), 0) << output;
  EXPECT_NE(output.find("\nproxyjump jump.example\n"), std::string::npos) << output;
}

// OpenSSH's words when a ProxyJump host of the configuration fails: the tool names that host, not
// the guest, and a refusal is remembered for the host that refused: the guest's login is asked
// again at once, as the guest never refused it.
TEST(SshTools, AJumpHostsFailureNamesTheJumpHostAndIsNotHeldAgainstTheGuest) {
  struct Row {
    const char* name;
    const char* errors;  // what OpenSSH prints
    const char* said;
    bool remembered;  // the next run fails without starting OpenSSH
  };
  const Row rows[] = {
      {"the guest refuses", "root@10.0.0.5: Permission denied (publickey,password).",
       "zqplink.exe: authentication refused for root at 10.0.0.5", true},
      {"the jump host refuses",
       "hop@jump.example: Permission denied (publickey,password).\nConnection closed by UNKNOWN port 65535",
       "zqplink.exe: authentication refused by the jump host jump.example on the way to 10.0.0.5 (the guest was not "
       "asked)",
       false},
      {"the jump host's key changed",
       "Host key for [jump.example]:2222 has changed and you have requested strict checking.\nHost key verification "
       "failed.",
       "zqplink.exe: refused: the host key of the jump host jump.example on the way to 10.0.0.5 differs", false},
      {"the guest's key changed",
       "Host key for 10.0.0.5 has changed and you have requested strict checking.\nHost key verification failed.",
       "zqplink.exe: refused: the host key of 10.0.0.5 differs", false},
      {"the jump host cannot be reached",
       "ssh: connect to host jump.example port 22: Connection refused\nConnection closed by UNKNOWN port 65535",
       "zqplink.exe: cannot connect to the jump host jump.example on the way to 10.0.0.5", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    zqtest::SshTestInstallation installation(ZQ_TOOLS_DIR);
    TempDir dir;
    zqtest::WriteFile(dir.Join("ssh"), "#!/bin/sh\necho run >> " + dir.Join("runs") + "\nprintf '%s\\n' " +
                                           ShellQuote::SingleQuoted(row.errors) + " >&2\nexit 255\n");
    chmod(dir.Join("ssh").c_str(), 0755);
    installation.Set("SSH", "SshProgram", dir.Join("ssh"));
    std::string output;
    const std::string run = "ZQ_PUTTY_PASS=pw " + Tool("zqplink.exe") + " 10.0.0.5 -l root true";
    EXPECT_EQ(zqtest::RunBounded(run, 10, output), 255);
    EXPECT_NE(output.find(row.said), std::string::npos) << output;
    EXPECT_EQ(zqtest::RunBounded(run, 10, output), 255);
    EXPECT_NE(output.find(row.said), std::string::npos) << output;
    EXPECT_EQ(zqtest::ReadFile(dir.Join("runs")), row.remembered ? "run\n" : "run\nrun\n");
  }
}

TEST(SshTools, AnAddressWithNothingListeningFailsAtOnceWithAClearMessage) {
  zqtest::SshTestInstallation installation(ZQ_TOOLS_DIR);
  installation.AddHost("127.0.0.9", zqtest::FreeLoopbackPort("127.0.0.9"));
  std::string output;
  EXPECT_EQ(zqtest::RunBounded(Tool("zqplink.exe") + " 127.0.0.9 -l zq true", 30, output), 255);
  EXPECT_NE(output.find("zqplink.exe: cannot connect to 127.0.0.9"), std::string::npos) << output;
  EXPECT_EQ(zqtest::RunBounded(Tool("zqpscp.exe") + " /etc/hostname zq@127.0.0.9:/tmp/x", 30, output), 255);
  EXPECT_NE(output.find("zqpscp.exe: cannot connect to 127.0.0.9"), std::string::npos) << output;
}

}  // namespace
