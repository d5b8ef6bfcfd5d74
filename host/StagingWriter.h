// Writes source entries into the staging folder that the plug-in published, the way the backup
// host restores them there: content, permission bits and times, and describes each entry in the
// per-entry header the plug-in reads.
#pragma once

#include <sys/stat.h>

#include <string>

#include "host/SourceTree.h"
#include "platform/FSRRecords.h"

// The header of one entry: permission bits (set-id and sticky bits included), owner, group,
// modification time and change time of the source entry.
CXFileHeader MakeFileHeader(const struct stat& info);

class StagingWriter {
 public:
  StagingWriter(std::string sourceRoot, std::string stagingRoot);

  const std::string& stagingRoot() const { return m_stagingRoot; }
  std::string StagedPath(const SourceEntry& entry) const;

  // Creates the staging folder itself (its parent exists already), owner-only. The folder must not
  // exist yet, and its parent must belong to the running user and be closed to other users'
  // writes, so that nothing planted ahead of the job is staged into, changed or deleted.
  bool CreateRoot(std::string& error) const;

  // Stages one folder or file, never through a link at the staged name: folders are entered and
  // changed through descriptors opened with O_NOFOLLOW. A file is copied without following
  // symbolic links and re-examined
  // after opening, so `info` receives the attributes of exactly the content that was staged; a
  // folder's `info` is its walk-time attributes. On failure nothing of the entry is left behind.
  // Staged folders stay writable by the owner so that their contents can follow; staged files
  // keep their permission bits except the set-id bits, which have no business on the proxy.
  bool Stage(const SourceEntry& entry, struct stat& info, std::string& error) const;

  // Removes a staged file once the plug-in is done with it, so that the staging folder never holds
  // more than one file at a time. A file already gone is fine.
  void Release(const SourceEntry& entry) const;

  // Removes the staging folder and whatever is left in it; true when it is gone.
  bool RemoveRoot(std::string& error) const;

 private:
  bool StageFolder(const std::string& staged, const struct stat& info, std::string& error) const;
  bool StageFile(const std::string& source, const std::string& staged, struct stat& info,
                 std::string& error) const;

  std::string m_sourceRoot;
  std::string m_stagingRoot;
};
