// The guest's command interpreter, cmd.exe, as far as a remote command line meets it. The SSH
// server of a Windows guest hands the remote command line to "cmd.exe /c"; from there this class
// does what cmd does with a line:
//   1. "/c" quote rule: a line that starts with a double quote loses it and the last double quote
//      on the line, unless the quoted part is just the name of a program;
//   2. %NAME% is replaced by the variable's value; an undefined name is left as it is;
//   3. outside double quotes, ^ takes the next character literally and & && || | < > are
//      operators; inside double quotes every character is literal;
//   4. each side of a pipe runs in a new cmd ("cmd /S /D /c"), which reads its text again from
//      step 2, so a character escaped with ^ before a pipe is active again behind it;
//   5. the first word names the command: the built-ins echo and cmd, or a program of the guest.
// Redirection and parenthesised blocks are refused (this guest runs no such lines).
#pragma once

#include <functional>
#include <map>
#include <string>

namespace winguest {

struct CommandResult {
  std::string out;
  std::string err;
  int status = 0;
};

class CmdShell {
 public:
  // Runs a program of the guest: its name as written (without quotes), the rest of the line
  // after the name with leading blanks removed, and the text on its standard input. Returns
  // false when there is no such program.
  using ProgramRunner =
      std::function<bool(const std::string& name, const std::string& arguments, const std::string& input,
                         CommandResult& result)>;
  // Called with every simple command cmd is about to run.
  using CommandObserver = std::function<void(const std::string& command)>;

  CmdShell(std::map<std::string, std::string> environment, ProgramRunner programs, CommandObserver observer = {});

  // "cmd.exe /c <commandString>".
  CommandResult RunSlashC(const std::string& commandString, const std::string& input, bool slashS = false);

  // Step 2 alone, for tests.
  std::string ExpandVariables(const std::string& line) const;

 private:
  CommandResult RunSlashCAt(const std::string& commandString, const std::string& input, bool slashS, int depth);
  CommandResult RunLine(const std::string& line, const std::string& input, int depth);
  CommandResult RunSimple(const std::string& command, const std::string& input, int depth);
  CommandResult RunCmd(const std::string& arguments, const std::string& input, int depth);
  bool IsProgramName(const std::string& name) const;

  std::map<std::string, std::string> m_environment;  // names in upper case
  ProgramRunner m_programs;
  CommandObserver m_observer;
};

// The variables a login session on the guest has (PATH, SystemRoot, USERNAME, ...).
std::map<std::string, std::string> GuestEnvironment(const std::string& userName);

}  // namespace winguest
