// The Windows channel's builders, parsers and operation flows, with the command runner replaced
// by a double that records every command line and answers from a script; and the scripts it
// builds as real PowerShell (pwsh) reads and runs them.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>

#include "PowerShellHost.h"
#include "RealPowerShell.h"
#include "guestapi/WinQuote.h"
#include "guestapi/ZQWinGuestAPI.h"
#include "platform/FXFile.h"
#include "platform/ZqProcess.h"
#include "support/Credentials.h"
#include "support/FileHelpers.h"
#include "support/ScriptedRunner.h"
#include "support/TestSupport.h"
#include "tools/WindowsShellSession.h"
#include "toolscontract/ShellQuote.h"
#include "toolscontract/ShellWords.h"
#include "winchannel/WindowsHostileNames.h"

namespace {

using VMInfoStructs::SGuestFile;

const std::string kBase = "/opt/zq";
const std::string kAddress = "10.0.0.5";
const std::string kUser = "alice";
const std::string kPassword = "Pa55word!";
const std::string kPlink = kBase + "/zqplink.exe " + kAddress + " -l " + kUser + " ";

// `body` behind the guest-side walk from `base` through `names` (a PowerShell list) that checks
// that no item on the way is a reparse point, as it stands on the proxy's command line.
std::string Guarded(const std::string& base, const std::string& names, const std::string& body) {
  return "\\$link = ''; \\$p = " + base + "; foreach(\\$n in " + names +
         ") {\\$p = \\$p + '\\' + \\$n; if (!\\$link -and (Test-Path -LiteralPath \\$p) -and ((Get-Item "
         "-LiteralPath \\$p -Force).Attributes -band [IO.FileAttributes]::ReparsePoint)) {\\$link = \\$p}}; if "
         "(\\$link) {Write-Host ReparsePoint \\$link} else {" +
         body + "}";
}

// Paths for every operation of the channel: a destination, a folder and a file.
struct ParserRow {
  std::string name;
  std::string root;  // the destination; "" for none
  std::string folder;
  std::string file;
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
    m_runner->Queue({0, "\r\nOS Name:                   Microsoft Windows Server 2019\r\n"});
    const bool ok = m_channel.Init(zqtest::MakeLogin(user, kPassword, addresses));
    m_runner->Clear();
    return ok;
  }

  void Answer(int status, const std::string& out) { m_runner->Queue({status, out}); }
  // The scripts of every operation on the row's paths, as powershell.exe would run them and as the
  // PowerShell session takes them (-EncodedCommand decoded).
  std::vector<std::string> ScriptsOfEveryOperation(const ParserRow& row) {
    m_runner->Clear();
    m_channel.InitStagingFolder(1, "/stage", row.root);
    std::vector<SGuestFile> entries;
    m_channel.BrowseGuest(m_ctx, "", entries);
    m_channel.CreateGuestFolder(m_ctx, row.folder);
    Answer(0, "PathNotFound\r\n");
    m_channel.CopyFileToGuest(m_ctx, "/stage/f", row.file, false);
    m_channel.CopyFileToGuest(m_ctx, "/stage/f", row.file, true);
    m_channel.SetBackupSuffix("~");
    m_channel.CopyFileToGuest(m_ctx, "/stage/f", row.file, true);
    m_channel.SetBackupSuffix("");
    SGuestFile times;
    times.createTime = -1;
    times.modifyTime = 1593604800;
    m_channel.ChangeGuestFileAttributes(m_ctx, row.file, times);
    Answer(0, "PathFound\r\n");
    m_channel.BrowseGuest(m_ctx, row.folder, entries);
    m_channel.BrowseGuestFolders(m_ctx, row.folder, entries);
    std::string doomed = row.folder;
    m_channel.DeleteDirectoryInGuest(m_ctx, doomed);
    std::vector<std::string> scripts;
    for (const std::string& command : Commands()) {
      ShellWords::CommandLine line;
      EXPECT_TRUE(ShellWords::Split(command, line)) << command;
      if (line.words.size() < 5 || !boost::algorithm::ends_with(line.words[0], "/zqplink.exe")) continue;
      std::string script;
      EXPECT_TRUE(WindowsShellSession::PowerShellScriptOf({line.words.begin() + 4, line.words.end()}, script))
          << command;
      scripts.push_back(script);
    }
    return scripts;
  }

  std::vector<std::string> Commands() const { return m_runner->Commands(); }

