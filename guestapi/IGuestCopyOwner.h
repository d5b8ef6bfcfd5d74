// An extension that a guest channel may offer beside IGuestAPI: the owner a copied file gets before
// it takes its name. A channel without it gives the new file the login's owner until the
// attributes follow the copy. A caller asks for it with dynamic_cast.
#pragma once

#include <cstdint>

class IGuestCopyOwner {
 public:
  // The next CopyFileToGuest gives the new file numeric owner `uid` and group `gid` (as the backup
  // has them) through its descriptor before it replaces the entry, where the login may give them;
  // a negative `uid` or `gid` leaves it the login's. Taken by that one copy only.
  virtual void SetNextCopyOwner(int64_t uid, int64_t gid) = 0;

 protected:
  ~IGuestCopyOwner() = default;
};
