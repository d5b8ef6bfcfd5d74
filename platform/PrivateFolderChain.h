// Folders on this machine that hold the files of a job (the staging folder and its parents): every
// one of them must be such that only the running user can change what is in it, and none is
// reached through a link, so that another local user cannot steer a job's writes, mode changes
// or deletions elsewhere by planting folders or links ahead of it.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

namespace PrivateFolderChain {

// Why the folder described by `info` may not be part of a job's chain; empty when it may. A folder
// must belong to the running user (the configured base folder may also belong to root) and must not
// be writable by group or others, unless it has the sticky bit, which keeps others from renaming
// or removing entries they do not own.
std::string Refusal(const struct stat& info, bool isBase);

// Opens `base` (links above its last name are the installation's choice; `base` itself may not be a
// link), then each of `names` below it with O_NOFOLLOW | O_DIRECTORY, so that a link in the chain
// is refused rather than followed. With
// `create`, a missing folder is made with mode 0700. Every folder of the chain, `base` included,
// must pass Refusal. Returns a read-only descriptor of the last folder, which the caller closes,
// or -1 with `error` naming the folder and the reason.
int Open(const std::string& base, const std::vector<std::string>& names, bool create, std::string& error);

}  // namespace PrivateFolderChain
