// The names the plug-in's SSH channels and the proxy's SSH tools must agree on. Both sides take
// them from here; the helper script, which cannot include a header, is held to the same text by a
// test.
#pragma once

namespace SshToolsContract {

// The tools and the helper script in the installation base folder ("Base"/"dBASEHOME"). The
// tools keep the ".exe" ending on Linux too: it is the name the channels' command lines use.
constexpr const char* kCommandTool = "zqplink.exe";
constexpr const char* kCopyTool = "zqpscp.exe";
constexpr const char* kHelperScript = "zqvsa_agentless.sh";

// The environment variable through which a tool receives the guest password from the channel
// that starts it. Only the tools read it; they never pass it on to a child.
constexpr const char* kPasswordVariable = "ZQ_PUTTY_PASS";

// The marker a Unix channel puts into a guest path after the destination folder: the helper
// script follows links only in the part before it, and enters the names after it one by one
// without following any.
constexpr const char* kDestinationMarker = "/./";

// What a channel's log line (level 0) starts with when the tools said that guest sessions and
// connection reuse are off, followed by the tool's own line; the host shows it in the summary.
constexpr const char* kSessionsOffLogText = "Guest sessions are off: ";

}  // namespace SshToolsContract
