// Small wrappers of the POSIX file calls that the guest folder needs. Each returns false with
// errno set on failure.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "hypervisor/Inventory.h"
#include "vminfo/VMInfoStructs.h"

namespace PosixFiles {

// Copies everything from `from` (read position onward) to `to`.
bool CopyBytes(int from, int to);

// The names in the folder held by `folderFd` (any descriptor of it, O_PATH included), without "."
// and "..", sorted.
bool ListFolder(int folderFd, std::vector<std::string>& names);

// Describes the entry `name` in `folderFd` (not following a final link); an empty `name` describes
// `folderFd` itself. Owner, group and mode are reported for Unix guests only.
bool DescribeEntry(int folderFd, const std::string& name, GuestOsFamily family, VMInfoStructs::SGuestFile& entry);

// A path that reaches the object held by `fd` (O_PATH included) for calls that take no descriptor.
std::string DescriptorPath(int fd);

// Opens the object held by the O_PATH descriptor `fd` again, with `flags`, as the same object.
int Reopen(int fd, int flags);

// Sets access and modification time of the object held by `fd`; a time of 0 is left as it is.
bool SetTimes(int fd, int64_t accessTime, int64_t modifyTime);
// Sets access and modification time of the object held by `fd` to those of `source`.
bool CopyTimes(int fd, const struct stat& source);
// Sets the mode bits (mask 07777) of the object held by `fd`.
bool SetMode(int fd, mode_t mode);

}  // namespace PosixFiles
