// The guest's powershell.exe: its command line, its language and its cmdlets, as documented
// for Windows PowerShell 5.1.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "PowerShellHost.h"
#include "support/TestSupport.h"

namespace winguest {
namespace {

namespace fs = std::filesystem;

class GuestPowerShell : public ::testing::Test {
 protected:
  void SetUp() override {
    tzset();
    fs::create_directories(m_dir.Join("root/C/Users/alice"));
    fs::create_directories(m_dir.Join("root/C/Data/Sub"));
    fs::create_directories(m_dir.Join("root/D"));
    zqtest::WriteFile(m_dir.Join("root/C/Data/a.txt"), "12345");
    zqtest::SetFileModifyTime(m_dir.Join("root/C/Data/a.txt"), 1578236645);  // 2020-01-05 15:04:05 UTC
    zqtest::SetFileModifyTime(m_dir.Join("root/C/Data/Sub"), 1578236645);
    m_config.root = m_dir.Join("root");
    m_config.stateFile = m_dir.Join("state.json");
  }

  // powershell.exe with these arguments (after cmd has read them).
  CommandResult Run(const std::string& arguments) {
    WindowsPath profile;
    profile.components = {"Users", "alice"};
    GuestFileSystem files(m_config.root, profile, m_config.stateFile);
    PowerShellHost host(files, m_config, GuestEnvironment("alice"), m_journal);
    return host.Run(arguments, ". \r\n");
  }

  bool Exists(const std::string& relative) { return fs::exists(m_dir.Join("root/" + relative)); }

