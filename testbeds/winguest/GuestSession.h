// What both stand-in tools share: the configuration, the login check of the guest's SSH server,
// and the guest's file system as the login sees it (its profile folder is the current location).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CmdShell.h"
#include "GuestFileSystem.h"
#include "Journal.h"
#include "StandInConfig.h"

namespace winguest {

class GuestSession {
 public:
  // Reads the configuration (and sets the guest's time zone); false with a message otherwise.
  bool Open(const std::string& tool, const std::vector<std::string>& arguments, std::string& error);

  // The SSH connection and login: the address must answer, the user and ZQ_PUTTY_PASS must be
  // the guest's login. False with the message the SSH tool prints.
  bool LogIn(const std::string& address, const std::string& user, std::string& error) const;
  // The same check with the password the client gave.
  bool LogIn(const std::string& address, const std::string& user, const std::string& password,
             std::string& error) const;

  // Runs a remote command line as the guest's SSH server does, through "cmd.exe /c", which starts
  // powershell.exe (a PowerShellHost) or systeminfo; records the line and every command.
  CommandResult RunRemoteCommand(const std::string& remoteCommand);

  // The account name the guest sees (the part before ":" of a rewritten domain login).
  std::string AccountName() const;

  const StandInConfig& Config() const { return m_config; }
  GuestFileSystem& Files() { return *m_files; }
  Journal& Record() { return m_journal; }

 private:
  StandInConfig m_config;
  std::unique_ptr<GuestFileSystem> m_files;
  Journal m_journal;
};

// Exit status of a tool for a guest-side status: 0 stays 0, anything else is at least 1.
int ToolExitStatus(int guestStatus);

}  // namespace winguest
