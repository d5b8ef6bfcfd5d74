// Archives made in a test with libarchive's writer: the members given one by one (hostile ones
// too: absolute names, "..", links, devices, sizes that lie), or a folder tree as it stands.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zqtest {

struct ArchiveMember {
  std::string name;
  mode_t type = S_IFREG;  // S_IFREG, S_IFDIR, S_IFLNK, S_IFIFO, S_IFCHR
  unsigned mode = 0644;
  unsigned uid = 0;
  unsigned gid = 0;
  long long mtime = 1600000000;
  std::string content;
  std::string linkTarget;  // a symbolic link's target, or with `hardLink` the member it links to
  bool hardLink = false;
  // The size the header declares; -1: the content's. With `dataAt`, the member is sparse: its
  // content lies at that offset, the rest is a hole, and the archive is a hand-written pax tar of
  // that one member (libarchive's writer writes no sparse maps).
  int64_t size = -1;
  int64_t dataAt = -1;
};

// Writes `members` to `path` in `format` (libarchive's names: "gnutar", "pax", "ustar", "newc",
// "zip", "7zip", with the writer's options after a ":", as "zip:compression=store") through
// `filter` ("none", "gzip", "bzip2", "xz", "lzma", "zstd", "lz4", "compress"). Fails the test when
// libarchive refuses.
void WriteArchive(const std::string& path, const std::string& format, const std::string& filter,
                  const std::vector<ArchiveMember>& members);

// The tree below `root` as members (lstat records: mode, owner, group, modification time), folders
// before their contents, in name order.
std::vector<ArchiveMember> MembersOfTree(const std::string& root);

}  // namespace zqtest