  zqtest::ScopedSettings m_settings;
  zqtest::ScopedLogCapture m_log;
  std::shared_ptr<zqtest::ScriptedRunner> m_runner = std::make_shared<zqtest::ScriptedRunner>();
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
  ASSERT_TRUE(m_channel.Init(zqtest::MakeLogin(GetParam().given, kPassword, kAddress)));
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

// ---- Digests: what the guest answers is outside input ----

struct DigestRow {
  const char* name;
  std::string answer;
  bool accepted;
  std::string reason = "";  // what the last error then says
};
void PrintTo(const DigestRow& row, std::ostream* out) { *out << row.name; }

class WinDigests : public WinChannel, public ::testing::WithParamInterface<DigestRow> {};

const std::string kUpperDigest = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

TEST_P(WinDigests, TakesOnlyOneDigestOrDashPerFile) {
  ASSERT_TRUE(InitChannel());
  m_channel.InitStagingFolder(1, "/stage", "D:\\Restore");
  Answer(0, GetParam().answer);
  std::vector<std::string> digests{"left over"};
  EXPECT_EQ(m_channel.HashGuestFiles(m_ctx, {"D:\\Restore\\a.txt", "D:\\Restore\\sub\\b.txt"}, digests),
            GetParam().accepted ? 1 : 0);
  ASSERT_EQ(Commands().size(), 1u) << "one request for the batch";
  std::string script;
  ShellWords::CommandLine line;
  ASSERT_TRUE(ShellWords::Split(Commands()[0], line));
  ASSERT_TRUE(WindowsShellSession::PowerShellScriptOf({line.words.begin() + 4, line.words.end()}, script));
  EXPECT_NE(script.find("Get-FileHash -LiteralPath 'D:\\Restore\\sub\\b.txt' -Algorithm SHA256"), std::string::npos)
      << script;
  EXPECT_NE(script.find("[IO.FileAttributes]::ReparsePoint"), std::string::npos) << script;
  EXPECT_NE(m_channel.GetLastGuestApiErrorDetails().find(GetParam().reason), std::string::npos)
      << m_channel.GetLastGuestApiErrorDetails();
  if (GetParam().accepted) {
    ASSERT_EQ(digests.size(), 2u);
    EXPECT_EQ(digests[0], boost::algorithm::to_lower_copy(kUpperDigest));
  } else {
    EXPECT_TRUE(digests.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WinDigests,
    ::testing::ValuesIn(std::vector<DigestRow>{
        {"TwoDigests", kUpperDigest + "\r\n" + kUpperDigest + "\r\n", true},
        {"DigestAndDash", kUpperDigest + "\r\n-\r\n", true},
        {"OneLine", kUpperDigest + "\r\n", false},
        {"ThreeLines", kUpperDigest + "\r\n-\r\n-\r\n", false},
        {"TwoDashesAndALineMore", "-\r\n-\r\nx\r\n", false},
        {"ShortDigest", kUpperDigest + "\r\n" + kUpperDigest.substr(1) + "\r\n", false},
        {"NonHexDigit", kUpperDigest + "\r\n" + kUpperDigest.substr(1) + "G\r\n", false},
        {"ReparsePointOnTheWay", kUpperDigest + "\r\nReparsePoint D:\\Restore\\sub\r\n", false,
         "[D:\\Restore\\sub] is a link or junction (reparse point)"},
        {"AtTheBound", kUpperDigest + "\r\n-\r\n" + std::string(2 * 66 - 69, ' '), true},
        {"PastTheBound", kUpperDigest + "\r\n-\r\n" + std::string(2 * 66 - 69 + 1, ' '), false},
    }),
    [](const ::testing::TestParamInfo<DigestRow>& info) { return std::string(info.param.name); });

TEST_F(WinChannel, DigestRequestsAndBackupsStayWithinWhatTheChannelOffers) {
  ASSERT_TRUE(InitChannel());
  std::vector<std::string> digests;
  EXPECT_EQ(m_channel.HashGuestFiles(m_ctx, std::vector<std::string>(17, "D:\\a.txt"), digests), 0);
  EXPECT_EQ(m_channel.HashGuestFiles(m_ctx, {}, digests), 0);
  EXPECT_TRUE(Commands().empty()) << "refused before the guest is asked";
  std::string dashes;
  for (int i = 0; i < 16; ++i) dashes += "-\r\n";
  Answer(0, dashes);
  EXPECT_EQ(m_channel.HashGuestFiles(m_ctx, std::vector<std::string>(16, "D:\\a.txt"), digests), 1) << "at the bound";
  EXPECT_EQ(digests.size(), 16u);
  m_runner->Clear();
  EXPECT_EQ(m_channel.SetBackupSuffix("~"), 1);
  EXPECT_EQ(m_channel.SetBackupSuffix(""), 1);
  for (const std::string& refused : std::vector<std::string>{"a/b", "a\\b", ".bak:x", "*", std::string(33, 's')}) {
    EXPECT_EQ(m_channel.SetBackupSuffix(refused), 0) << refused;
  }
  EXPECT_TRUE(Commands().empty());
}

// With a backup suffix every file of the destination goes through the placing request, also one
// in the destination folder itself; a file outside the destination is refused unasked.
TEST_F(WinChannel, BackupsGoThroughThePlacingRequestOnly) {
  ASSERT_TRUE(InitChannel());
  ASSERT_EQ(m_channel.InitStagingFolder(1, "/stage", "D:\\Restore"), 1);
  ASSERT_EQ(m_channel.SetBackupSuffix(".bak"), 1);
  Answer(0, "");
  Answer(0, "Placed\r\n");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "D:\\Restore\\a.txt", true), 1);
  ASSERT_EQ(Commands().size(), 2u);
  EXPECT_NE(Commands()[1].find("foreach(\\$n in @())"), std::string::npos) << Commands()[1];
  EXPECT_NE(Commands()[1].find("\\$Backup='D:\\Restore\\a.txt.bak'; \\$BackupTemp='D:\\Restore\\.zqpscp-backup-"),
            std::string::npos)
      << Commands()[1];
  // A suffix that cmd would expand sends the request encoded.
  m_runner->Clear();
  ASSERT_EQ(m_channel.SetBackupSuffix("%PATH%"), 1);
  Answer(0, "");
  Answer(0, "Placed\r\n");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "D:\\Restore\\a.txt", true), 1);
  ASSERT_EQ(Commands().size(), 2u);
  EXPECT_NE(Commands()[1].find("-EncodedCommand "), std::string::npos) << Commands()[1];
  m_runner->Clear();
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "E:\\Elsewhere\\a.txt", true), 0);
  EXPECT_TRUE(Commands().empty());
  EXPECT_NE(m_channel.GetLastGuestApiErrorDetails().find("no backup can be kept outside the destination"),
            std::string::npos);
}

TEST_F(WinChannel, ProbeSkipsEmptyAndDeadAddresses) {
  Answer(1, "");
  Answer(0, "OS Name: Microsoft windows 10");  // letter case does not matter
  ASSERT_TRUE(m_channel.Init(zqtest::MakeLogin(kUser, kPassword, "10.0.0.1,,10.0.0.2")));
  ASSERT_EQ(Commands().size(), 2u);
  EXPECT_EQ(Commands()[0], kBase + "/zqplink.exe 10.0.0.1 -l alice cmd /c \"echo . | powershell systeminfo\"");
  EXPECT_EQ(Commands()[1], kBase + "/zqplink.exe 10.0.0.2 -l alice cmd /c \"echo . | powershell systeminfo\"");
  std::string line = "x";
  m_channel.InitZqPlinkCmd(line);
  EXPECT_EQ(line, kBase + "/zqplink.exe 10.0.0.2 -l alice x");
}

TEST_F(WinChannel, FirstAnsweringGuestDecides) {
  Answer(0, "Linux guest 5.10.0 x86_64 GNU/Linux");
  EXPECT_FALSE(m_channel.Init(zqtest::MakeLogin(kUser, kPassword, "10.0.0.1,10.0.0.2")));
  EXPECT_EQ(Commands().size(), 1u);
  EXPECT_TRUE(m_log.sink().AnyContains("resp Linux guest"));
}

