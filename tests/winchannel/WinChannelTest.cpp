// The Windows channel's builders, parsers and operation flows, with the command runner replaced
// by a double that records every command line and answers from a script.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>

#include "guestapi/ShellQuote.h"
#include "guestapi/ZQWinGuestAPI.h"
#include "platform/ZqProcess.h"
#include "support/TestSupport.h"

namespace {

using VMInfoStructs::SGuestFile;

const std::string kBase = "/opt/zq";
const std::string kAddress = "10.0.0.5";
const std::string kUser = "alice";
const std::string kPassword = "Pa55word!";
const std::string kPlink = kBase + "/zqplink.exe " + kAddress + " -l " + kUser + " ";

// Records each command line, the password the tools would see, and answers in order.
class ScriptedRunner : public CommandRunner {
 public:
  struct Answer {
    int status;
    std::string out;
  };
  int Run(const std::string& command, std::string* out, std::string* err) override {
    commands.push_back(command);
    const char* password = std::getenv("ZQ_PUTTY_PASS");
    passwords.push_back(password ? password : "<unset>");
    Answer answer{0, ""};
    if (!answers.empty()) {
      answer = answers.front();
      answers.pop_front();
    }
    if (out) *out = answer.out;
    if (err) err->clear();
    return answer.status;
  }
  std::vector<std::string> commands;
  std::vector<std::string> passwords;
  std::deque<Answer> answers;
};

class WinChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    m_settings.Set("Base", "dBASEHOME", kBase);
    m_previous = SetCommandRunner(m_runner);
  }
  void TearDown() override { SetCommandRunner(m_previous); }

  // A channel whose Init has probed `addresses` and found a Windows guest at the first.
  bool InitChannel(const std::string& user = kUser, const std::string& addresses = kAddress) {
    m_runner->answers.push_back({0, "\r\nOS Name:                   Microsoft Windows Server 2019\r\n"});
    GuestLoginCred cred;
    cred.userName = user;
    cred.password = kPassword;
    cred.ipAddress = addresses;
    const bool ok = m_channel.Init(cred);
    m_runner->commands.clear();
    m_runner->passwords.clear();
    return ok;
  }

  void Answer(int status, const std::string& out) { m_runner->answers.push_back({status, out}); }
  const std::vector<std::string>& Commands() const { return m_runner->commands; }

  zqtest::ScopedSettings m_settings;
  zqtest::ScopedLogCapture m_log;
  std::shared_ptr<ScriptedRunner> m_runner = std::make_shared<ScriptedRunner>();
  std::shared_ptr<CommandRunner> m_previous;
  ZQWinGuestAPI m_channel{nullptr};
  GuestCtx m_ctx;
};

// ---- Init: domain names and the probe ----

struct DomainRow {
  std::string given;
  std::string used;
  bool logged;
};
void PrintTo(const DomainRow& row, std::ostream* out) { *out << row.given; }

class DomainLogin : public WinChannel, public ::testing::WithParamInterface<DomainRow> {};

TEST_P(DomainLogin, RewritesDomainAccounts) {
  Answer(0, "Microsoft Windows");
  GuestLoginCred cred;
  cred.userName = GetParam().given;
  cred.password = kPassword;
  cred.ipAddress = kAddress;
  ASSERT_TRUE(m_channel.Init(cred));
  ASSERT_EQ(Commands().size(), 1u);
  EXPECT_EQ(Commands()[0], kBase + "/zqplink.exe " + kAddress + " -l " + ShellQuote::Word(GetParam().used) +
                               " cmd /c \"echo . | powershell systeminfo\"");
  EXPECT_EQ(m_log.sink().Contains("Using domain auth: " + GetParam().used), GetParam().logged);
  EXPECT_EQ(m_log.sink().AnyContains("Using domain auth"), GetParam().logged);
}

INSTANTIATE_TEST_SUITE_P(Table, DomainLogin,
                         ::testing::Values(DomainRow{"CORP\\alice", "alice:CORP", true}, DomainRow{"alice", "alice", false},
                                           DomainRow{"A\\B\\C", "B:A", true}, DomainRow{"CORP\\\\alice", "alice:CORP", true},
                                           DomainRow{"CORP\\", "CORP\\", true}, DomainRow{"\\alice", "alice:", true}));