  zqtest::ScopedEnv m_tz{"TZ", "UTC"};
  zqtest::TempDir m_dir;
  StandInConfig m_config;
  Journal m_journal;
};

struct SplitCase {
  const char* line;
  std::vector<std::string> words;
};
void PrintTo(const SplitCase& c, std::ostream* out) { *out << c.line; }

class WindowsCommandLine : public ::testing::TestWithParam<SplitCase> {};

TEST_P(WindowsCommandLine, SplitsAsWindowsProgramsDo) {
  EXPECT_EQ(SplitWindowsCommandLine(GetParam().line), GetParam().words) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsCommandLine,
                         ::testing::Values(SplitCase{"a  b", {"a", "b"}}, SplitCase{"\"a  b\" c", {"a  b", "c"}},
                                           SplitCase{"'a  b'", {"'a", "b'"}}, SplitCase{"a\\\"b", {"a\"b"}},
                                           SplitCase{"a\\\\\"b c\"", {"a\\b c"}}, SplitCase{"C:\\x\\ y", {"C:\\x\\", "y"}},
                                           SplitCase{"\"\"", {""}}));

TEST_F(GuestPowerShell, JoinsCommandWordsWithSingleBlanks) {
  // The words of -Command are joined again with one blank: runs of blanks are lost, even
  // inside a single-quoted string.
  EXPECT_EQ(Run("Write-Host 'a  b'").out, "a b\r\n");
}

TEST_F(GuestPowerShell, RunsAnEncodedCommandUnchanged) {
  EXPECT_EQ(Run("-EncodedCommand VwByAGkAdABlAC0ASABvAHMAdAAgACcAYQAgACAAYgAnAA==").out, "a  b\r\n");
  EXPECT_EQ(Run("-enc VwByAGkAdABlAC0ASABvAHMAdAAgACcAeAAlAFAAQQBUAEgAJQB5ACcA").out, "x%PATH%y\r\n");
  EXPECT_EQ(Run("-EncodedCommand VwByAGkAdABlAC0ASABvAHMAdAAgACcAYwBhAGYA6QAgABkgGSAnAA==").out,
            "caf\xC3\xA9 \xE2\x80\x99\r\n");
}

TEST_F(GuestPowerShell, RefusesAnEncodedCommandThatIsNotBase64) {
  const CommandResult result = Run("-EncodedCommand V$w==");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("not properly encoded"), std::string::npos);
}

struct ScriptCase {
  const char* name;
  const char* script;
  const char* out;
  int status;
};
void PrintTo(const ScriptCase& c, std::ostream* out) { *out << c.name; }

class PowerShellLanguage : public GuestPowerShell, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(PowerShellLanguage, PrintsWhatPowerShellPrints) {
  const CommandResult result = Run(GetParam().script);
  EXPECT_EQ(result.out, GetParam().out) << result.err;
  EXPECT_EQ(result.status, GetParam().status) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PowerShellLanguage,
    ::testing::Values(
        ScriptCase{"DoubledQuoteIsOne", "Write-Host 'it''s'", "it's\r\n", 0},
        ScriptCase{"TypographicQuotesCloseToo", "Write-Host 'a\xE2\x80\x99\xE2\x80\x99" "b'", "a\xE2\x80\x99" "b\r\n", 0},
        ScriptCase{"LowQuoteDoubled", "Write-Host 'a\xE2\x80\x9A\xE2\x80\x9A'", "a\xE2\x80\x9A\r\n", 0},
        ScriptCase{"SingleQuotesKeepDollarAndBackquote", "Write-Host '$x `n %P%'", "$x `n %P%\r\n", 0},
        // powershell.exe's command line drops plain double quotes; \" keeps one.
        ScriptCase{"DoubleQuotesExpand", "$v = 'w'; Write-Host \\\"a$v`tb\\\"", "aw\tb\r\n", 0},
        ScriptCase{"VariableNamesIgnoreCase", "$unixtime=60; Write-Host $unixTime", "60\r\n", 0},
        ScriptCase{"IfElse", "if (Test-Path 'C:\\Data') {Write-Host PathFound} else {Write-Host PathNotFound}",
                   "PathFound\r\n", 0},
        ScriptCase{"IfElseMissing", "if (Test-Path 'C:\\Nope') {Write-Host PathFound} else {Write-Host PathNotFound}",
                   "PathNotFound\r\n", 0},
        ScriptCase{"IfAsValue", "$len = if ($false) {0} else {7}; Write-Host $len", "7\r\n", 0},
        ScriptCase{"CommaListWithSeparator", "Write-Host a,2,$true -Separator ','", "a,2,True\r\n", 0},
        ScriptCase{"EqIgnoresCase", "Write-Host ('Fixed' -eq 'FIXED')", "True\r\n", 0},
        ScriptCase{"CharPlusString", "foreach($_ in get-volume) {Write-Host ($_.DriveLetter + ':')}", "C:\r\nD:\r\n", 0},
        ScriptCase{"ListsChildrenByName",
                   "foreach($_ in get-childitem 'C:\\Data\\') {$isDir =  $_.GetType().name -eq 'DirectoryInfo'; $len = if "
                   "($isDir) {0} else {$_.length};Write-Host $_.name,$len,$isDir,$_.LastWriteTime -Separator ','}",
                   "a.txt,5,False,1/5/2020 3:04:05 PM\r\nSub,0,True,1/5/2020 3:04:05 PM\r\n", 0},
        ScriptCase{"SplitPathParent", "Write-Host (Split-Path -Path 'C:\\a\\b.txt' -Parent)", "C:\\a\r\n", 0},
        ScriptCase{"SplitPathOfTopFolder", "Write-Host (Split-Path -Path 'C:\\a' -Parent)", "C:\\\r\n", 0},
        ScriptCase{"UnterminatedStringRunsNothing", "Write-Host one; Write-Host 'two", "", 1},
        ScriptCase{"UnknownCommand", "Get-Nothing", "", 1},
        ScriptCase{"LastStatementDecidesStatus", "Get-Item 'C:\\Nope'; Write-Host ok", "ok\r\n", 0},
        ScriptCase{"MethodOnNull", "$x.ToString()", "", 1},
        ScriptCase{"AmbiguousParameter", "Get-ChildItem -F", "", 1}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

TEST_F(GuestPowerShell, PrintsDatesInTheGuestCulture) {
  m_config.culture = "de-DE";
  const std::string script = "foreach($_ in get-childitem 'C:\\Data\\a.txt') {Write-Host $_.LastWriteTime}";
  EXPECT_EQ(Run(script).out, "05.01.2020 15:04:05\r\n");
  const std::string invariant =
      "foreach($_ in get-childitem 'C:\\Data\\a.txt') {Write-Host "
      "$_.LastWriteTime.ToString('M/d/yyyy h:mm:ss tt', [Globalization.CultureInfo]::InvariantCulture)}";
  EXPECT_EQ(Run(invariant).out, "1/5/2020 3:04:05 PM\r\n");
}

TEST_F(GuestPowerShell, PathWildcardsAndLiteralPaths) {
  fs::create_directories(m_dir.Join("root/C/a[1]"));
  // -Path reads [1] as a set that matches "1"; -LiteralPath takes the name as it is.
  EXPECT_EQ(Run("Write-Host (Test-Path 'C:\\a[1]')").out, "False\r\n");
  EXPECT_EQ(Run("Write-Host (Test-Path -LiteralPath 'C:\\a[1]')").out, "True\r\n");
  fs::create_directories(m_dir.Join("root/C/a1"));
  EXPECT_EQ(Run("Remove-Item -Path 'C:\\a[1]' -Force").status, 0);
  EXPECT_FALSE(Exists("C/a1"));
  EXPECT_TRUE(Exists("C/a[1]"));
}

TEST_F(GuestPowerShell, CreatesFoldersWithTheirParents) {
  EXPECT_EQ(Run("New-Item -ItemType directory -Path 'C:\\New\\Deep' -Force").status, 0);
  EXPECT_TRUE(fs::is_directory(m_dir.Join("root/C/New/Deep")));
  EXPECT_EQ(Run("New-Item -ItemType directory -Path 'C:\\New\\Deep' -Force").status, 0);
  EXPECT_EQ(Run("New-Item -ItemType directory -Path 'C:\\New\\Deep'").status, 1);
  EXPECT_EQ(Run("New-Item -ItemType directory -Path 'Q:\\x' -Force").status, 1);
}

TEST_F(GuestPowerShell, RemovesOnlyEmptyFoldersWithoutRecurse) {
  EXPECT_EQ(Run("Remove-Item -Path 'C:\\Data' -Force").status, 1);
  EXPECT_TRUE(Exists("C/Data/a.txt"));
  EXPECT_EQ(Run("Remove-Item -Path 'C:\\Data\\Sub' -Force").status, 0);
  EXPECT_FALSE(Exists("C/Data/Sub"));
  EXPECT_EQ(Run("Remove-Item -Path 'C:\\Data\\Sub' -Force").status, 1);
}

TEST_F(GuestPowerShell, SetsFileTimesThroughLocalTime) {
  zqtest::ScopedEnv berlin("TZ", "Europe/Berlin");
  tzset();
  const long long summer = 1593604800;  // 2020-07-01 12:00 UTC
  const std::string setWrite = "$stime = get-date 1/1/1970; $unixtime=" + std::to_string(summer) +
                               "; (Get-Item 'C:\\Data\\a.txt').LastWriteTime=($stime.AddSeconds($unixTime).ToLocalTime());";
  ASSERT_EQ(Run(setWrite).status, 0);
  struct stat st {};
  ASSERT_EQ(stat(m_dir.Join("root/C/Data/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, summer);
  EXPECT_EQ(Run("foreach($_ in get-childitem 'C:\\Data\\a.txt') {Write-Host $_.LastWriteTime}").out,
            "7/1/2020 2:00:00 PM\r\n");
  const std::string setCreation = "$stime = get-date 1/1/1970; $unixtime=60; (Get-Item "
                                  "'C:\\Data\\a.txt').CreationTime=($stime.AddSeconds($unixTime).ToLocalTime());";
  ASSERT_EQ(Run(setCreation).status, 0);
  EXPECT_EQ(Run("Write-Host (Get-Item 'C:\\Data\\a.txt').CreationTimeUtc.ToString('s')").out, "1970-01-01T00:01:00\r\n");
}

TEST_F(GuestPowerShell, FailsToSetTimesOnAMissingFile) {
  const CommandResult result = Run("$stime = get-date 1/1/1970; (Get-Item 'C:\\Nope').LastWriteTime=$stime;");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("Cannot find path 'C:\\Nope' because it does not exist."), std::string::npos);
  EXPECT_NE(result.err.find("The property 'LastWriteTime' cannot be found on this object."), std::string::npos);
}

TEST_F(GuestPowerShell, RefusesATimeOutsideDateTime) {
  const CommandResult result = Run("$stime = get-date 1/1/1970; $x = $stime.AddSeconds(999999999999999)");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("un-representable DateTime"), std::string::npos);
}

TEST_F(GuestPowerShell, TreatsATrailingBackslashOnAFileAsTheFile) {
  EXPECT_EQ(Run("Write-Host (Test-Path 'C:\\Data\\a.txt\\')").out, "True\r\n");
  EXPECT_EQ(Run("foreach($_ in get-childitem 'C:\\Data\\a.txt\\') {Write-Host $_.name}").out, "a.txt\r\n");
}

// Links below the root play reparse points: seen as links at their own names, followed on
// the way through, with their own times in listings and time setters that reach the target.
TEST_F(GuestPowerShell, ReparsePointsBehaveAsOnWindows) {
  fs::create_directory_symlink("Data", m_dir.Join("root/C/Junction"));
  fs::create_symlink("Data/a.txt", m_dir.Join("root/C/link.txt"));
  const timespec linkTimes[2] = {{936000000, 0}, {936000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, m_dir.Join("root/C/link.txt").c_str(), linkTimes, AT_SYMLINK_NOFOLLOW), 0);
  const std::string isLink = "((Get-Item -LiteralPath '%s' -Force).Attributes -band [IO.FileAttributes]::ReparsePoint)";
  auto asks = [&](const std::string& path) {
    std::string script = "if " + isLink + " {Write-Host yes} else {Write-Host no}";
    script.replace(script.find("%s"), 2, path);
    return Run(script).out;
  };
  EXPECT_EQ(asks("C:\\Junction"), "yes\r\n");
  EXPECT_EQ(asks("C:\\link.txt"), "yes\r\n");
  EXPECT_EQ(asks("C:\\Data"), "no\r\n");
  EXPECT_EQ(asks("C:\\Junction\\a.txt"), "no\r\n");  // the item below a junction is no link
  EXPECT_EQ(Run("Write-Host (Get-Item 'C:\\Junction').LinkType (Get-Item 'C:\\link.txt').LinkType").out,
            "Junction SymbolicLink\r\n");
  EXPECT_EQ(Run("Write-Host (Get-Item 'C:\\link.txt').LastWriteTimeUtc.ToString('yyyy')").out, "1999\r\n");
  EXPECT_EQ(Run("Test-Path 'C:\\Junction\\Sub'").out, "True\r\n");
  ASSERT_EQ(Run("(Get-Item 'C:\\link.txt').LastWriteTimeUtc=(get-date 1/1/1971)").status, 0);
  struct stat target {};
  ASSERT_EQ(stat(m_dir.Join("root/C/Data/a.txt").c_str(), &target), 0);
  EXPECT_EQ(target.st_mtime, 31536000);  // through the link, as .NET's setter goes
}

}  // namespace
}  // namespace winguest
