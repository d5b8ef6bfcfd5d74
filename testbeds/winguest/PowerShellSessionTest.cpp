// Which remote command lines zqplink.exe hands to a Windows guest's PowerShell session, and that
// the script it hands over is the very script the guest's cmd and powershell.exe would run for
// the line on its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sys/stat.h>

#include "PowerShellHost.h"
#include "RealPowerShell.h"
#include "support/FileHelpers.h"
#include "support/TestSupport.h"
#include "tools/WindowsShellSession.h"

namespace winguest {
namespace {

struct ScriptRow {
  const char* name;
  std::vector<std::string> command;  // the remote command words as zqplink.exe gets them
  bool taken;
};
void PrintTo(const ScriptRow& row, std::ostream* out) { *out << row.name; }

class PowerShellSessionScript : public testing::TestWithParam<ScriptRow> {
 protected:
  // The script the stand-in's cmd and powershell.exe run for the joined command line.
  std::string ScriptTheGuestRuns(const std::vector<std::string>& command) {
    std::filesystem::create_directories(m_dir.Join("root/C/Users/alice"));
    StandInConfig config;
    config.root = m_dir.Join("root");
    config.stateFile = m_dir.Join("state.json");
    WindowsPath profile;
    profile.components = {"Users", "alice"};
    GuestFileSystem files(config.root, profile, config.stateFile);
    Journal journal(m_dir.Join("journal.jsonl"));
    journal.Start("test", {});
    PowerShellHost host(files, config, GuestEnvironment("alice"), journal);
    CmdShell cmd(GuestEnvironment("alice"), [&](const std::string& name, const std::string& rest, const std::string& input,
                                                CommandResult& result) {
      if (name != "powershell") return false;
      result = host.Run(rest, input);
      return true;
    });
    std::string line;
    for (const std::string& word : command) line += (line.empty() ? "" : " ") + word;
    cmd.RunSlashC(line, "");
    journal.Finish(0);
    std::ifstream in(m_dir.Join("journal.jsonl"));
    std::string record;
    std::getline(in, record);
    const auto scripts = nlohmann::json::parse(record).value("powershell", nlohmann::json::array());
    return scripts.size() == 1 ? scripts[0].get<std::string>() : "(" + std::to_string(scripts.size()) + " scripts)";
  }

