#include "GuestSession.h"

#include <cctype>
#include <cstdlib>
#include <ctime>

#include "PowerShellHost.h"
#include "PsCommands.h"
#include "tools/WindowsLogin.h"

namespace winguest {

bool GuestSession::Open(const std::string& tool, const std::vector<std::string>& arguments, std::string& error) {
  if (!StandInConfig::LoadFromEnvironment(m_config, error)) return false;
  if (!m_config.timeZone.empty()) setenv("TZ", m_config.timeZone.c_str(), 1);
  tzset();
  m_journal = Journal(m_config.journal);
  m_journal.Start(tool, arguments);
  WindowsPath profile;
  profile.drive = 'C';
  profile.components = {"Users", AccountName()};
  m_files = std::make_unique<GuestFileSystem>(m_config.root, profile, m_config.stateFile);
  if (m_config.swap) m_files->SwapAt(m_config.swap->moment, m_config.swap->folder, m_config.swap->link);
  return true;
}

bool GuestSession::LogIn(const std::string& address, const std::string& user, std::string& error) const {
  const char* password = std::getenv("ZQ_PUTTY_PASS");
  if (!password && m_config.Answers(address)) {
    error = "Access denied\nFATAL ERROR: Configured password was not accepted";
    return false;
  }
  return LogIn(address, user, password ? password : "", error);
}

bool GuestSession::LogIn(const std::string& address, const std::string& user, const std::string& password,
                         std::string& error) const {
  if (!m_config.Answers(address)) {
    error = "FATAL ERROR: Network error: Connection timed out";
    return false;
  }
  // The server sees the login as the real tools send it, a domain login as "CORP\alice".
  if (WindowsLogin::ForOpenSsh(user) != m_config.user || m_config.password != password) {
    error = "Access denied\nFATAL ERROR: Configured password was not accepted";
    return false;
  }
  return true;
}

CommandResult GuestSession::RunRemoteCommand(const std::string& remoteCommand) {
  m_journal.Set("remoteCommand", remoteCommand);
  const auto environment = GuestEnvironment(AccountName());
  PowerShellHost powershell(Files(), m_config, environment, m_journal);
  auto programs = [&](const std::string& name, const std::string& rest, const std::string& input,
                      CommandResult& result) {
    std::string program = name;
    for (char& c : program) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (program == "powershell" || program == "powershell.exe") {
      result = powershell.Run(rest, input);
      return true;
    }
    if (program == "systeminfo" || program == "systeminfo.exe") {
      result.out = SystemInfoText(m_config.osName);
      return true;
    }
    return false;
  };
  CmdShell cmd(environment, programs, [&](const std::string& command) { m_journal.Add("cmd", command); });
  return cmd.RunSlashC(remoteCommand, "");
}

std::string GuestSession::AccountName() const {
  const size_t backslash = m_config.user.rfind('\\');
  return backslash == std::string::npos ? m_config.user : m_config.user.substr(backslash + 1);
}

int ToolExitStatus(int guestStatus) {
  if (guestStatus == 0) return 0;
  const int low = guestStatus & 0xff;
  return low == 0 ? 1 : low;
}

}  // namespace winguest