TEST_F(WinChannel, FailsWhenNoAddressAnswers) {
  Answer(1, "");
  Answer(1, "");
  EXPECT_FALSE(m_channel.Init(zqtest::MakeLogin(kUser, kPassword, "10.0.0.1,10.0.0.2")));
  EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(WinChannel, FailsWithoutBaseFolder) {
  m_settings.Erase("Base", "dBASEHOME");
  EXPECT_FALSE(m_channel.Init(zqtest::MakeLogin(kUser, "", kAddress)));
  EXPECT_TRUE(Commands().empty());
}

TEST_F(WinChannel, PasswordOnlyInTheEnvironmentWhileACommandRuns) {
  ASSERT_TRUE(InitChannel());
  Answer(0, "C:\r\n");
  std::vector<SGuestFile> entries;
  ASSERT_EQ(m_channel.BrowseGuest(m_ctx, "", entries), 1);
  EXPECT_EQ(m_runner->Passwords(), std::vector<std::string>{kPassword});
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
            kPlink + "cmd /c \"echo . | powershell \\$stime = get-date 1/1/1970; \\$unixtime=60; \\$link = ''; \\$p = "
                     "'C:\\Restore'; foreach(\\$n in 'a.txt') {\\$p = \\$p + '\\' + \\$n; if (!\\$link -and "
                     "(Test-Path -LiteralPath \\$p) -and ((Get-Item -LiteralPath \\$p -Force).Attributes -band "
                     "[IO.FileAttributes]::ReparsePoint)) {\\$link = \\$p}}; if (\\$link) {Write-Host ReparsePoint "
                     "\\$link} else {(Get-Item 'C:\\Restore\\a.txt').CreationTimeUtc=(\\$stime.AddSeconds("
                     "\\$unixTime));}\"");
  EXPECT_EQ(Commands()[n - 2], kPlink + "cmd /c \"echo . | powershell \\$stime = get-date 1/1/1970; \\$unixtime=1593604800; " +
                                   Guarded("'C:\\Restore'", "'a.txt'",
                                           "(Get-Item 'C:\\Restore\\a.txt').LastWriteTimeUtc=(\\$stime.AddSeconds("
                                           "\\$unixTime));") +
                                   "\"");
  EXPECT_EQ(Commands()[n - 1], kPlink + "cmd /c \"echo . | powershell \\$stime = get-date 1/1/1970; \\$unixtime=-5; " +
                                   Guarded("'C:\\Restore'", "'a.txt'",
                                           "(Get-Item 'C:\\Restore\\a.txt').LastAccessTimeUtc=(\\$stime.AddSeconds("
                                           "\\$unixTime));") +
                                   "\"");

  m_runner->Clear();
  Answer(0, "PathNotFound\r\n");
  ASSERT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\Restore\\a.txt", false), 1);
  ASSERT_EQ(Commands().size(), 3u);
  EXPECT_EQ(Commands()[0], kPlink + "cmd /c \"echo . | powershell  if (Test-Path 'C:\\Restore\\a.txt') {Write-Host "
                                    "PathFound} else {Write-Host PathNotFound}\"");
  EXPECT_EQ(Commands()[1],
            kPlink + "cmd /c \"echo . | powershell \\$GuestFile='C:\\Restore\\a.txt'; if (Test-Path -LiteralPath "
                     "\\$GuestFile -PathType Container) {Write-Host FolderInTheWay} elseif (!(Test-Path \\$GuestFile)) "
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
  EXPECT_EQ(Commands()[1], kPlink + "cmd /c \"echo . | powershell if (Test-Path 'C:\\Restore') {Write-Host "
                                    "PathFound} else {Write-Host PathNotFound}\"");
  EXPECT_EQ(Commands()[2],
            kPlink + "cmd /c \"echo . | powershell foreach(\\$_ in get-childitem 'C:\\Restore') {\\$isDir =  "
                     "\\$_.GetType().name -eq 'DirectoryInfo'; \\$len = if (\\$isDir) {0} else "
                     "{\\$_.length};\\$kind = if (\\$_.Attributes -band [IO.FileAttributes]::ReparsePoint) "
                     "{'Link'} else {\\$isDir};Write-Host \\$len,\\$kind,\\$_.LastWriteTimeUtc.ToString('M/d/yyyy "
                     "h:mm:ss tt', [Globalization.CultureInfo]::InvariantCulture),\\$_.name -Separator ','}\"");
  Answer(0, "");
  ASSERT_EQ(m_channel.BrowseGuestFolders(m_ctx, "C:\\Restore\\", entries), 1);
  EXPECT_EQ(Commands().back(),
            kPlink + "cmd /c \"echo . | powershell if (Test-Path 'C:\\Restore\\') {foreach(\\$_ in get-childitem "
                     "'C:\\Restore\\') {\\$isDir =  \\$_.GetType().name -eq 'DirectoryInfo'; \\$len = if (\\$isDir) "
                     "{0} else {\\$_.length};if (\\$isDir) {Write-Host \\$len,\\$isDir,"
                     "\\$_.LastWriteTimeUtc.ToString('M/d/yyyy h:mm:ss tt', [Globalization.CultureInfo]::InvariantCulture),"
                     "\\$_.name -Separator ','}}}\"");
  // A drive alone gains the backslash of its root ("C:" is the drive's current folder); other
  // paths go as given, since a file's path followed by a backslash names no file.
  Answer(0, "PathFound\r\n");
  ASSERT_EQ(m_channel.BrowseGuest(m_ctx, "D:", entries), 1);
  EXPECT_NE(Commands().back().find("get-childitem 'D:\\')"), std::string::npos) << Commands().back();
  ASSERT_EQ(m_channel.BrowseGuestFolders(m_ctx, "D:", entries), 1);
  EXPECT_NE(Commands().back().find("(Test-Path 'D:\\')"), std::string::npos) << Commands().back();
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
            kPlink + "cmd /c \"echo . | powershell if (Test-Path -LiteralPath 'C:\\a[1]') {Write-Host PathFound} "
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

struct FolderLineRow {
  const char* name;
  const char* line;
  bool kept;
  const char* itemName;
  int64_t size;
  VMInfoStructs::GuestFileType type;
  int64_t modifyTime;
};
void PrintTo(const FolderLineRow& row, std::ostream* out) { *out << row.name; }

class FolderLines : public WinChannel, public ::testing::WithParamInterface<FolderLineRow> {};

// The guest prints UTC, so the proxy's own zone plays no part.
TEST_P(FolderLines, ReadAsTheGuestPrintedThem) {
  for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York"}) {
    zqtest::ScopedEnv tz("TZ", zone);
    tzset();
    std::vector<SGuestFile> entries;
    const bool parsed = m_channel.ParseBrowseResponseFolder(GetParam().line, entries);
    ASSERT_EQ(parsed, GetParam().kept) << zone;
    if (!GetParam().kept) continue;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, GetParam().itemName);
    EXPECT_EQ(entries[0].size, GetParam().size);
    EXPECT_EQ(entries[0].type, GetParam().type);
    EXPECT_EQ(entries[0].modifyTime, GetParam().modifyTime) << zone;
    if (GetParam().modifyTime == 0) {
      EXPECT_TRUE(m_log.sink().AnyContains("get_time parse error"));
    }
  }
  tzset();
}

