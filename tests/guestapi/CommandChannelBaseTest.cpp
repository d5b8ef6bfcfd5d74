#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "guestapi/ZQGuestAPI.h"
#include "tools/OpenSshCommand.h"
#include "platform/CNyPath.h"
#include "platform/FXFile.h"
#include "platform/ZqProcess.h"
#include "support/Credentials.h"
#include "support/TestSupport.h"

namespace {

using zqtest::ScopedLogCapture;
using zqtest::ScopedSettings;
using zqtest::TempDir;

// A command channel with the guest operations recorded instead of run; the password goes into
// the environment the way the SSH channels put it there.
class RecordingChannel : public CGuestAPI {
 public:
  RecordingChannel() : CGuestAPI(nullptr) {}
  int BrowseGuest(const GuestCtx&, const std::string&, std::vector<VMInfoStructs::SGuestFile>&) override { return 1; }
  int BrowseGuestFolders(const GuestCtx&, const std::string&, std::vector<VMInfoStructs::SGuestFile>&) override {
    return 1;
  }
  int CreateGuestFolder(const GuestCtx&, const std::string& path) override {
    calls.push_back("mkdir " + path);
    return failOn == path ? 0 : 1;
  }
  int CopyFileToGuest(const GuestCtx&, const std::string& local, const std::string& guest, bool) override {
    calls.push_back("copy " + local + " -> " + guest);
    return failOn == guest ? 0 : 1;
  }
  int ChangeGuestFileAttributes(const GuestCtx&, const std::string&, const VMInfoStructs::SGuestFile&) override {
    return 1;
  }
  bool PreExecuteCommand(const std::string&) override {
    SetEnv("ZQ_TEST_PASS", m_loginCred.password.c_str());
    return true;
  }
  const GuestLoginCred& login() const { return m_loginCred; }

  std::vector<std::string> calls;
  std::string failOn;
};

GuestLoginCred Login(const std::string& password) { return zqtest::MakeLogin("root", password, "10.0.0.1,10.0.0.2"); }

TEST(CommandChannelBase, MasksEveryOccurrenceOfThePassword) {
  RecordingChannel channel;
  EXPECT_EQ(channel.MaskPasswdInStr("a pw b pw pwpw", "pw"), "a ***** b ***** **********");
  EXPECT_EQ(channel.MaskPasswdInStr("aaa", "aa"), "*****a");
  EXPECT_EQ(channel.MaskPasswdInStr("text", ""), "text");
}

TEST(CommandChannelBase, InitNeedsTheBaseFolderSetting) {
  ScopedSettings settings;
  ScopedLogCapture capture;
  RecordingChannel channel;
  EXPECT_FALSE(channel.Init(Login("pw")));
  EXPECT_TRUE(capture.sink().Contains("Failed to get ZQPI_BASEHOME"));
  EXPECT_EQ(channel.login().password, "");
  settings.Set("Base", "dBASEHOME", "/opt/zq");
  EXPECT_TRUE(channel.Init(Login("pw")));
  EXPECT_EQ(channel.login().ipAddress, "10.0.0.1,10.0.0.2");
}

TEST(CommandChannelBase, FailedCommandIsLoggedMaskedAndKeepsUnmaskedOutput) {
  ScopedSettings settings;
  settings.Set("Base", "dBASEHOME", "/opt/zq");
  ScopedLogCapture capture;
  RecordingChannel channel;
  ASSERT_TRUE(channel.Init(Login("s3cr3t")));
  std::string output;
  EXPECT_FALSE(channel.ExecuteCommand("echo out-s3cr3t; echo err-s3cr3t >&2; exit 4 # s3cr3t", output));
  EXPECT_EQ(output, "out-s3cr3t\n");
  EXPECT_EQ(channel.GetLastGuestApiErrorDetails(),
            "Cmd echo out-*****; echo err-***** >&2; exit 4 # *****failed!");
  EXPECT_TRUE(capture.sink().Contains(
      "Command failed Cmd [echo out-*****; echo err-***** >&2; exit 4 # *****] Outout [out-*****\n] Err [err-*****\n]"));
  EXPECT_TRUE(capture.sink().Contains("Executing command echo out-*****; echo err-***** >&2; exit 4 # *****"));
  EXPECT_FALSE(capture.sink().AnyContains("s3cr3t"));
  // A later success does not clear the last error.
  EXPECT_TRUE(channel.ExecuteCommand("true", output));
  EXPECT_NE(channel.GetLastGuestApiErrorDetails(), "");
}

// Puts the password into ZQ_PUTTY_PASS as the SSH channels do.
class PasswordChannel : public RecordingChannel {
 public:
  bool PreExecuteCommand(const std::string&) override {
    SetEnv("ZQ_PUTTY_PASS", m_loginCred.password.c_str());
    return true;
  }
};

// Notes where the password variable's text lies while a command runs.
class EnvironmentPeekingRunner : public CommandRunner {
 public:
  int Run(const std::string&, std::string* out, std::string*) override {
    seen = std::getenv("ZQ_PUTTY_PASS");
    if (seen != nullptr && out != nullptr) *out = seen;
    return 0;
  }
  const char* seen = nullptr;
};

TEST(CommandChannelBase, PasswordVariableLastsOnlyForTheCommandAndIsWipedAfterwards) {
  ScopedSettings settings;
  settings.Set("Base", "dBASEHOME", "/opt/zq");
  auto runner = std::make_shared<EnvironmentPeekingRunner>();
  auto previous = SetCommandRunner(runner);
  PasswordChannel channel;
  ASSERT_TRUE(channel.Init(Login("pa55-word")));
  std::string output;
  EXPECT_TRUE(channel.ExecuteCommand("anything", output));
  SetCommandRunner(previous);
  EXPECT_EQ(output, "pa55-word");
  EXPECT_EQ(std::getenv("ZQ_PUTTY_PASS"), nullptr);
  ASSERT_NE(runner->seen, nullptr);
  // The text the environment pointed to no longer holds the password.
  EXPECT_EQ(std::string(runner->seen, 9), std::string(9, '\0'));
}

TEST(CommandChannelBase, FailureReasonAndTimeLimitReachTheLastError) {
  struct Row {
    const char* name;
    const char* command;
    const char* reason;
  } rows[] = {
      {"the tool's explanation", "echo noise >&2; echo 'zqplink.exe: authentication refused for u at 10.0.0.1' >&2; exit 255",
       "failed! zqplink.exe: authentication refused for u at 10.0.0.1"},
      {"a hung helper command", "sleep 30", "failed! command ended: it ran longer than its time limit of 1 s"},
      {"no explanation", "exit 3", "failed!"},
  };
  ScopedSettings settings;
  settings.Set("Base", "dBASEHOME", "/opt/zq");
  settings.Set("SSH", "CommandTimeLimit", "1");
  ScopedLogCapture capture;
  RecordingChannel channel;
  ASSERT_TRUE(channel.Init(Login("pw")));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string output;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(channel.ExecuteCommand(row.command, output));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
    const std::string details = channel.GetLastGuestApiErrorDetails();
    EXPECT_EQ(details.substr(details.size() - std::min(details.size(), std::strlen(row.reason))), row.reason);
  }
}

