// Where the entries of a restore come from: a folder on the proxy, an archive or a disk image. A reader serves
// one job: it lists the entries once (Walk), then hands out the content of each file as the job
// stages it (CopyContent). Which reader a source gets depends on its content, not its name.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "host/SourceTree.h"

// Bounds on what an archive may expand to, so that a crafted one (a compression bomb, millions of
// empty entries) ends the job with a clear error instead of filling the proxy.
struct SourceLimits {
  static constexpr uint64_t kDefaultMaxEntries = 1000000;
  // The expansion bound that follows the staging file system: its free space, less a reserve,
  // once the staging folder exists (SourceReader::BoundToStagingRoom).
  static constexpr uint64_t kFollowStagingSpace = 0;
  uint64_t maxEntries = kDefaultMaxEntries;
  uint64_t maxExpandedBytes = kFollowStagingSpace;

  // The bound in force: the fixed one, or none yet while it follows the staging space.
  uint64_t ExpansionBound() const {
    return maxExpandedBytes == kFollowStagingSpace ? ~uint64_t{0} : maxExpandedBytes;
  }

  // For a bound that follows the staging space: takes `room` as the bound, and refuses with
  // `error` a source whose `declared` bytes (its files, which `what` names: "the archive's members")
  // need more already. A fixed bound stays as it is.
  bool FollowStagingRoom(uint64_t room, uint64_t declared, const std::string& what, std::string& error);
};

class SourceReader {
 public:
  virtual ~SourceReader() = default;

  // What the source is, for the summary: "folder", "file", "archive (tar, zstd)".
  virtual std::string Kind() const = 0;

  // Lists the entries below `sourcePath` ("" for all of it) into `tree`, folders before their
  // contents. Entries that cannot be restored stay in the list with their reason. False with
  // `error` when the source as a whole cannot be read or passes a limit.
  virtual bool Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) = 0;

  // Writes the content of the file `entry` (from this reader's Walk) into `out`, an empty file
  // open for reading and writing, and sets `info` to the records of exactly what was written. Holes the
  // source reports stay holes. False with `error`; the caller removes what was written.
  virtual bool CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) = 0;

  // Called once the staging folder exists, with `room`: the bytes its file system has free, less
  // a reserve. A reader whose expansion bound was left to follow the staging space takes `room` as
  // that bound, and refuses with `error` a source that already declares more.
  virtual bool BoundToStagingRoom(uint64_t room, std::string& error) {
    (void)room;
    (void)error;
    return true;
  }
};

// The reader for `path`: a folder, a disk image (its appliance started and its file systems
// mounted read-only; `imageRoot` names the file system to use where inspection cannot tell), an
// archive that libarchive reads (tar, cpio, zip, 7z with their compressions), else a single file.
// Null with `error` when `path` cannot be read as what its content says it is.
std::unique_ptr<SourceReader> OpenSource(const std::string& path, const SourceLimits& limits, std::string& error,
                                         const std::string& imageRoot = "");

// `sourcePath` made plain: "/"-separated names without "." or empty parts, no leading or trailing
// "/". False with `error` when it holds "..".
bool NormalSourcePath(const std::string& sourcePath, std::string& normal, std::string& error);