constexpr auto kFile = VMInfoStructs::GuestFileRegular;
constexpr auto kFolder = VMInfoStructs::GuestFileDirectory;
INSTANTIATE_TEST_SUITE_P(
    Table, FolderLines,
    ::testing::Values(FolderLineRow{"File", "  12,False,1/5/2020 3:04:05 PM,a.txt\r\n", true, "a.txt", 12, kFile, 1578236645},
                      FolderLineRow{"Folder", "0,True,12/31/2019 11:59:59 PM,Sub\r\n", true, "Sub", 0, kFolder, 1577836799},
                      FolderLineRow{"SummerTime", "1,False,7/1/2020 12:00:00 PM,s\r\n", true, "s", 1, kFile, 1593604800},
                      FolderLineRow{"NameWithCommas", "7,False,1/5/2020 3:04:05 PM,Report, final, v2.docx\r\n", true,
                                    "Report, final, v2.docx", 7, kFile, 1578236645},
                      FolderLineRow{"NameWithBlanksAtTheEdges", "1,False,1/5/2020 3:04:05 PM, a \r\n", true, " a ", 1,
                                    kFile, 1578236645},
                      FolderLineRow{"OnlyTrueMakesAFolder", "3,true,1/5/2020 3:04:05 AM,low\n", true, "low", 3, kFile,
                                    1578193445},
                      FolderLineRow{"UnreadableDateKeepsTheItem", "4,False,25.01.2020 15:04:05,de\r\n", true, "de", 4,
                                    kFile, 0},
                      FolderLineRow{"NoName", "4,False,1/5/2020 3:04:05 PM,\r\n", false, "", 0, kFile, 0},
                      FolderLineRow{"TooFewFields", "a,b,c\r\n", false, "", 0, kFile, 0}),
    [](const ::testing::TestParamInfo<FolderLineRow>& info) { return info.param.name; });

TEST_F(WinChannel, FolderParserAnswers) {
  std::vector<SGuestFile> entries;
  EXPECT_TRUE(m_channel.ParseBrowseResponseFolder("", entries));
  EXPECT_FALSE(m_channel.ParseBrowseResponseFolder("a,b\r\n", entries));
  entries.resize(1);
  EXPECT_TRUE(m_channel.ParseBrowseResponseFolder("a,b\r\n", entries));
}

// ---- links below the destination ----

enum class Operation { CreateFolder, Copy, Attributes };
struct GuardRow {
  const char* name;
  Operation operation;
  const char* root;  // "" when the channel was not told the destination
  const char* path;
  const char* guarded;  // where the guard's walk starts and what it walks through, "" for no guard
};
void PrintTo(const GuardRow& row, std::ostream* out) { *out << row.name; }

class LinkGuard : public WinChannel, public ::testing::WithParamInterface<GuardRow> {
 protected:
  // Runs the row's operation with every command answered by `answer`; the result of the
  // operation, and the command that carries the guard.
  int RunOperation(const std::string& answer, std::string& guardedCommand) {
    for (int i = 0; i < 3; ++i) Answer(0, answer);
    int result = 0;
    switch (GetParam().operation) {
      case Operation::CreateFolder:
        result = m_channel.CreateGuestFolder(m_ctx, GetParam().path);
        break;
      case Operation::Copy:
        result = m_channel.CopyFileToGuest(m_ctx, "/stage/f", GetParam().path, true);
        break;
      case Operation::Attributes:
        result = m_channel.ChangeGuestFileAttributes(m_ctx, GetParam().path, SGuestFile());
        break;
    }
    // A copy below the destination uploads first; the guard rides on the first PowerShell request.
    m_guardedAt = 0;
    while (m_guardedAt < Commands().size() && Commands()[m_guardedAt].find("/zqpscp.exe") != std::string::npos) {
      ++m_guardedAt;
    }
    guardedCommand = m_guardedAt < Commands().size() ? Commands()[m_guardedAt] : "";
    return result;
  }
  size_t m_guardedAt = 0;
};

TEST_P(LinkGuard, ExaminesTheFoldersBelowTheDestination) {
  ASSERT_TRUE(InitChannel());
  if (*GetParam().root) {
    ASSERT_EQ(m_channel.InitStagingFolder(1, "/stage", GetParam().root), 1);
  }
  std::string command;
  EXPECT_EQ(RunOperation("Placed\r\n", command), 1);  // what a copy's placing request answers
  const std::string list = std::string("\\$p = ") + GetParam().guarded + ")";
  if (*GetParam().guarded) {
    EXPECT_NE(command.find(list), std::string::npos) << command;
  } else {
    EXPECT_EQ(command.find("ReparsePoint"), std::string::npos) << command;
  }
}

class LinkRefusal : public LinkGuard {};

TEST_P(LinkRefusal, RefusesWhenTheGuestReportsALink) {
  ASSERT_TRUE(InitChannel());
  if (*GetParam().root) {
    ASSERT_EQ(m_channel.InitStagingFolder(1, "/stage", GetParam().root), 1);
  }
  std::string command;
  EXPECT_EQ(RunOperation("ReparsePoint D:\\Restore\\docs\r\n", command), 0);
  EXPECT_EQ(Commands().size(), m_guardedAt + 1) << "nothing runs after the refusal";
  EXPECT_NE(m_channel.GetLastGuestApiErrorDetails().find("[D:\\Restore\\docs] is a link or junction"),
            std::string::npos);
  EXPECT_TRUE(m_log.sink().AnyContains("Refusing guest path [" + std::string(GetParam().path) + "]"));
}