// The tools say on every run when guest sessions are off; a channel logs it once, at level 0.
TEST(CommandChannelBase, SaysOnceThatGuestSessionsAreOff) {
  ScopedSettings settings;
  settings.Set("Base", "dBASEHOME", "/opt/zq");
  ScopedLogCapture capture;
  RecordingChannel channel;
  ASSERT_TRUE(channel.Init(Login("pw")));
  std::string output;
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(channel.ExecuteCommand(std::string("echo 'zqplink.exe: ") + OpenSshCommand::kControlFolderUnsafeText +
                                           ": the folder /tmp/zq belongs to user id 54321' >&2",
                                       output));
  }
  const std::string line = std::string("Guest sessions are off: ") + OpenSshCommand::kControlFolderUnsafeText +
                           ": the folder /tmp/zq belongs to user id 54321";
  const std::vector<LogRecord> records = capture.sink().Records();
  EXPECT_EQ(std::count_if(records.begin(), records.end(),
                          [&line](const LogRecord& record) { return record.text == line; }),
            1);
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&line](const LogRecord& record) {
    return record.text == line && record.level == LogLevel::Level0;
  }));
}

TEST(CommandChannelBase, CommandsOfTwoChannelsNeverOverlapAndEachSeesItsOwnPassword) {
  ScopedSettings settings;
  settings.Set("Base", "dBASEHOME", "/opt/zq");
  TempDir dir;
  const std::string record = dir.Join("record");
  RecordingChannel first, second;
  ASSERT_TRUE(first.Init(Login("alpha")));
  ASSERT_TRUE(second.Init(Login("bravo")));
  const std::string command =
      "echo \"start $ZQ_TEST_PASS\" >> " + record + "; sleep 0.02; echo \"end $ZQ_TEST_PASS\" >> " + record;
  auto run = [&command](RecordingChannel& channel) {
    std::string output;
    for (int i = 0; i < 5; ++i) channel.ExecuteCommand(command, output);
  };
  std::thread a(run, std::ref(first));
  std::thread b(run, std::ref(second));
  a.join();
  b.join();
  const std::vector<std::string> lines = FXString::Split(zqtest::ReadFile(record), "\n", FXString::SkipEmpty);
  ASSERT_EQ(lines.size(), 20u);
  for (size_t i = 0; i < lines.size(); i += 2) {
    ASSERT_EQ(lines[i].substr(0, 6), "start ") << i;
    EXPECT_EQ(lines[i + 1], "end " + lines[i].substr(6)) << "commands overlapped at line " << i;
  }
}

TEST(CommandChannelBase, ScrubRemovesExecutionBannersAndEmptyLines) {
  RecordingChannel channel;
  std::string text =
      "Connecting to 10.0.0.5...\nhello\n\nStarting cmd on  host\nworld";
  channel.ScrubZqPAExecOutput(text);
  EXPECT_EQ(text, "hello\nworld\n");
  std::string empty;
  channel.ScrubZqPAExecOutput(empty);
  EXPECT_EQ(empty, "");
  std::string cased = "CMD EXITED ON host with code 0\nkeep\n";
  channel.ScrubZqPAExecOutput(cased);
  EXPECT_EQ(cased, "keep\n");
}

