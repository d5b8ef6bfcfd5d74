// The SSH tools' work for a command that a running guest session can answer, done in the calling
// process. A Unix channel hands each command line here before it starts the tool, and starts the
// tool only when this declines.
//
// Every helper-script command and every small copy would otherwise cost two process starts on
// the proxy, /bin/sh and the tool, just to pass a request to the session over its Unix socket.
// Here the command line is read as /bin/sh reads it (ShellWords), its words as the tool reads them
// (PuttyArguments), the settings and the session's socket name as the tool finds them, and the
// request and the answer are exactly the ones the tool would exchange with the session. The guest
// sees the same request, and the caller gets the same output, errors and exit status.
//
// Only a session that runs already is used: whatever would start one, or run without one (the
// first command of a login, a large copy, a tool line of another shape, sessions turned off), is
// declined and left to the tool.
#pragma once

#include <string>

#include "tools/GuestSessionChannel.h"

namespace GuestSessionShortcut {

// Carries out `commandLine` when it is a command of the tools in `toolFolder` that the session of
// its login (and of the password in the environment) can answer, and that session runs:
//   TOOLS/zqplink.exe ADDRESS -l USER "bash -s" -- ARGS... < SCRIPT   (a helper-script command)
//   TOOLS/zqpscp.exe LOCAL USER@ADDRESS:/PATH                        (a small copy to a Unix guest)
// `answer` then holds what the tool would have printed and its exit status. False when it declines:
// nothing was sent to any guest, and the command line must run as usual.
bool TryRun(const std::string& commandLine, const std::string& toolFolder, GuestSessionChannel::Answer& answer);

}  // namespace GuestSessionShortcut
