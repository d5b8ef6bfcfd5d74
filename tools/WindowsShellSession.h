// A guest session kept by zqplink.exe for Windows guests, so that the
// PowerShell one-liners of the Windows channel do not each start an SSH
// session, a cmd and a powershell.exe (230-540 ms each on a real guest).
//
// The first such command starts a session process for its login, as the
// helper-script session does (GuestSessionChannel.h: same socket scheme with
// its own letter, same idle end, same password rules). The session keeps one
// ssh connection that runs ONE powershell.exe in the guest, started with
// -EncodedCommand and a loop held in that PowerShell's memory only: nothing is
// written in the guest. The loop reads framed scripts from the connection, runs
// each in a scope of its own, and answers with its output, its errors and its
// exit status, each framed with its length. Later commands hand their script to
// the session through its socket.
//
// Only command lines of the shape the Windows channel builds take the session:
//   cmd /c "echo . | powershell ARGUMENTS"
// as three words, where ARGUMENTS is either a script (its words joined by one
// blank, as powershell.exe joins -Command words) or -EncodedCommand BASE64, and
// nothing in them that cmd or powershell.exe would read in a way this tool does
// not follow (%, ^, &, |, <, >, double quotes, other switches). Every other
// command line runs on its own.
#pragma once

#include <string>
#include <vector>

#include "tools/GuestShellSession.h"
#include "tools/OpenSshCommand.h"

namespace WindowsShellSession {

// The script powershell.exe would run in the guest for the remote command
// `command` (the words after the login), when the command has the one shape the
// session takes; false otherwise.
bool PowerShellScriptOf(const std::vector<std::string>& command, std::string& script);

// Runs `script` through the Windows session of `login`, starting it when there
// is none. Writes the script's output and errors to standard output and
// standard error; `status` is its exit status. NotTaken when the session is off
// or cannot start (then the caller runs the command on its own).
GuestShellSession::Outcome RunScript(const SshToolSettings& settings, const std::vector<std::string>& sshOptions,
                                     const SshLogin& login, const std::string& script, const char* toolName,
                                     int& status);

// The remote command that starts the guest loop: powershell.exe with
// -EncodedCommand.
const std::string& GuestLoopCommand();
// The loop itself (PowerShell), for the documentation of the protocol:
//   request: "S<n>\n" and n bytes of the script (UTF-8);
//   answer:  "O<n>\n" and n bytes of output, "E<n>\n" and n bytes of errors,
//   "C<status>\n".
const std::string& GuestLoop();

// Limits: a script, and each part of an answer.
constexpr size_t kMaxScriptBytes = 1 << 20;
constexpr size_t kMaxAnswerBytes = 64u << 20;

}  // namespace WindowsShellSession
