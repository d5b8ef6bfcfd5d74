// Tracks how the code under test opens and closes the VM-information component. The test binary
// is linked with -Wl,--wrap=dlopen,--wrap=dlclose, so every dlopen/dlclose of the statically
// linked controller passes through here before reaching the system.
#pragma once

#include <string>
#include <vector>

namespace dltracking {

struct OpenCall {
  std::string name;
  int flags = 0;
  void* handle = nullptr;  // null when the open failed
};

// Forgets earlier calls and any redirection.
void Reset();
// Opens of "libVMInfo.so" load `path` instead; an empty path restores the normal lookup.
void RedirectVMInfo(const std::string& path);

std::vector<OpenCall> VMInfoOpens();
// How often `handle` was closed since the last Reset.
int CloseCount(void* handle);

}  // namespace dltracking
