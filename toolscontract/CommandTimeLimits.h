// Time limits of the SSH channels' commands: installation settings of section "SSH" that the
// plug-in and the proxy's SSH tools both read. A value of 0 turns a limit off.
#pragma once

namespace CommandTimeLimits {

constexpr const char* kSection = "SSH";

// Seconds a helper-script or PowerShell command may run in all.
constexpr const char* kCommandTimeLimitKey = "CommandTimeLimit";
constexpr long long kDefaultCommandTimeLimit = 600;

// Seconds a copy may go without moving a byte: the copy tool ends it then. The plug-in allows the
// copy tool itself this long plus kCopyToolGraceSeconds without any sign of life before it ends it
// from outside.
constexpr const char* kCopyInactivityLimitKey = "CopyInactivityLimit";
constexpr long long kDefaultCopyInactivityLimit = 120;
constexpr long long kCopyToolGraceSeconds = 60;

}  // namespace CommandTimeLimits