TEST_F(WinChannel, ProbeSkipsEmptyAndDeadAddresses) {
  Answer(1, "");
  Answer(0, "OS Name: Microsoft windows 10");  // letter case does not matter
  GuestLoginCred cred;
  cred.userName = kUser;
  cred.password = kPassword;
  cred.ipAddress = "10.0.0.1,,10.0.0.2";
  ASSERT_TRUE(m_channel.Init(cred));
  ASSERT_EQ(Commands().size(), 2u);
  EXPECT_EQ(Commands()[0], kBase + "/zqplink.exe 10.0.0.1 -l alice cmd /c \"echo . | powershell systeminfo\"");
  EXPECT_EQ(Commands()[1], kBase + "/zqplink.exe 10.0.0.2 -l alice cmd /c \"echo . | powershell systeminfo\"");
  std::string line = "x";
  m_channel.InitZqPlinkCmd(line);
  EXPECT_EQ(line, kBase + "/zqplink.exe 10.0.0.2 -l alice x");
}

TEST_F(WinChannel, FirstAnsweringGuestDecides) {
  Answer(0, "Linux guest 5.10.0 x86_64 GNU/Linux");
  GuestLoginCred cred;
  cred.userName = kUser;
  cred.password = kPassword;
  cred.ipAddress = "10.0.0.1,10.0.0.2";
  EXPECT_FALSE(m_channel.Init(cred));
  EXPECT_EQ(Commands().size(), 1u);
  EXPECT_TRUE(m_log.sink().AnyContains("resp Linux guest"));
}

