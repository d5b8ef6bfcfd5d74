// What the proxy's SSH tools read from the installation settings (section "SSH", and the base
// folder "Base"/"dBASEHOME"), with the defaults that apply when a key is absent.
#pragma once

#include <string>

struct SshToolSettings {
  std::string baseHome;        // folder of the tools; the folder of the running tool when unset
  std::string knownHostsFile;  // "KnownHostsFile", default <base>/known_hosts
  std::string configFile;      // "ConfigFile", default <base>/ssh_config; used when it exists
  std::string controlDir;      // "ControlDir", default DefaultControlDir()
  long long connectTimeout = 10;     // "ConnectTimeout", seconds to connect and greet
  long long keepAliveInterval = 5;   // "KeepAliveInterval", seconds between keep-alive probes
  long long keepAliveCountMax = 3;   // "KeepAliveCountMax", unanswered probes before giving up
  long long controlPersist = 60;     // "ControlPersist", seconds an idle shared connection stays; 0: no reuse
  std::string sshProgram = "ssh";    // "SshProgram"
  std::string sftpProgram = "sftp";  // "SftpProgram"
  // "UseKeys": whether OpenSSH may offer this machine's keys and agent (SSH_AUTH_SOCK) to guests;
  // by default only the password, and the keys that the installation's ssh_config names, are used.
  bool useKeys = false;
  // "CopyInactivityLimit": seconds a copy may go without moving a byte before it is ended; 0: none.
  long long copyInactivityLimit = 120;
  // "GuestSessionIdle": seconds a guest session of zqplink.exe (helper-script commands, or the
  // PowerShell one-liners of a Windows guest) waits for its next command before it ends; 0: no
  // session, every command runs on its own.
  long long guestSessionIdle = 15;
  // "GuestSessionPerl": whether a guest session runs its loop in the guest's perl when it has one
  // (the hot file operations without a process each); false: the bash loop always.
  bool guestSessionPerl = true;
  // "CommandTimeLimit": seconds one command may take; a session request that takes longer ends
  // the session; 0: no limit.
  long long commandTimeLimit = 600;

  // Reads the settings through ZQPlatformInfo. `toolFolder` is the folder of the running tool,
  // the base folder when the settings do not name one.
  static SshToolSettings Load(const std::string& toolFolder);
};

// The control folder when the settings name none: /run/zqrestore for root, $XDG_RUNTIME_DIR/zqrestore
// for another user who has a runtime folder, /tmp/zqrestore-ssh-<euid> otherwise.
std::string DefaultControlDir();

// Folder that holds the running program, from /proc/self/exe; empty when it cannot be read.
std::string RunningProgramPath();
std::string ParentFolder(const std::string& path);