const std::vector<GuardRow>& GuardRows() {
  static const std::vector<GuardRow> rows = {
      GuardRow{"TheDestinationItselfMayBeALink", Operation::CreateFolder, "D:\\Restore", "D:\\Restore", ""},
      GuardRow{"NewFoldersAndTheirParents", Operation::CreateFolder, "D:\\Restore", "D:\\Restore\\docs\\a",
               "'D:\\Restore'; foreach(\\$n in 'docs','a'"},
      GuardRow{"RootComparedWithoutLetterCase", Operation::CreateFolder, "D:\\Restore\\", "d:\\restore\\docs",
               "'d:\\restore'; foreach(\\$n in 'docs'"},
      GuardRow{"ADriveAsTheDestination", Operation::CreateFolder, "D:\\", "D:\\docs", "'D:'; foreach(\\$n in 'docs'"},
      GuardRow{"NoDestinationNoGuardForFolders", Operation::CreateFolder, "", "D:\\Restore\\docs", ""},
      GuardRow{"FoldersOutsideTheDestinationHaveNoGuard", Operation::CreateFolder, "D:\\Restore", "D:\\Other\\docs", ""},
      GuardRow{"CopyGuardsTheFoldersNotTheNameItReplaces", Operation::Copy, "D:\\Restore",
               "D:\\Restore\\docs\\a\\f.txt", "'D:\\Restore'; foreach(\\$n in 'docs','a'"},
      GuardRow{"CopyToTheDestination", Operation::Copy, "D:\\Restore", "D:\\Restore\\f.txt", ""},
      GuardRow{"CopyOntoTheDestinationItself", Operation::Copy, "D:\\Restore", "D:\\Restore", ""},
      GuardRow{"AttributesGuardTheItemToo", Operation::Attributes, "D:\\Restore", "D:\\Restore\\docs\\it's.txt",
               "'D:\\Restore'; foreach(\\$n in 'docs','it''s.txt'"},
      GuardRow{"AttributesWithoutDestinationGuardTheItem", Operation::Attributes, "", "D:\\Restore\\f.txt",
               "'D:\\Restore'; foreach(\\$n in 'f.txt'"},
      GuardRow{"AttributesOutsideTheDestinationGuardTheItem", Operation::Attributes, "D:\\Restore",
               "D:\\Other\\f.txt", "'D:\\Other'; foreach(\\$n in 'f.txt'"}};
  return rows;
}

std::vector<GuardRow> RowsWithAGuard() {
  std::vector<GuardRow> guarded;
  for (const GuardRow& row : GuardRows()) {
    if (*row.guarded) guarded.push_back(row);
  }
  return guarded;
}

std::string GuardRowName(const ::testing::TestParamInfo<GuardRow>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Table, LinkGuard, ::testing::ValuesIn(GuardRows()), GuardRowName);
INSTANTIATE_TEST_SUITE_P(Table, LinkRefusal, ::testing::ValuesIn(RowsWithAGuard()), GuardRowName);

TEST_F(WinChannel, AFolderAtTheFilesNameRefusesTheCopy) {
  ASSERT_TRUE(InitChannel());
  Answer(0, "FolderInTheWay\r\n");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\a.txt", true), 0);
  EXPECT_EQ(Commands().size(), 1u);
  EXPECT_EQ(m_channel.GetLastGuestApiErrorDetails(),
            "Guest path [C:\\a.txt]: a folder stands where the file is to be restored");
}

TEST_F(WinChannel, AFolderNamedLikeTheMarkerIsNoRefusal) {
  ASSERT_TRUE(InitChannel());
  Answer(0, "\r\n\r\n    Directory: C:\\x\r\n\r\nd-----  1/5/2020 3:04 PM  ReparsePoint x\r\n");
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\x\\ReparsePoint x"), 1);
}

TEST_F(WinChannel, WritesRefuseDotNames) {
  ASSERT_TRUE(InitChannel());
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, "D:\\Restore\\..\\Windows"), 0);
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a", "D:\\Restore\\.\\a", true), 0);
  EXPECT_EQ(m_channel.ChangeGuestFileAttributes(m_ctx, "D:\\Restore\\..\\a", SGuestFile()), 0);
  EXPECT_TRUE(Commands().empty());
}

TEST_F(WinChannel, CopyTargetsBracketAnIPv6Address) {
  ASSERT_TRUE(InitChannel(kUser, "fe80::1"));
  ASSERT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "D:\\a.txt", true), 1);
  EXPECT_EQ(Commands().back(), kBase + "/zqpscp.exe -l alice '/stage/a.txt' '[fe80::1]':'D:\\a.txt'");
}

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

TEST_F(WinChannel, AnExistingTargetWithoutOverwriteIsKeptNotCopied) {
  ASSERT_TRUE(InitChannel());
  Answer(0, "PathFound\r\n");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\a.txt", false), 0);
  EXPECT_EQ(Commands().size(), 1u);
  EXPECT_TRUE(m_log.sink().Contains("C:\\a.txt [0]"));
  EXPECT_EQ(m_channel.GetLastGuestApiErrorDetails(), "Guest path [C:\\a.txt] exists; kept without overwrite");
}

TEST_F(WinChannel, AnAnswerThatIsNeitherFoundNorNotFoundIsAFailure) {
  ASSERT_TRUE(InitChannel());
  std::vector<SGuestFile> entries;
  Answer(0, "Welcome to the guest\r\n");
  EXPECT_EQ(m_channel.BrowseGuest(m_ctx, "C:\\x", entries), 0);
  Answer(0, "Welcome to the guest\r\n");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "C:\\a.txt", false), 0);
  EXPECT_EQ(Commands().size(), 2u);
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

// ---- a copy below the destination: upload, then one request that places the file ----

struct PlaceRow {
  const char* name;
  const char* answer;  // of the placing request
  int result;
  const char* reason;  // in the entry's error details; "" for none
  const char* suffix = "";  // the backup suffix; "" for no backup
};
void PrintTo(const PlaceRow& row, std::ostream* out) { *out << row.name; }

class PlaceAnswer : public WinChannel, public ::testing::WithParamInterface<PlaceRow> {};