TEST_F(WinChannel, FailsWhenNoAddressAnswers) {
  Answer(1, "");
  Answer(1, "");
  GuestLoginCred cred;
  cred.userName = kUser;
  cred.password = kPassword;
  cred.ipAddress = "10.0.0.1,10.0.0.2";
  EXPECT_FALSE(m_channel.Init(cred));
  EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(WinChannel, FailsWithoutBaseFolder) {
  m_settings.Erase("Base", "dBASEHOME");
  GuestLoginCred cred;
  cred.userName = kUser;
  cred.ipAddress = kAddress;
  EXPECT_FALSE(m_channel.Init(cred));
  EXPECT_TRUE(Commands().empty());
}

TEST_F(WinChannel, PasswordOnlyInTheEnvironmentWhileACommandRuns) {
  ASSERT_TRUE(InitChannel());
  Answer(0, "C:\r\n");
  std::vector<SGuestFile> entries;
  ASSERT_EQ(m_channel.BrowseGuest(m_ctx, "", entries), 1);
  EXPECT_EQ(m_runner->passwords, std::vector<std::string>{kPassword});
  EXPECT_EQ(std::getenv("ZQ_PUTTY_PASS"), nullptr);
  for (const std::string& command : Commands()) EXPECT_EQ(command.find(kPassword), std::string::npos);
}

// ---- builders ----

TEST_F(WinChannel, BuildsTheDocumentedCommandLines) {
  ASSERT_TRUE(InitChannel());
  std::string script = "Write-Host $x";
  m_channel.InitZqRemoteCmd(script);
  EXPECT_EQ(script, kPlink + "cmd /c \"echo . | powershell Write-Host \\$x\"");
  script = "Get-Date";
  m_channel.InitZqRemoteCmd(script);
  EXPECT_EQ(script, kPlink + "cmd /c \"echo . | powershell Get-Date\"");
  std::string arguments = "'a' b";
  m_channel.InitZqPscpCmd(arguments);
  EXPECT_EQ(arguments, kBase + "/zqpscp.exe -l alice 'a' b");
}

TEST_F(WinChannel, QuotesBaseFolderAndLoginThatTheShellWouldSplit) {
  m_settings.Set("Base", "dBASEHOME", "/opt/zq tools");
  ASSERT_TRUE(InitChannel("bob smith"));
  std::string line = "x";
  m_channel.InitZqPlinkCmd(line);
  EXPECT_EQ(line, "'/opt/zq tools/zqplink.exe' 10.0.0.5 -l 'bob smith' x");
}

TEST_F(WinChannel, WorkedCommandLines) {
  ASSERT_TRUE(InitChannel());
  ASSERT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\Restore"), 1);
  EXPECT_EQ(Commands().back(),
            kPlink + "cmd /c \"echo . | powershell New-Item -ItemType directory -Path 'C:\\Restore' -Force\"");

  SGuestFile times;
  times.createTime = 60;
  times.modifyTime = 1593604800;
  times.accessTime = -5;
  ASSERT_EQ(m_channel.ChangeGuestFileAttributes(m_ctx, "C:\\Restore\\a.txt", times), 1);
  const size_t n = Commands().size();
  ASSERT_GE(n, 3u);
  EXPECT_EQ(Commands()[n - 3],
            kPlink + "cmd /c \"echo . | powershell \\$stime = get-date 1/1/1970; \\$unixtime=60; (Get-Item "
                     "'C:\\Restore\\a.txt').CreationTime=(\\$stime.AddSeconds(\\$unixTime).ToLocalTime());\"");
  EXPECT_EQ(Commands()[n - 2],
            kPlink + "cmd /c \"echo . | powershell \\$stime = get-date 1/1/1970; \\$unixtime=1593604800; (Get-Item "
                     "'C:\\Restore\\a.txt').LastWriteTime=(\\$stime.AddSeconds(\\$unixTime).ToLocalTime());\"");
  EXPECT_EQ(Commands()[n - 1],
            kPlink + "cmd /c \"echo . | powershell \\$stime = get-date 1/1/1970; \\$unixtime=-5; (Get-Item "
                     "'C:\\Restore\\a.txt').LastAccessTime=(\\$stime.AddSeconds(\\$unixTime).ToLocalTime());\"");

  m_runner->commands.clear();
  Answer(0, "PathNotFound\r\n");
  ASSERT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\Restore\\a.txt", false), 1);
  ASSERT_EQ(Commands().size(), 3u);
  EXPECT_EQ(Commands()[0], kPlink + "cmd /c \"echo . | powershell  if (Test-Path 'C:\\Restore\\a.txt') {Write-Host "
                                    "PathFound} else {Write-Host PathNotFound}\"");
  EXPECT_EQ(Commands()[1],
            kPlink + "cmd /c \"echo . | powershell \\$GuestFile='C:\\Restore\\a.txt'; if (!(Test-Path \\$GuestFile)) "
                     "{\\$ParentDir=Split-Path -Path \\$GuestFile -Parent; if (!(Test-Path \\$ParentDir)) {New-Item "
                     "-ItemType Directory -Path \\$ParentDir -force;}}\"");
  EXPECT_EQ(Commands()[2], kBase + "/zqpscp.exe -l alice '/stage/a.txt' 10.0.0.5:'C:\\Restore\\a.txt'");
}

TEST_F(WinChannel, BrowseCommandLines) {
  ASSERT_TRUE(InitChannel());
  std::vector<SGuestFile> entries;
  Answer(0, "C:\r\n");
  ASSERT_EQ(m_channel.BrowseGuest(m_ctx, "\\", entries), 1);
  EXPECT_EQ(Commands().back(),
            kPlink + "cmd /c \"echo . | powershell foreach(\\$_ in get-volume) { if (\\$_.DriveLetter -and "
                     "\\$_.DriveType -eq 'Fixed') {Write-Host (\\$_.DriveLetter + ':')}}\"");
  Answer(0, "PathFound\r\n");
  Answer(0, "");
  ASSERT_EQ(m_channel.BrowseGuest(m_ctx, "C:\\Restore", entries), 1);
  ASSERT_EQ(Commands().size(), 3u);
  EXPECT_EQ(Commands()[1], kPlink + "cmd /c \"echo . | powershell if (Test-Path 'C:\\Restore\\') {Write-Host "
                                    "PathFound} else {Write-Host PathNotFound}\"");
  EXPECT_EQ(Commands()[2],
            kPlink + "cmd /c \"echo . | powershell foreach(\\$_ in get-childitem 'C:\\Restore\\') {\\$isDir =  "
                     "\\$_.GetType().name -eq 'DirectoryInfo'; \\$len = if (\\$isDir) {0} else "
                     "{\\$_.length};Write-Host \\$_.name,\\$len,\\$isDir,\\$_.LastWriteTime.ToString('M/d/yyyy "
                     "h:mm:ss tt', [Globalization.CultureInfo]::InvariantCulture) -Separator ','}\"");
  Answer(0, "");
  ASSERT_EQ(m_channel.BrowseGuestFolders(m_ctx, "C:\\Restore\\", entries), 1);
  EXPECT_EQ(Commands().back(),
            kPlink + "cmd /c \"echo . | powershell if (Test-Path 'C:\\Restore\\') {foreach(\\$_ in get-childitem "
                     "'C:\\Restore\\') {\\$isDir =  \\$_.GetType().name -eq 'DirectoryInfo'; \\$len = if (\\$isDir) "
                     "{0} else {\\$_.length};if (\\$isDir) {Write-Host \\$_.name,\\$len,\\$isDir,"
                     "\\$_.LastWriteTime.ToString('M/d/yyyy h:mm:ss tt', [Globalization.CultureInfo]::InvariantCulture) "
                     "-Separator ','}}}\"");
  std::string path = "C:\\Old";
  ASSERT_EQ(m_channel.DeleteDirectoryInGuest(m_ctx, path), 1);
  EXPECT_EQ(Commands().back(), kPlink + "cmd /c \"echo . | powershell Remove-Item -Path 'C:\\Old' -Force\"");
  EXPECT_EQ(path, "C:\\Old");
}

// ---- paths that need care ----

TEST_F(WinChannel, SendsPathsWithCmdCharactersEncoded) {
  ASSERT_TRUE(InitChannel());
  ASSERT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\x%PATH%"), 1);
  EXPECT_EQ(Commands().back(),
            kPlink + "cmd /c \"echo . | powershell -EncodedCommand "
                     "TgBlAHcALQBJAHQAZQBtACAALQBJAHQAZQBtAFQAeQBwAGUAIABkAGkAcgBlAGMAdABvAHIAeQAgAC0AUABhAHQAaAAgACcAQwA6"
                     "AFwAeAAlAFAAQQBUAEgAJQAnACAALQBGAG8AcgBjAGUA\"");
}

TEST_F(WinChannel, QuotesPathsForPowerShellAndTheShell) {
  ASSERT_TRUE(InitChannel());
  ASSERT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\it's \xE2\x80\x98$x\xE2\x80\x99 `id`"), 1);
  EXPECT_EQ(Commands().back(), kPlink + "cmd /c \"echo . | powershell New-Item -ItemType directory -Path 'C:\\it''s "
                                        "\xE2\x80\x98\xE2\x80\x98\\$x\xE2\x80\x99\xE2\x80\x99 \\`id\\`' -Force\"");
  Answer(0, "PathFound");
  Answer(0, "");
  std::vector<SGuestFile> entries;
  ASSERT_EQ(m_channel.BrowseGuest(m_ctx, "C:\\a[1]", entries), 1);
  EXPECT_EQ(Commands()[Commands().size() - 2],
            kPlink + "cmd /c \"echo . | powershell if (Test-Path -LiteralPath 'C:\\a[1]\\') {Write-Host PathFound} "
                     "else {Write-Host PathNotFound}\"");
  Answer(0, "PathNotFound");
  ASSERT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/it's.txt", "C:\\a[1]\\it's.txt", false), 1);
  const size_t n = Commands().size();
  EXPECT_NE(Commands()[n - 2].find("if (!(Test-Path -LiteralPath \\$GuestFile))"), std::string::npos);
  EXPECT_NE(Commands()[n - 2].find("if (!(Test-Path -LiteralPath \\$ParentDir))"), std::string::npos);
  EXPECT_EQ(Commands()[n - 1],
            kBase + "/zqpscp.exe -l alice '/stage/it'\\''s.txt' 10.0.0.5:'C:\\a[1]\\it'\\''s.txt'");
}

TEST_F(WinChannel, RefusesPathsWindowsCannotTakeWithoutRunningAnything) {
  ASSERT_TRUE(InitChannel());
  std::vector<SGuestFile> entries;
  std::string folder = "C:\\a|b";
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\a\nb"), 0);
  EXPECT_EQ(m_channel.DeleteDirectoryInGuest(m_ctx, folder), 0);
  EXPECT_EQ(m_channel.BrowseGuest(m_ctx, "C:\\name.", entries), 0);
  EXPECT_EQ(m_channel.BrowseGuestFolders(m_ctx, "C:\\a*", entries), 0);
  EXPECT_EQ(m_channel.ChangeGuestFileAttributes(m_ctx, "C:\\a:b", SGuestFile()), 0);
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a", "C:\\a\"b", true), 0);
  EXPECT_TRUE(Commands().empty());
  EXPECT_TRUE(m_log.sink().AnyContains("Refusing guest path [C:\\a|b]"));
  EXPECT_EQ(m_channel.GetLastGuestApiErrorDetails(), "Guest path [C:\\a\"b] holds a character Windows does not allow in names (< > \" | ? *)");
}

