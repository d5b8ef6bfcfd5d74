// Real PowerShell (pwsh, PowerShell 7 on Linux) for the stand-in and the tests: one long-lived pwsh
// process that runs the Windows channel's own session loop (WindowsShellSession::GuestLoopCommand,
// started exactly as the session starts powershell.exe in a guest) and takes one script per
// request over its standard input. pwsh takes seconds to start, so a user keeps one for many
// scripts.
//
// Where pwsh is: the environment variable ZQ_PWSH, else the program the build found (the CMake
// cache variable ZQ_PWSH; ./scripts/test installs it into <build>/pwsh where the .NET SDK is).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "CmdShell.h"

namespace winguest {

// The pwsh program to use, or "" when there is none.
std::string PwshProgram();
// Why tests that need pwsh cannot run, or "" when they can.
std::string PwshMissingReason();
// Whether a missing pwsh fails a test instead of skipping it (CI=true).
bool PwshRequired();

class RealPowerShell {
 public:
  RealPowerShell() = default;
  ~RealPowerShell();
  RealPowerShell(const RealPowerShell&) = delete;
  RealPowerShell& operator=(const RealPowerShell&) = delete;

  // Starts pwsh with the session loop and waits (at most `seconds`) until the loop is ready.
  // `home` is a folder of the caller's that becomes pwsh's HOME and XDG folders, so that its
  // caches and settings stay there; `environment` ("NAME=VALUE") is added to what it inherits.
  // False with a reason.
  bool Start(const std::string& home, std::string& error, const std::vector<std::string>& environment = {},
             int seconds = 120);
  // Runs one script in its own scope: its output (Write-Host lines included), its errors and
  // status 1 when it wrote any. A script that outlasts `seconds` ends pwsh and fails.
  bool Run(const std::string& script, CommandResult& result, int seconds = 120);
  bool Running() const { return m_pid > 0; }

  // How pwsh's own parser (Parser::ParseInput) reads each of `scripts`, one line each: "errors N",
  // a line "! ID MESSAGE" per parse error, then every node of the syntax tree in order as its type
  // name, followed for a string constant by its kind (SingleQuoted, BareWord, ...) and its value,
  // for a variable, a command or a parameter by its name and for another constant by its value.
  // Line breaks in a line show as "?". One request for all. False when pwsh gave no answer.
  bool Shapes(const std::vector<std::string>& scripts, std::vector<std::vector<std::string>>& shapes);

 private:
  bool Fill(long long deadline);
  bool ReadLine(std::string& line, long long deadline);
  bool ReadBytes(size_t count, std::string& bytes, long long deadline);
  bool ReadFrame(char kind, std::string& text, long long deadline);
  // Ends pwsh: closes its input and waits up to 5 s for it to end, then kills it; `now` (a pwsh
  // that missed a time limit) kills it at once.
  void Stop(bool now = false);

  pid_t m_pid = -1;
  int m_in = -1;   // pwsh's standard input
  int m_out = -1;  // pwsh's standard output
  std::string m_buffer;
};

}  // namespace winguest