TEST_P(PlaceAnswer, OnlyAPlacedFileIsRestored) {
  ASSERT_TRUE(InitChannel());
  ASSERT_EQ(m_channel.InitStagingFolder(1, "/stage", "D:\\Restore"), 1);
  ASSERT_EQ(m_channel.SetBackupSuffix(GetParam().suffix), 1);
  Answer(0, "");
  Answer(0, GetParam().answer);
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, "/stage/a.txt", "D:\\Restore\\docs\\a.txt", true), GetParam().result);
  ASSERT_EQ(Commands().size(), 2u) << "one upload and one PowerShell request";
  EXPECT_NE(Commands()[0].find("/zqpscp.exe"), std::string::npos);
  EXPECT_NE(Commands()[0].find(":'D:\\Restore\\.zqpscp-staged-"), std::string::npos) << Commands()[0];
  for (const char* step : {"ReparsePoint \\$link", "Move-Item -LiteralPath \\$Staged", "LinkAppeared \\$link",
                           "Remove-Item -LiteralPath \\$Staged"}) {
    EXPECT_NE(Commands()[1].find(step), std::string::npos) << step;
  }
  // The backup step: copied before the rename into place, its temporary removed whatever happens.
  const bool backup = *GetParam().suffix != '\0';
  for (const char* step : {"Copy-Item -LiteralPath \\$GuestFile -Destination \\$BackupTemp",
                           "Move-Item -LiteralPath \\$BackupTemp -Destination \\$Backup",
                           "Remove-Item -LiteralPath \\$BackupTemp"}) {
    EXPECT_EQ(Commands()[1].find(step) != std::string::npos, backup) << step;
  }
  if (backup) {
    EXPECT_LT(Commands()[1].find("Copy-Item"), Commands()[1].find("Move-Item -LiteralPath \\$Staged"));
  }
  if (*GetParam().reason) {
    EXPECT_NE(m_channel.GetLastGuestApiErrorDetails().find(GetParam().reason), std::string::npos)
        << m_channel.GetLastGuestApiErrorDetails();
    EXPECT_TRUE(m_log.sink().AnyContains("path [D:\\Restore\\docs\\a.txt]"));  // one line where detected
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlaceAnswer,
    ::testing::Values(
        PlaceRow{"Placed", "New folder\r\nPlaced\r\n", 1, ""},
        PlaceRow{"LinkBeforeTheRename", "ReparsePoint D:\\Restore\\docs\r\n", 0, "[D:\\Restore\\docs] is a link or junction"},
        PlaceRow{"LinkAfterTheRename", "LinkAppeared D:\\Restore\\docs\r\n", 0,
                 "a link appeared in the destination path while the file was written: [D:\\Restore\\docs]"},
        PlaceRow{"AnotherFileAtTheName", "NotTheFileWritten\r\n", 0, "does not hold the file just written"},
        PlaceRow{"UploadReplaced", "UploadReplaced\r\n", 0, "was replaced before it was renamed into place"},
        PlaceRow{"RenameFailed", "NotRenamed\r\n", 0, "could not be renamed over the guest's file"},
        PlaceRow{"FolderInTheWay", "FolderInTheWay\r\n", 0, "a folder stands where the file is to be restored"},
        PlaceRow{"NoAnswer", "", 0, "unexpected answer to the request that places the file"},
        PlaceRow{"PlacedOnlyAsPartOfALine", "NotPlaced\r\n", 0, "unexpected answer"},
        PlaceRow{"PlacedWithABackup", "Placed\r\n", 1, "", "~"},
        PlaceRow{"LinkOrFolderAtTheBackupName", "BackupNameTaken\r\n", 0,
                 "a folder or a link stands at the backup name [D:\\Restore\\docs\\a.txt~]", "~"},
        PlaceRow{"BackupNotCopied", "BackupNotCopied\r\n", 0, "the backup copy of the guest's file could not be made",
                 "~"},
        PlaceRow{"BackupNotRenamed", "BackupNotRenamed\r\n", 0,
                 "the backup copy could not be renamed to [D:\\Restore\\docs\\a.txt.old]", ".old"},
        PlaceRow{"BackupMarkerOnlyAsPartOfALine", "BackupNameTakenX\r\n", 0, "unexpected answer", "~"}),
    [](const ::testing::TestParamInfo<PlaceRow>& info) { return info.param.name; });

// ---- every script as pwsh's own parser reads it ----

// Each operation's scripts, filled with a row's paths, go through pwsh's parser and are compared
// with the same operations' scripts filled with placeholders: the trees must match node for node,
// every place a name goes must be a single-quoted constant, and its value must be the name itself.
// So no name adds a command, a variable, an expansion or a subexpression, or changes a path.
// One pwsh serves the whole table.
winguest::RealPowerShell* Pwsh() {
  static zqtest::TempDir home;
  static winguest::RealPowerShell pwsh;
  static std::string error;
  if (!pwsh.Running() && error.empty() && !pwsh.Start(home.path(), error)) return nullptr;
  return pwsh.Running() ? &pwsh : nullptr;
}

#define ZQ_NEED_PWSH()                                                             \
  do {                                                                             \
    const std::string why = winguest::PwshMissingReason();                         \
    if (!why.empty() && winguest::PwshRequired()) FAIL() << why;                   \
    if (!why.empty()) GTEST_SKIP() << why;                                         \
    ASSERT_NE(Pwsh(), nullptr) << "pwsh did not start its session loop";           \
  } while (false)

void PrintTo(const ParserRow& row, std::ostream* out) { *out << row.name; }

// The names of a path replaced by placeholders Q{i} (Q{i}[] where the name makes the path need
// -LiteralPath), so that the channel takes the same steps; a drive, "." and "..", and names the
// channel refuses stay as they are.
class Placeholders {
 public:
  std::string Mask(const std::string& path) {
    std::string masked;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
      if (i < path.size() && path[i] != '\\' && path[i] != '/') continue;
      const std::string name = path.substr(start, i - start);
      const bool drive = start == 0 && name.size() == 2 && name[1] == ':';
      const bool kept =
          name.empty() || name == "." || name == ".." || drive || !WinQuote::WindowsPathProblem("C:\\" + name).empty();
      masked += kept ? name : Of(name);
      if (i < path.size()) masked += path[i];
      start = i + 1;
    }
    return masked;
  }
  std::string Unmask(const std::string& text) const {
    std::string out;
    size_t at = 0;
    for (size_t found; (found = text.find("Q{", at)) != std::string::npos;) {
      const size_t index = std::strtoul(text.c_str() + found + 2, nullptr, 10);
      const bool known = index < m_names.size() && text.compare(found, m_names[index].first.size(), m_names[index].first) == 0;
      out += text.substr(at, found - at) + (known ? m_names[index].second : "Q{");
      at = found + (known ? m_names[index].first.size() : 2);
    }
    return out + text.substr(at);
  }

 private:
  std::string Of(const std::string& name) {
    for (const auto& [placeholder, known] : m_names) {
      if (known == name) return placeholder;
    }
    const std::string placeholder =
        "Q{" + std::to_string(m_names.size()) + "}" + (WinQuote::NeedsLiteralPath(name) ? "[]" : "");
    m_names.emplace_back(placeholder, name);
    return placeholder;
  }
  std::vector<std::pair<std::string, std::string>> m_names;
};