// ---- small helpers ----

TEST_F(WinChannel, KnowsVolumeNames) {
  for (const char* volume : {"C:", "c:\\", "D:", "D:\\"}) EXPECT_TRUE(m_channel.IsVolumeName(volume)) << volume;
  for (const char* other : {"C:\\x", "1:", "C", ":", "", "C:/", "CC:"}) EXPECT_FALSE(m_channel.IsVolumeName(other)) << other;
}

TEST_F(WinChannel, AppendsOneTrailingBackslash) {
  std::string path = "C:\\data";
  m_channel.AppendTrailingDelim(path);
  EXPECT_EQ(path, "C:\\data\\");
  m_channel.AppendTrailingDelim(path);
  EXPECT_EQ(path, "C:\\data\\");
  EXPECT_EQ(m_channel.AddPsEscapeChar("C:\\data\\"), "C:\\data");
  EXPECT_EQ(m_channel.AddPsEscapeChar("C:\\data"), "C:\\data");
}

TEST_F(WinChannel, FixedAnswersOfTheUnusedOperations) {
  EXPECT_TRUE(m_channel.IsZqGuestAPI());
  EXPECT_EQ(m_channel.CopyFileFromGuest(m_ctx, "C:\\a", "/tmp/a"), 0);
  zqtest::TempDir staging;
  EXPECT_EQ(m_channel.InitStagingFolder(7, staging.path(), "C:\\Restore"), 1);
  EXPECT_EQ(m_channel.DeInitStagingFolder(staging.path(), "C:\\Restore"), 1);
  EXPECT_EQ(access(staging.path().c_str(), F_OK), 0);
  std::vector<SGuestFile> entries;
  EXPECT_FALSE(m_channel.EnumerateFolder(m_ctx, "C:\\", entries, true));
  EXPECT_TRUE(Commands().empty());
}

