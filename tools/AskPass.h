// The tools answer OpenSSH's password questions themselves: OpenSSH runs the tool again as its
// SSH_ASKPASS program with the question as the only argument.
#pragma once

#include <string>

namespace AskPass {

// True when this process was started by OpenSSH to answer a question.
bool IsRequested();

// Prints the password from ZQ_PUTTY_PASS and returns 0 when `question` asks for a password and a
// password is there; returns 1 (OpenSSH then gives up that way of logging in) for any other
// question, such as a key passphrase, so that the password never answers something else.
int Answer(const std::string& question);

}  // namespace AskPass
