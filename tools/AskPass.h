// The tools answer OpenSSH's password questions themselves: OpenSSH runs the tool again as its
// SSH_ASKPASS program with the question as the only argument.
//
// OpenSSH itself never holds the password in its environment: the tool removes ZQ_PUTTY_PASS from
// the environment of the ssh or scp it starts (a shared connection's background ssh would otherwise
// keep it for minutes), and the askpass run reads it from the starting tool instead, whose process
// id the marker variable carries and which must be one of its own ancestors.
#pragma once

#include <string>
#include <sys/types.h>

namespace AskPass {

// True when this process was started by OpenSSH to answer a question.
bool IsRequested();

// Prints the password and returns 0 when `question` asks for a password and the starting tool
// holds one; returns 1 (OpenSSH then gives up that way of logging in) for any other question, such
// as a key passphrase, so that the password never answers something else.
int Answer(const std::string& question);

// The value of `name` in the environment `pid` was started with; false when it cannot be read.
bool ReadStartEnvironment(pid_t pid, const std::string& name, std::string& value);

// Whether `pid` is the parent of this process or one of the parent's ancestors, at most
// `generations` steps up.
bool IsAncestor(pid_t pid, int generations);

}  // namespace AskPass