// ---- parsers ----

TEST_F(WinChannel, ParsesTheDriveList) {
  std::vector<SGuestFile> entries(1);
  EXPECT_TRUE(m_channel.ParseBrowseResponseWinRoot("C:\r\nD:\r\n", entries));
  ASSERT_EQ(entries.size(), 3u);  // the earlier entry stays
  EXPECT_EQ(entries[1].name, "\\C:");
  EXPECT_EQ(entries[1].type, VMInfoStructs::GuestFileDirectory);
  EXPECT_EQ(entries[2].name, "\\D:");
  std::vector<SGuestFile> none;
  EXPECT_FALSE(m_channel.ParseBrowseResponseWinRoot("", none));
  EXPECT_FALSE(m_channel.ParseBrowseResponseWinRoot("\r\n  \r\n\n", none));
  EXPECT_TRUE(none.empty());
}

TEST_F(WinChannel, ParsesFolderLines) {
  zqtest::ScopedEnv tz("TZ", "UTC");
  tzset();
  std::vector<SGuestFile> entries;
  ASSERT_TRUE(m_channel.ParseBrowseResponseFolder(
      "a.txt,  12,False,1/5/2020 3:04:05 PM\r\n"
      "a,b.txt,12,False,1/5/2020 3:04:05 PM\r\n"  // five fields: skipped
      "Sub,0,True,12/31/2019 11:59:59 PM\r\n"
      "low,3,true,1/5/2020 3:04:05 AM\n"  // only "True" makes a folder
      "de,4,False,25.01.2020 15:04:05\r\n"
      "\r\n",
      entries));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "a.txt");
  EXPECT_EQ(entries[0].size, 12);
  EXPECT_EQ(entries[0].type, VMInfoStructs::GuestFileRegular);
  EXPECT_EQ(entries[0].modifyTime, 1578236645);
  EXPECT_EQ(entries[1].name, "Sub");
  EXPECT_EQ(entries[1].type, VMInfoStructs::GuestFileDirectory);
  EXPECT_EQ(entries[1].modifyTime, 1577836799);
  EXPECT_EQ(entries[2].type, VMInfoStructs::GuestFileRegular);
  EXPECT_EQ(entries[2].modifyTime, 1578193445);
  EXPECT_EQ(entries[3].modifyTime, 0);
  EXPECT_TRUE(m_log.sink().Contains("get_time parse error 25.01.2020 15:04:05\r"));
}