TEST(CommandChannelBase, FolderWalkCopiesEverythingAndSkipsDotEntries) {
  TempDir dir;
  zqtest::WriteFile(dir.Join("a.txt"), "a");
  ASSERT_FALSE(CNyDirectory::Create(dir.Join("sub").c_str(), false).IsError());
  zqtest::WriteFile(dir.Join("sub/b.txt"), "b");
  RecordingChannel channel;
  GuestCtx ctx;
  EXPECT_EQ(channel.CopyDirectoryToGuest(ctx, dir.path(), "/g", false), 1);
  std::sort(channel.calls.begin(), channel.calls.end());
  EXPECT_EQ(channel.calls, (std::vector<std::string>{"copy " + dir.Join("a.txt") + " -> /g/a.txt",
                                                     "copy " + dir.Join("sub/b.txt") + " -> /g/sub/b.txt", "mkdir /g",
                                                     "mkdir /g/sub"}));
}

// A link in the caller's tree is not followed: nothing of the proxy outside the tree is copied.
TEST(CommandChannelBase, FolderWalkRefusesLinksInsteadOfFollowingThem) {
  TempDir dir;
  ASSERT_FALSE(CNyDirectory::Create(dir.Join("tree").c_str(), false).IsError());
  ASSERT_EQ(symlink("/etc", dir.Join("tree/etc").c_str()), 0);
  ScopedLogCapture capture;
  RecordingChannel channel;
  GuestCtx ctx;
  EXPECT_EQ(channel.CopyDirectoryToGuest(ctx, dir.Join("tree"), "/g", false), 0);
  EXPECT_EQ(channel.calls, (std::vector<std::string>{"mkdir /g"}));
  EXPECT_NE(channel.GetLastGuestApiErrorDetails().find("is a link"), std::string::npos);
}

TEST(CommandChannelBase, FolderWalkStopsAtTheFirstFailedEntry) {
  TempDir dir;
  for (const char* name : {"1", "2", "3", "4", "5"}) zqtest::WriteFile(dir.Join(name), name);
  ScopedLogCapture capture;
  RecordingChannel channel;
  channel.failOn = "/g/3";
  GuestCtx ctx;
  EXPECT_EQ(channel.CopyDirectoryToGuest(ctx, dir.path(), "/g", false), 0);
  ASSERT_FALSE(channel.calls.empty());
  EXPECT_EQ(channel.calls.back(), "copy " + dir.Join("3") + " -> /g/3") << "nothing is copied after the failure";
  EXPECT_TRUE(capture.sink().Contains("Failed to copy file from [" + dir.Join("3") + "] to guest VM[/g/3]"));
}

TEST(CommandChannelBase, FolderWalkFailures) {
  ScopedLogCapture capture;
  RecordingChannel channel;
  GuestCtx ctx;
  channel.failOn = "/g";
  EXPECT_EQ(channel.CopyDirectoryToGuest(ctx, "/nonexistent", "/g", false), 0);
  EXPECT_TRUE(capture.sink().Contains("Failed to create guest dir[/g]"));
  channel.failOn.clear();
  EXPECT_EQ(channel.CopyDirectoryToGuest(ctx, "/nonexistent", "/g", false), 0);
  EXPECT_TRUE(capture.sink().Contains("Failed to open folder path [/nonexistent]"));
}

TEST(CommandChannelBase, DefaultsAndStagingCleanUp) {
  RecordingChannel channel;
  GuestCtx ctx;
  int exitCode = 9;
  EXPECT_EQ(channel.ExecuteScriptInGuest(ctx, "", "", "", 0, "", exitCode), 0);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(channel.ExecuteScriptInGuest(ctx, "", 0), 1);
  bool running = true;
  long pid = 77;
  EXPECT_EQ(channel.IsProcessRunningInGuest(ctx, "", pid, running), 0);
  EXPECT_FALSE(running);
  EXPECT_EQ(pid, 77);
  std::string folder = "x";
  EXPECT_EQ(channel.GetGuestTempFolder(ctx, folder), 0);
  EXPECT_EQ(folder, "");
  EXPECT_EQ(channel.PrepareGuestForFileCopy(ctx), 1);
  EXPECT_FALSE(channel.IsZqGuestAPI());
  EXPECT_EQ(channel.InitStagingFolder(1, "/s", "/g"), 1);

  TempDir dir;
  const std::string staging = dir.Join("ForGuestVM");
  ASSERT_FALSE(CNyDirectory::Create((staging + "/deep/er").c_str(), true).IsError());
  zqtest::WriteFile(staging + "/deep/er/f", "x");
  EXPECT_EQ(channel.DeInitStagingFolder(staging, "/g"), 1);
  struct stat info {};
  EXPECT_NE(stat(staging.c_str(), &info), 0);
}

}  // namespace
