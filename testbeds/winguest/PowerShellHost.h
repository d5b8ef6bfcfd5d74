// powershell.exe on the guest: reads its command line as every Windows program does
// (CommandLineToArgvW rules: blanks separate, double quotes group and disappear, backslashes
// count only before a double quote), takes its switches, and runs the command:
//   -Command (or the first word that is not a switch): the remaining words joined by one blank
//     each, so runs of blanks inside them become one blank;
//   -EncodedCommand BASE64: the script as base64 of its UTF-16LE text, which no shell or cmd in
//     between reads.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CmdShell.h"
#include "GuestFileSystem.h"
#include "Journal.h"
#include "RealPowerShell.h"
#include "StandInConfig.h"

namespace winguest {

std::vector<std::string> SplitWindowsCommandLine(const std::string& commandLine);
// False when the text is not base64 of UTF-16LE.
bool DecodeEncodedCommand(const std::string& base64, std::string& script);

class PowerShellHost {
 public:
  PowerShellHost(GuestFileSystem& files, const StandInConfig& config, std::map<std::string, std::string> environment,
                 Journal& journal);
  ~PowerShellHost();

  // Runs "powershell <arguments>" with `input` on its standard input: one start of powershell.exe.
  CommandResult Run(const std::string& arguments, const std::string& input);

  // What starting powershell.exe costs: waits the configured start time and records the start
  // ("powershellStart" in the journal). Run() does it once per call; a host that keeps one
  // PowerShell for many scripts calls it once and then RunScript() for each.
  void Start();
  // Runs one script in the PowerShell already started: the home-made interpreter, or with the
  // engine "pwsh" the one real pwsh that Start() began.
  CommandResult RunScript(const std::string& script);

 private:
  // The real pwsh's guest: a PSDrive for each drive folder, get-volume and systeminfo as the
  // configuration describes them, and the login's profile folder as the current location.
  std::string PwshGuestScript() const;

  std::unique_ptr<RealPowerShell> m_pwsh;
  GuestFileSystem& m_files;
  const StandInConfig& m_config;
  std::map<std::string, std::string> m_environment;
  Journal& m_journal;
};

}  // namespace winguest