TEST_F(WinChannel, FolderParserAnswers) {
  std::vector<SGuestFile> entries;
  EXPECT_TRUE(m_channel.ParseBrowseResponseFolder("", entries));
  EXPECT_FALSE(m_channel.ParseBrowseResponseFolder("a,b,c\r\n", entries));
  entries.resize(1);
  EXPECT_TRUE(m_channel.ParseBrowseResponseFolder("a,b,c\r\n", entries));
}

struct SeasonRow {
  const char* printed;  // LastWriteTime as the guest prints it, local time of Europe/Berlin
  int64_t utc;
};
void PrintTo(const SeasonRow& row, std::ostream* out) { *out << row.printed; }

class FolderTimesInADaylightSavingZone : public WinChannel, public ::testing::WithParamInterface<SeasonRow> {};

TEST_P(FolderTimesInADaylightSavingZone, ReadTheInstantTheGuestMeant) {
  zqtest::ScopedEnv tz("TZ", "Europe/Berlin");
  tzset();
  std::vector<SGuestFile> entries;
  ASSERT_TRUE(m_channel.ParseBrowseResponseFolder(std::string("f,1,False,") + GetParam().printed + "\r\n", entries));
  EXPECT_EQ(entries[0].modifyTime, GetParam().utc);
}

INSTANTIATE_TEST_SUITE_P(Table, FolderTimesInADaylightSavingZone,
                         ::testing::Values(SeasonRow{"7/1/2020 2:00:00 PM", 1593604800},   // summer, UTC+2
                                           SeasonRow{"1/5/2020 4:04:05 PM", 1578236645},   // winter, UTC+1
                                           SeasonRow{"3/29/2020 3:30:00 AM", 1585445400},  // first hour of summer time
                                           SeasonRow{"10/25/2020 1:59:59 AM", 1603583999}));

// ---- operation flows ----

TEST_F(WinChannel, BrowsingAMissingFolderGivesNothing) {
  ASSERT_TRUE(InitChannel());
  std::vector<SGuestFile> entries(1);
  Answer(0, "PathNotFound\r\n");
  EXPECT_EQ(m_channel.BrowseGuest(m_ctx, "C:\\Nope", entries), 1);
  EXPECT_EQ(entries.size(), 1u);
  EXPECT_EQ(Commands().size(), 1u);
}

