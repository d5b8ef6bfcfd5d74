// How a guest path names a place below the VM's guest folder. Windows paths (C:\x\y, with "\" or
// "/" between names) map to the drive folder C and below it; Unix paths (/x/y) to the guest
// folder itself. The split is purely lexical: "." and ".." stay in the list, because only the
// resolver, which sees the symbolic links on the way, can give ".." its meaning.
#pragma once

#include <string>
#include <vector>

#include "hypervisor/Inventory.h"
#include "hypervisor/VMInfoStatus.h"

struct GuestPathParts {
  std::vector<std::string> names;  // below the guest folder; empty for the root itself
  // Leading names that are fixed parts of the guest (the drive of a Windows path): they must
  // exist and are never created, and ".." does not climb above them.
  size_t fixedDepth = 0;
};

// How many leading names are fixed parts of a guest of this family: 1 (the drive) on Windows.
size_t FixedDepth(GuestOsFamily family);

// The root listing of a browse: an empty path or a path of one backslash.
bool IsGuestRootListing(const std::string& guestPath);

// Splits an absolute guest path of the given family; a relative or malformed path is refused.
VMInfoStatus SplitGuestPath(GuestOsFamily family, const std::string& guestPath, GuestPathParts& parts);
