// Finds where a guest path leads inside a VM's guest folder without ever leaving it.
//
// Every name is opened with openat(O_PATH | O_NOFOLLOW) relative to the descriptor of the folder
// reached so far, so a name is looked at exactly once and nothing can be swapped between the check
// and the use. Symbolic links are read and their targets walked the same way: a relative target
// from the link's folder, an absolute one only when it lies inside the guest folder (then from the
// guest folder's root). ".." steps back to the folder the walk came from; a ".." or a link that
// would leave the guest folder (or climb above a Windows drive) refuses the path.
//
// Below a trusted prefix (the restore's destination folder) no link is followed at all: a link
// where a folder is expected refuses the path, and a ".." may not climb back into the prefix.
// Ordinary guest users own and fill the folders below the destination, so a link there says
// nothing about where the restore should write.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "hypervisor/GuestPath.h"
#include "hypervisor/UniqueFd.h"
#include "hypervisor/VMInfoStatus.h"

struct ResolvedGuestEntry {
  UniqueFd parent;        // O_PATH descriptor of the folder that holds the entry; invalid for the root
  std::string name;       // the entry's name in `parent`; empty for the guest folder's root
  UniqueFd entry;         // O_PATH descriptor of the entry itself; invalid when the entry is missing
  struct stat info {};    // of `entry`, when it exists
  std::string shownPath;  // where the path led, below the guest folder, for messages ("/C/data/a.txt")
  size_t depth = 0;       // names between the guest folder and the entry: 0 for the root, 1 for a drive

  bool exists() const { return entry.valid(); }
};

enum class FinalLink { Follow, Keep };

struct ResolveOptions {
  bool createFolders = false;  // create missing folders on the way (never the final name, never a drive)
  FinalLink finalLink = FinalLink::Follow;
  // How many leading names of the path may be reached through links (the destination folder the
  // operator chose); names after them are never followed. The default trusts the whole path.
  size_t trustedNames = static_cast<size_t>(-1);
};

class GuestPathResolver {
 public:
  static constexpr int kMaxLinks = 40;

  // `rootFd` (borrowed) is an O_PATH descriptor of the guest folder; `rootHostPaths` are the host
  // paths under which an absolute link target counts as inside the guest folder.
  GuestPathResolver(int rootFd, std::vector<std::string> rootHostPaths);

  // A missing final name is not an error: the result then has `parent` and `name` but no `entry`.
  // A missing folder on the way is (unless created).
  VMInfoStatus Resolve(const std::string& guestPath, const GuestPathParts& parts, const ResolveOptions& options,
                       ResolvedGuestEntry& resolved) const;

 private:
  bool BelowRoot(const std::string& hostPath, std::string& below) const;

  int m_rootFd;
  std::vector<std::string> m_rootHostPaths;
};