class PwshParser : public WinChannel, public ::testing::WithParamInterface<ParserRow> {};

std::vector<std::vector<std::string>> ShapesOf(const std::vector<std::string>& scripts) {
  std::vector<std::vector<std::string>> shapes;
  EXPECT_TRUE(Pwsh()->Shapes(scripts, shapes));
  shapes.resize(scripts.size());
  return shapes;
}

TEST_P(PwshParser, EveryNameIsOneConstantStringOfItsOwn) {
  ZQ_NEED_PWSH();
  ASSERT_TRUE(InitChannel());
  const ParserRow row = GetParam();
  Placeholders placeholders;
  const ParserRow masked{row.name, placeholders.Mask(row.root), placeholders.Mask(row.folder), placeholders.Mask(row.file)};
  const std::vector<std::string> scripts = ScriptsOfEveryOperation(row);
  const std::vector<std::string> maskedScripts = ScriptsOfEveryOperation(masked);
  ASSERT_EQ(scripts.size(), maskedScripts.size());
  ASSERT_FALSE(scripts.empty());
  std::vector<std::string> both = scripts;
  both.insert(both.end(), maskedScripts.begin(), maskedScripts.end());
  const std::vector<std::vector<std::string>> shapes = ShapesOf(both);
  for (size_t i = 0; i < scripts.size(); ++i) {
    const std::vector<std::string>& actual = shapes[i];
    const std::vector<std::string>& expected = shapes[scripts.size() + i];
    ASSERT_FALSE(actual.empty());
    EXPECT_EQ(actual[0], "errors 0") << (actual.size() > 1 ? actual[1] : "") << "\n" << scripts[i];
    ASSERT_EQ(actual.size(), expected.size()) << scripts[i] << "\n" << maskedScripts[i];
    for (size_t k = 0; k < actual.size(); ++k) {
      const std::string& node = expected[k];
      const bool string = boost::algorithm::starts_with(node, "StringConstantExpressionAst ");
      if (node.find("Q{") != std::string::npos) {
        EXPECT_TRUE(boost::algorithm::starts_with(node, "StringConstantExpressionAst SingleQuoted ")) << node;
      }
      // A staged upload's name (and a backup's temporary name) numbers each upload; the numbers
      // differ between the two runs.
      static const std::regex staged("\\.zqpscp-(staged|backup)-[0-9]+-[0-9]+");
      EXPECT_EQ(std::regex_replace(actual[k], staged, ".zqpscp-staged-N"),
                std::regex_replace(string ? placeholders.Unmask(node) : node, staged, ".zqpscp-staged-N"))
          << scripts[i];
      EXPECT_FALSE(boost::algorithm::starts_with(actual[k], "ExpandableString") ||
                   boost::algorithm::starts_with(actual[k], "SubExpression"))
          << actual[k];
    }
  }
}

std::vector<ParserRow> ParserRows() {
  std::vector<std::string> names = zqtest::WindowsHostileNames();
  // The Windows fuzz targets' seeds: each line and each of its comma-separated fields.
  for (const char* corpus : {"win_listing", "win_drives"}) {
    for (const auto& seed : std::filesystem::directory_iterator(std::string(ZQ_FUZZ_CORPUS) + "/" + corpus)) {
      for (std::string line : FXString::Split(zqtest::ReadFile(seed.path().string()), "\n", FXString::KeepEmpty)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        names.push_back(line);
        for (const std::string& field : FXString::Split(line, ",", FXString::KeepEmpty)) names.push_back(field);
      }
    }
  }
  std::vector<ParserRow> rows;
  for (const std::string& name : names) {
    if (name.empty()) continue;
    const std::string folder = "C:\\Hostile\\" + name;
    rows.push_back({"Name" + std::to_string(rows.size()), "C:\\Hostile", folder, folder + "\\" + name + ".txt"});
  }
  std::string longPath = "C:\\Restore";
  while (longPath.size() < 32 * 1024) longPath += "\\" + std::string(200, 'L') + std::to_string(longPath.size());
  rows.insert(rows.end(), {{"DriveRoot", "C:\\", "C:\\", "C:\\a.txt"},
                           {"BareDrive", "D:", "D:", "D:\\x y"},
                           {"NoDestination", "", "E:\\data", "E:\\data\\f"},
                           {"Unc", "\\\\server\\share", "\\\\server\\share\\dir", "\\\\server\\share\\dir\\f.txt"},
                           {"UncForwardSlashes", "//server/share", "//server/share/d'ir", "//server/share/d'ir/f"},
                           {"DevicePath", "\\\\.\\C:\\Restore", "\\\\.\\C:\\Restore\\d", "\\\\.\\C:\\Restore\\d\\f"},
                           {"LongPath", "C:\\Restore", longPath, longPath + "\\f.txt"}});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Table, PwshParser, ::testing::ValuesIn(ParserRows()),
                         [](const ::testing::TestParamInfo<ParserRow>& info) { return info.param.name; });

// ---- the two engines of the stand-in on the same scripts ----

// The channel's scripts for a row's paths, run in order over the same guest tree once by the
// stand-in's own interpreter and once by pwsh: what the channel reads of their output (its
// markers and listing lines) and what they leave in the drive folders must agree. Known
// differences of pwsh on Linux (docs/windows-guests.md) are kept out of the trees.
struct DifferentialRow {
  const char* name;
  void (*plant)(const std::string& drives);  // the guest's tree: C/ and D/ below `drives`
  ParserRow paths;
  // Scripts holding this text may fail in one engine only: a difference docs/windows-guests.md lists.
  const char* knownDifference = nullptr;
};
void PrintTo(const DifferentialRow& row, std::ostream* out) { *out << row.name; }

class EngineDifference : public WinChannel, public ::testing::WithParamInterface<DifferentialRow> {
 protected:
  struct Run {
    std::vector<std::string> answers;  // per script: the lines the channel reads, sorted, and whether it failed
    std::map<std::string, std::string> tree;
  };

