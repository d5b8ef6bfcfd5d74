// The tools answer OpenSSH's password questions themselves: OpenSSH runs the tool again as its
// SSH_ASKPASS program with the question as the only argument.
//
// OpenSSH itself never holds the password in its environment: the tool starts ssh or scp with an
// allow-listed environment without ZQ_PUTTY_PASS (a shared connection's background ssh would
// otherwise keep it for minutes), and the askpass run reads it from the environment the starting
// tool was started with, whose process id the marker variable carries and which must be one of its
// own ancestors. OpenSSH closes every other descriptor, so a pipe could not reach the askpass run.
//
// The password answers one question only: the password prompt of the login the tool serves. A
// jump host's prompt, a key passphrase or any other question gets no answer.
#pragma once

#include <string>
#include <sys/types.h>

namespace AskPass {

// True when this process was started by OpenSSH to answer a question.
bool IsRequested();

// Prints the password and returns 0 when `question` is the password prompt of the tool's login and
// the starting tool holds a password; returns 1 (OpenSSH then gives up that way of logging in) for
// any other question.
int Answer(const std::string& question);

// Whether `question` is OpenSSH's password prompt for `user` at `host`: "USER@HOST's password: "
// (also with the user cut to 30 and the host to 128 characters, as older clients print it) or the
// keyboard-interactive spelling "(USER@HOST) Password: ".
bool IsLoginPrompt(const std::string& question, const std::string& user, const std::string& host);

// The value of `name` in the environment `pid` was started with; false when it cannot be read.
bool ReadStartEnvironment(pid_t pid, const std::string& name, std::string& value);

// Whether `pid` is the parent of this process or one of the parent's ancestors, at most
// `generations` steps up.
bool IsAncestor(pid_t pid, int generations);

}  // namespace AskPass
