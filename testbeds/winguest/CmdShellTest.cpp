// cmd.exe's reading of a command line, as documented for "cmd /c" and for batch-less command
// lines: the /c quote rule, %VAR% expansion, ^ escapes, operators, and pipes read twice.
#include <gtest/gtest.h>

#include "CmdShell.h"

namespace winguest {
namespace {

// A guest program "args" that prints the rest of its command line as it received it.
CmdShell MakeShell(std::vector<std::string>* commands = nullptr) {
  auto programs = [](const std::string& name, const std::string& rest, const std::string& input, CommandResult& result) {
    if (name == "args") {
      result.out = "[" + rest + "]\r\n";
      return true;
    }
    if (name == "stdin") {
      result.out = "<" + input + ">\r\n";
      return true;
    }
    return false;
  };
  auto observer = [commands](const std::string& command) {
    if (commands) commands->push_back(command);
  };
  return CmdShell(GuestEnvironment("alice"), programs, observer);
}

struct CmdCase {
  const char* name;
  const char* line;  // what the SSH server hands to "cmd.exe /c"
  const char* out;
  const char* errFragment;
  int status;
};
void PrintTo(const CmdCase& c, std::ostream* out) { *out << c.name << ": " << c.line; }

class CmdLineReading : public ::testing::TestWithParam<CmdCase> {};

TEST_P(CmdLineReading, RunsWhatCmdRuns) {
  const CmdCase& c = GetParam();
  CmdShell shell = MakeShell();
  const CommandResult result = shell.RunSlashC(c.line, "");
  EXPECT_EQ(result.out, c.out);
  EXPECT_NE(result.err.find(c.errFragment), std::string::npos) << result.err;
  EXPECT_EQ(result.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CmdLineReading,
    ::testing::Values(
        CmdCase{"Echo", "echo hello", "hello\r\n", "", 0},
        CmdCase{"DefinedVariableExpands", "args %USERNAME%", "[alice]\r\n", "", 0},
        CmdCase{"VariableNamesIgnoreCase", "args %username%", "[alice]\r\n", "", 0},
        CmdCase{"UndefinedVariableStays", "args %NOSUCH%", "[%NOSUCH%]\r\n", "", 0},
        CmdCase{"ClosingPercentOpensTheNext", "args %NOSUCH%USERNAME%", "[%NOSUCHalice]\r\n", "", 0},
        CmdCase{"LonePercentStays", "args 100%", "[100%]\r\n", "", 0},
        CmdCase{"VariablesExpandInsideQuotes", "args \"%USERNAME%\"", "[\"alice\"]\r\n", "", 0},
        CmdCase{"AmpersandRunsTwoCommands", "args a&args b", "[a]\r\n[b]\r\n", "", 0},
        CmdCase{"AmpersandInQuotesIsText", "args \"a&b\"", "[\"a&b\"]\r\n", "", 0},
        CmdCase{"CaretEscapes", "args a^&b", "[a&b]\r\n", "", 0},
        CmdCase{"CaretDisappears", "args a^b", "[ab]\r\n", "", 0},
        CmdCase{"CaretInQuotesStays", "args \"a^b\"", "[\"a^b\"]\r\n", "", 0},
        CmdCase{"AndSkipsAfterFailure", "nosuch && args b", "", "'nosuch' is not recognized", 1},
        CmdCase{"OrRunsAfterFailure", "nosuch || args b", "[b]\r\n", "is not recognized", 0},
        CmdCase{"PipeFeedsStandardInput", "echo . | stdin", "<. \r\n>\r\n", "", 0},
        // Each side of a pipe is read again by its own cmd: an escaped & is active there.
        CmdCase{"EscapeIsUsedUpBeforeAPipe", "echo . | args a^&b", "[a]\r\n", "'b' is not recognized", 1},
        CmdCase{"SlashCDropsOuterQuotes", "\"args a & args b\"", "[a ]\r\n[b]\r\n", "", 0},
        CmdCase{"NestedCmdReadsAgain", "cmd /c \"args x & args y\"", "[x ]\r\n[y]\r\n", "", 0},
        CmdCase{"UnknownCommand", "nosuch x", "", "'nosuch' is not recognized as an internal or external command", 1},
        CmdCase{"RedirectionIsRefused", "args a > b", "", "redirection", 1}),
    [](const ::testing::TestParamInfo<CmdCase>& info) { return info.param.name; });

TEST(CmdShell, RefusesLinesLongerThanCmdTakes) {
  CmdShell shell = MakeShell();
  const CommandResult result = shell.RunSlashC("args " + std::string(8200, 'x'), "");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("too long"), std::string::npos);
}

TEST(CmdShell, ReportsEveryCommandItRuns) {
  std::vector<std::string> commands;
  CmdShell shell = MakeShell(&commands);
  shell.RunSlashC("cmd /c \"echo . | args x\"", "");
  EXPECT_EQ(commands, (std::vector<std::string>{"cmd /c \"echo . | args x\"", "echo .", "args x"}));
}

}  // namespace
}  // namespace winguest
