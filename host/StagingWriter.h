// Writes source entries into the staging folder that the plug-in published, the way the backup
// host restores them there: content, permission bits and times, and describes each entry in the
// per-entry header the plug-in reads.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "host/SourceReader.h"
#include "host/SourceTree.h"
#include "hypervisor/UniqueFd.h"
#include "platform/FSRRecords.h"

// The header of one entry: permission bits (set-id and sticky bits included), owner, group,
// modification time and change time of the source entry.
CXFileHeader MakeFileHeader(const struct stat& info);

// Why `relativePath` cannot be staged below the staging folder: empty, absolute, or with an
// empty, "." or ".." part or a NUL. Empty when it can.
std::string StagedNameProblem(const std::string& relativePath);

class StagingWriter {
 public:
  // Entries read from the folder `sourceRoot`.
  StagingWriter(std::string sourceRoot, std::string stagingRoot);
  // Entries read from `source`, which outlives the writer.
  StagingWriter(SourceReader& source, std::string stagingRoot);

  const std::string& stagingRoot() const { return m_stagingRoot; }
  std::string StagedPath(const SourceEntry& entry) const;

  // Creates the staging folder itself (its parent exists already), owner-only. The folder must not
  // exist yet, and its parent must belong to the running user and be closed to other users'
  // writes, so that nothing planted ahead of the job is staged into, changed or deleted. The
  // source then learns the room its file system has (SourceReader::BoundToStagingRoom) and may
  // refuse the job before anything is staged.
  bool CreateRoot(std::string& error) const;

  // The bytes of the staging file system kept free for everyone else: by default 1 GiB, or a
  // twentieth of a smaller file system. A file is staged only when it fits in the rest.
  void SetReserve(uint64_t bytes) { m_reserve = bytes; }

  // Stages one folder or file below the staging folder and nowhere else: the name is checked
  // (StagedNameProblem), and every folder on the way is entered through a descriptor opened with
  // O_NOFOLLOW, so a link planted in the staging folder leads nowhere. A file's content comes
  // from the source reader, and `info` receives the records of exactly the content that was
  // staged; a folder's `info` is its walk-time attributes. On failure nothing of the entry is
  // left behind. Staged folders stay writable by the owner so that their contents can follow;
  // staged files keep their permission bits except the set-id bits, which have no business on
  // the proxy. A file whose size does not fit in the staging file system's free space, less the
  // reserve, fails before anything of it is written: sparse or not, it counts by its size, which
  // is what the guest receives.
  bool Stage(const SourceEntry& entry, struct stat& info, std::string& error) const;

  // Removes a staged file once the plug-in is done with it, so that the staging folder never holds
  // more than one file at a time. A file already gone is fine.
  void Release(const SourceEntry& entry) const;

  // Removes the staging folder and whatever is left in it; true when it is gone.
  bool RemoveRoot(std::string& error) const;

 private:
  // The folder that holds `relativePath`, entered name by name from the staging folder without
  // following links; `leaf` is the entry's own name.
  UniqueFd OpenParent(const std::string& relativePath, std::string& leaf, std::string& error) const;
  bool StageFolder(int parent, const std::string& leaf, const std::string& staged, const struct stat& info,
                   std::string& error) const;
  bool StageFile(int parent, const std::string& leaf, const SourceEntry& entry, const std::string& staged,
                 struct stat& info, std::string& error) const;
  // The free bytes of the file system of `folder`, less the reserve; false with `error`.
  bool RoomIn(int folder, uint64_t& room, std::string& error) const;

  std::unique_ptr<SourceReader> m_ownSource;  // for a writer made with a source folder
  SourceReader* m_source;
  std::string m_stagingRoot;
  uint64_t m_reserve = kDefaultReserve;
  // The folder staged last, kept open: most entries lie right in it (contents follow their
  // folder), so a deep tree is not entered from the top again for every entry.
  mutable std::string m_lastFolder;
  mutable UniqueFd m_lastFolderFd;
  static constexpr uint64_t kDefaultReserve = ~uint64_t{0};  // 1 GiB or a twentieth, as above
};