TEST_F(WinChannel, BrowsingFailsOnAnEmptyPathTest) {
  ASSERT_TRUE(InitChannel());
  std::vector<SGuestFile> entries;
  Answer(0, "");
  EXPECT_EQ(m_channel.BrowseGuest(m_ctx, "C:\\x", entries), 0);
  EXPECT_TRUE(m_log.sink().Contains("null cmdResp"));
}

TEST_F(WinChannel, BrowsingTheRootWithoutDrivesFails) {
  ASSERT_TRUE(InitChannel());
  std::vector<SGuestFile> entries;
  Answer(0, "");
  EXPECT_EQ(m_channel.BrowseGuest(m_ctx, "", entries), 0);
  Answer(1, "C:\r\n");
  EXPECT_EQ(m_channel.BrowseGuest(m_ctx, "", entries), 0);
  EXPECT_TRUE(entries.empty());
}

TEST_F(WinChannel, VolumesAreCreatedAndDeletedWithoutACommand) {
  ASSERT_TRUE(InitChannel());
  std::string volume = "c:\\";
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:"), 1);
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\"), 1);
  EXPECT_EQ(m_channel.DeleteDirectoryInGuest(m_ctx, volume), 1);
  EXPECT_TRUE(Commands().empty());
}

TEST_F(WinChannel, FolderOperationsReportTheCommandResult) {
  ASSERT_TRUE(InitChannel());
  std::string path = "C:\\x";
  Answer(1, "");
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, path), 0);
  EXPECT_EQ(m_channel.GetLastGuestApiErrorDetails().rfind("Cmd ", 0), 0u);
  Answer(1, "");
  EXPECT_EQ(m_channel.DeleteDirectoryInGuest(m_ctx, path), 0);
}

TEST_F(WinChannel, SetsEveryTimeEvenWhenOneFails) {
  ASSERT_TRUE(InitChannel());
  Answer(0, "");
  Answer(0, "");
  Answer(1, "");
  EXPECT_EQ(m_channel.ChangeGuestFileAttributes(m_ctx, "C:\\a.txt", SGuestFile()), 0);
  EXPECT_EQ(Commands().size(), 3u);
  EXPECT_TRUE(m_log.sink().Contains("Failed to update accessTime C:\\a.txt"));
  EXPECT_FALSE(m_log.sink().AnyContains("Failed to update createTime"));
  EXPECT_FALSE(m_log.sink().AnyContains("Failed to update modifiedTime"));
}

TEST_F(WinChannel, KeepsAnExistingFileWithoutOverwrite) {
  ASSERT_TRUE(InitChannel());
  Answer(0, "PathFound\r\n");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\a.txt", false), 1);
  EXPECT_EQ(Commands().size(), 1u);
  EXPECT_TRUE(m_log.sink().Contains("C:\\a.txt [0]"));
}

TEST_F(WinChannel, OverwriteSkipsTheExistenceTest) {
  ASSERT_TRUE(InitChannel());
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\a.txt", true), 1);
  ASSERT_EQ(Commands().size(), 2u);
  EXPECT_NE(Commands()[0].find("\\$GuestFile="), std::string::npos);
  EXPECT_NE(Commands()[1].find("/zqpscp.exe"), std::string::npos);
}

TEST_F(WinChannel, CopyStopsAtTheFirstFailedStep) {
  ASSERT_TRUE(InitChannel());
  Answer(1, "");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\a.txt", false), 0);
  EXPECT_EQ(Commands().size(), 1u);
  Answer(1, "");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\a.txt", true), 0);
  EXPECT_EQ(Commands().size(), 2u);
  Answer(0, "");
  Answer(1, "");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\a.txt", true), 0);
  EXPECT_EQ(Commands().size(), 4u);
}

TEST_F(WinChannel, AnEmptyExistenceAnswerIsAFailureNotACopy) {
  ASSERT_TRUE(InitChannel());
  Answer(0, "");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\a.txt", false), 0);
  EXPECT_EQ(Commands().size(), 1u);
  EXPECT_TRUE(m_log.sink().AnyContains("null cmdResp for cmd "));
}

}  // namespace
