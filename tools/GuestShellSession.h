// A guest session kept by zqplink.exe, so that helper-script commands ("bash -s" -- ARGS with the
// script on standard input) do not each start an SSH session and a bash that reads the script.
//
// The first such command starts a session process for its login (user, address, port and
// password: the socket name carries a keyed digest of the password, so logins with different
// passwords never meet). The session process keeps one ssh connection that runs a loop in the
// guest's bash, held in that bash's memory only: nothing is written in the guest. The loop reads
// framed requests from the connection, keeps the script text it was sent last, and runs the script
// with each request's arguments in a subshell of its own, with standard input from /dev/null as
// the script's main would have; it answers with the standard output, the standard error and the
// exit status. Where the guest has a usable perl (and `GuestSessionPerl` is on), a loop in Perl
// takes the bash loop's place: it answers the same way, runs the hot file operations of the helper
// script itself, and the script in bash for everything else. Later commands hand their request to the session through its Unix socket in the
// private control folder. The session ends after `GuestSessionIdle` seconds without a request,
// when its connection ends, or when a request outlasts the command time limit.
//
// The session process gets the password the way the tool does: it is a copy of the tool, and its
// ssh asks it through the askpass hand-over when it logs in. The password never reaches a file, a
// command line or the environment of any other process.
#pragma once

#include <string>
#include <vector>

#include "tools/GuestSessionChannel.h"
#include "tools/OpenSshCommand.h"

namespace GuestShellSession {

// Whether `command` (the remote command words) runs the helper script read from standard input:
// the words "bash -s" and "--", then the script's arguments, which `arguments` receives joined by
// blanks as the guest's shell would get them.
bool IsHelperScriptCommand(const std::vector<std::string>& command, std::string& arguments);

// The result of handing a command to the session.
enum class Outcome {
  Done,       // the command ran in the session; `status` is its exit status
  Failed,     // the session could not serve it (login refused, session ended); reported, `status` 255
  NotTaken    // the fast path is not available; the caller runs the command on its own
};

// Runs the helper script read from standard input with `arguments` through the session of
// `login`, starting the session when there is none. Writes the command's output and errors to
// standard output and standard error.
Outcome RunHelperCommand(const SshToolSettings& settings, const std::vector<std::string>& sshOptions,
                         const SshLogin& login, const std::string& arguments, const char* toolName, int& status);

// Files up to this size travel inline in a request; larger ones keep their own streaming copy.
constexpr size_t kMaxInlineBytes = 1 << 20;

// Runs `script` with `arguments` (words as the guest's shell splits them) through the session of
// `login`, with `input` (at most kMaxInlineBytes) as its standard input, or /dev/null when empty.
// Without `mayStart` only a session that runs already is used.
Outcome RunScript(const SshToolSettings& settings, const std::vector<std::string>& sshOptions, const SshLogin& login,
                  const std::string& script, const std::string& arguments, const std::string& input, bool mayStart,
                  const char* toolName, int& status);

// Hands `script` with `arguments` and `input` to the session of `login` (and of the password in
// the environment) when one runs already, the way RunScript does, but with the answer in `answer`
// instead of on standard output and standard error. Starts no session and no process: for a
// client in the plug-in's own process, which runs the tool when this gives NotTaken.
Outcome AskRunningSession(const SshToolSettings& settings, const SshLogin& login, const std::string& script,
                          const std::string& arguments, const std::string& input, const char* toolName,
                          GuestSessionChannel::Answer& answer);

// The guest-side loop (bash), for tests and the documentation of the protocol.
const std::string& GuestLoop();

// The guest-side loop in Perl (tools/GuestSessionLoop.pl, comments left out, the proxy's limits
// and the digest of its helper script filled in): it serves the helper script's hot operations
// itself and runs the script in bash for anything else.
const std::string& GuestPerlLoop();

// The bash text a session starts with when `GuestSessionPerl` is on: it reads GuestPerlLoopFrame()
// on standard input and runs the program when the guest's perl can compile it, or runs
// GuestLoop() otherwise. Either loop then reads the end mark itself.
const std::string& GuestLoopStarter();

// What the session sends first to GuestLoopStarter(): the program's size in decimal, a NUL byte,
// and GuestPerlLoop().
std::string GuestPerlLoopFrame();

// The digest the Perl loop compares the scripts it is sent with: the length, a dash, and the
// 32-bit FNV-1a of the bytes in eight hex digits.
std::string ScriptDigest(const std::string& script);

}  // namespace GuestShellSession