  zqtest::TempDir m_dir;
};

TEST_P(PowerShellSessionScript, TakesOnlyTheChannelsShapeAndHandsOverTheGuestsScript) {
  const ScriptRow& row = GetParam();
  std::string script;
  ASSERT_EQ(WindowsShellSession::PowerShellScriptOf(row.command, script), row.taken);
  if (row.taken) {
    EXPECT_EQ(script, ScriptTheGuestRuns(row.command));
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, PowerShellSessionScript,
    testing::Values(
        ScriptRow{"OneLiner",
                  {"cmd", "/c", "echo . | powershell New-Item -ItemType directory -Path 'C:\\Restore' -Force"},
                  true},
        ScriptRow{"RunsOfBlanksBecomeOne",
                  {"cmd", "/c", "echo . | powershell  if (Test-Path 'C:\\a  b') {Write-Host PathFound}"},
                  true},
        ScriptRow{"DollarsAndBackslashes",
                  {"cmd", "/c", "echo . | powershell $stime = get-date 1/1/1970; (Get-Item 'C:\\x\\').Name"},
                  true},
        ScriptRow{"EncodedCommand",
                  {"cmd", "/c", "echo . | powershell -EncodedCommand VwByAGkAdABlAC0ASABvAHMAdAAgACcAYQAiAGIAJwAgAOkA"},
                  true},
        ScriptRow{"PercentIsCmds", {"cmd", "/c", "echo . | powershell Write-Host '%PATH%'"}, false},
        ScriptRow{"CaretIsCmds", {"cmd", "/c", "echo . | powershell Write-Host 'a^b'"}, false},
        ScriptRow{"AmpersandIsCmds", {"cmd", "/c", "echo . | powershell Write-Host 'a&b'"}, false},
        ScriptRow{"DoubleQuotesArePowerShellsCommandLine", {"cmd", "/c", "echo . | powershell Write-Host \"a\""}, false},
        ScriptRow{"OtherSwitch", {"cmd", "/c", "echo . | powershell -NoProfile Write-Host a"}, false},
        ScriptRow{"ExitWouldEndTheSession", {"cmd", "/c", "echo . | powershell Write-Host a; Exit 3"}, false},
        ScriptRow{"EncodedExit", {"cmd", "/c", "echo . | powershell -EncodedCommand ZQB4AGkAdAAgADMA"}, false},
        ScriptRow{"EncodedNotBase64", {"cmd", "/c", "echo . | powershell -EncodedCommand VwB*"}, false},
        ScriptRow{"EncodedWithMoreWords", {"cmd", "/c", "echo . | powershell -EncodedCommand ZQB4AA== x"}, false},
        // UTF-16 that names no character: a lone second half, a first half without its pair.
        ScriptRow{"EncodedLoneLowSurrogate", {"cmd", "/c", "echo . | powershell -EncodedCommand ANw="}, false},
        ScriptRow{"EncodedUnpairedHighSurrogate", {"cmd", "/c", "echo . | powershell -EncodedCommand ANhBAA=="}, false},
        ScriptRow{"LineBreakRunsOnItsOwn", {"cmd", "/c", "echo . | powershell Write-Host a\nWrite-Host b"}, false},
        ScriptRow{"OneByteOverTheScriptBound",
                  {"cmd", "/c",
                   "echo . | powershell #" + std::string(WindowsShellSession::kMaxScriptBytes, 'a')},
                  false},
        ScriptRow{"NothingToRun", {"cmd", "/c", "echo . | powershell  "}, false},
        ScriptRow{"SplitIntoMoreWords", {"cmd", "/c", "echo . | powershell Write-Host", "a"}, false},
        ScriptRow{"OtherProgram", {"cmd", "/c", "echo . | pwsh Write-Host a"}, false},
        ScriptRow{"HelperScript", {"bash -s", "--", "--browse_path", "'/x'"}, false}));

// Real pwsh behind the stand-in and the tests: every wait on it has a time limit.
TEST(RealPowerShellLimits, APwshThatNeverStartsItsLoopFailsAtTheLimit) {
  zqtest::TempDir dir;
  const std::string fake = dir.Join("pwsh");
  zqtest::WriteFile(fake, "#!/bin/sh\nsleep 20\necho zqsession-ready\nexec cat >/dev/null\n");
  ASSERT_EQ(::chmod(fake.c_str(), 0755), 0);
  zqtest::ScopedEnv program("ZQ_PWSH", fake);
  RealPowerShell pwsh;
  std::string error;
  EXPECT_FALSE(pwsh.Start(dir.path(), error, {}, 1));  // the "pwsh" answers only after 20 s
  EXPECT_NE(error.find("did not start the session loop within 1 s"), std::string::npos) << error;
  EXPECT_FALSE(pwsh.Running());
}

TEST(RealPowerShellLimits, AScriptPastItsLimitEndsPwshAndFailsAndPwshNeverSeesThePassword) {
  const std::string why = PwshMissingReason();
  if (!why.empty() && PwshRequired()) FAIL() << why;
  if (!why.empty()) GTEST_SKIP() << why;
  zqtest::TempDir home;
  zqtest::ScopedEnv password("ZQ_PUTTY_PASS", "proxy secret");
  RealPowerShell pwsh;
  std::string error;
  ASSERT_TRUE(pwsh.Start(home.path(), error)) << error;
  CommandResult result;
  ASSERT_TRUE(pwsh.Run("Write-Host \"ready[$env:ZQ_PUTTY_PASS]\"; Write-Error oops", result));
  EXPECT_EQ(result.out, "ready[]\n");  // the password stays on the proxy
  EXPECT_NE(result.err.find("oops"), std::string::npos);
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(pwsh.Run("Start-Sleep -Seconds 20; Write-Host late", result, 2));
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out.find("late"), std::string::npos);
  EXPECT_FALSE(pwsh.Running());
}

}  // namespace
}  // namespace winguest