  static Run RunIn(const char* engine, const DifferentialRow& row, const std::vector<std::string>& scripts) {
    const time_t started = std::time(nullptr);
    zqtest::TempDir dir;
    const std::string drives = dir.Join("root");
    std::filesystem::create_directories(drives + "/C/Users/alice");
    std::filesystem::create_directories(drives + "/D");
    row.plant(drives);
    winguest::StandInConfig config;
    config.root = drives;
    config.user = "alice";
    config.engine = engine;
    winguest::WindowsPath profile;
    profile.components = {"Users", "alice"};
    winguest::GuestFileSystem files(drives, profile, dir.Join("state.json"));
    winguest::Journal journal;
    winguest::PowerShellHost host(files, config, winguest::GuestEnvironment("alice"), journal);
    host.Start();
    Run run;
    static const std::regex kRead(R"(PathFound|PathNotFound|FolderInTheWay|ReparsePoint .*|\d+,(True|False),.*|[A-Z]:)");
    for (const std::string& script : scripts) {
      const winguest::CommandResult result = host.RunScript(script);
      std::vector<std::string> lines;
      for (std::string line : FXString::Split(result.out, "\n", FXString::SkipEmpty)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (std::regex_match(line, kRead)) lines.push_back(line);
      }
      std::sort(lines.begin(), lines.end());
      run.answers.push_back(boost::algorithm::join(lines, "|") + (result.status == 0 ? "" : " (failed)"));
    }
    for (auto it = std::filesystem::recursive_directory_iterator(drives); it != std::filesystem::recursive_directory_iterator();
         ++it) {
      const std::string relative = std::filesystem::relative(it->path(), drives).string();
      if (relative.rfind(".pwsh-home", 0) == 0) continue;
      struct stat info {};
      lstat(it->path().c_str(), &info);
      // Times the run itself gave (a folder that gained an item) differ by when each engine ran.
      const bool now = info.st_mtime >= started - 60;
      std::string state = std::to_string(info.st_mode) + " mtime " + (now ? "now" : std::to_string(info.st_mtime));
      if (S_ISREG(info.st_mode)) state += " atime " + std::to_string(info.st_atime) + " " + zqtest::ReadFile(it->path());
      run.tree[relative] = state;
    }
    return run;
  }
};

TEST_P(EngineDifference, BothEnginesAnswerAndActAlike) {
  ZQ_NEED_PWSH();
  ASSERT_TRUE(InitChannel());
  const std::vector<std::string> scripts = ScriptsOfEveryOperation(GetParam().paths);
  const Run own = RunIn("standin", GetParam(), scripts);
  const Run real = RunIn("pwsh", GetParam(), scripts);
  ASSERT_EQ(own.answers.size(), real.answers.size());
  const char* known = GetParam().knownDifference;
  for (size_t i = 0; i < scripts.size(); ++i) {
    if (known && scripts[i].find(known) != std::string::npos) continue;
    EXPECT_EQ(own.answers[i], real.answers[i]) << scripts[i];
  }
  EXPECT_EQ(own.tree, real.tree);
}

void PlantRestore(const std::string& drives) {
  std::filesystem::create_directories(drives + "/D/Restore/Sub");
  zqtest::WriteFile(drives + "/D/Restore/a.txt", "a");
  zqtest::WriteFile(drives + "/D/Restore/Sub/b.txt", "bb");
  zqtest::WriteFile(drives + "/D/Restore/Report, final.docx", "r");
  for (const char* path : {"/D/Restore/a.txt", "/D/Restore/Sub/b.txt", "/D/Restore/Report, final.docx", "/D/Restore/Sub"}) {
    zqtest::SetTimes(drives + path, 1578236645);
  }
}
void PlantOddNames(const std::string& drives) {
  PlantRestore(drives);
  std::filesystem::create_directories(drives + "/D/Restore/[x] it's `q`");
  zqtest::WriteFile(drives + "/D/Restore/[x] it's `q`/a[1].txt", "w");
  zqtest::SetTimes(drives + "/D/Restore/[x] it's `q`/a[1].txt", 1578236645);
  zqtest::SetTimes(drives + "/D/Restore/[x] it's `q`", 1578236645);
}
void PlantJunction(const std::string& drives) {
  PlantRestore(drives);
  std::filesystem::create_directories(drives + "/D/Secret");
  zqtest::WriteFile(drives + "/D/Secret/s.txt", "secret");
  zqtest::SetTimes(drives + "/D/Secret/s.txt", 936000000);
  zqtest::SetTimes(drives + "/D/Secret", 936000000);
  std::filesystem::create_directory_symlink(drives + "/D/Secret", drives + "/D/Restore/Sub/link");
}

INSTANTIATE_TEST_SUITE_P(
    Trees, EngineDifference,
    ::testing::Values(
        DifferentialRow{"ExistingFolder", PlantRestore, {"", "D:\\Restore", "D:\\Restore\\Sub", "D:\\Restore\\a.txt"}},
        DifferentialRow{"NewFolder", PlantRestore, {"", "D:\\Restore", "D:\\Restore\\New\\Deeper", "D:\\Restore\\Sub\\b.txt"}},
        DifferentialRow{"AFileBrowsedAndTakenForAFolder", PlantRestore,
                        {"", "D:\\Restore", "D:\\Restore\\a.txt", "D:\\Restore\\a.txt"},
                        "New-Item -ItemType directory"},
        DifferentialRow{"ADrive", PlantRestore, {"", "D:\\", "D:", "D:\\Restore\\Report, final.docx"}},
        DifferentialRow{"WildcardsAndQuotes", PlantOddNames,
                        {"", "D:\\Restore", "D:\\Restore\\[x] it's `q`", "D:\\Restore\\[x] it's `q`\\a[1].txt"}},
        DifferentialRow{"JunctionBelowTheDestination", PlantJunction,
                        {"", "D:\\Restore", "D:\\Restore\\Sub\\link\\inner", "D:\\Restore\\Sub\\link\\s.txt"}},
        DifferentialRow{"FolderAtTheFilesName", PlantRestore, {"", "D:\\Restore", "D:\\Restore\\x", "D:\\Restore\\Sub"}}),
    [](const ::testing::TestParamInfo<DifferentialRow>& info) { return info.param.name; });

TEST_F(WinChannel, PwshParsesTheSessionLoopAndTheProbe) {
  ZQ_NEED_PWSH();
  for (const std::vector<std::string>& shape : ShapesOf({WindowsShellSession::GuestLoop(), "systeminfo"})) {
    ASSERT_FALSE(shape.empty());
    EXPECT_EQ(shape[0], "errors 0") << (shape.size() > 1 ? shape[1] : "");
  }
}

}  // namespace
