// The file system of one guest, kept in a folder on this machine, and the guest operations on it.
// Guest paths are parsed for the guest's OS family (GuestPath.h) and resolved inside the folder
// (GuestPathResolver.h), so no operation reads or changes anything outside it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hypervisor/GuestPath.h"
#include "hypervisor/GuestPathResolver.h"
#include "hypervisor/Inventory.h"
#include "hypervisor/UniqueFd.h"
#include "hypervisor/VMInfoStatus.h"
#include "vminfo/VMInfoStructs.h"

// Temporary files that copies of earlier runs left behind when they were killed between creating
// and renaming them. One record serves a whole job: each guest folder a copy writes into is swept
// once, and what was removed is kept for the job's log.
struct StaleTemporarySweep {
  std::set<std::pair<dev_t, ino_t>> swept;  // folders already swept
  std::vector<std::string> removed;         // guest paths removed since the log last took them
};

class GuestFolder {
 public:
  // `destination` is the restore's destination folder as a guest path (empty when none is known):
  // links on the way to it are followed, none below it, and every write below it replaces a link
  // at the final name instead of writing through it.
  static VMInfoStatus Open(const std::string& hostFolder, GuestOsFamily family, std::unique_ptr<GuestFolder>& folder,
                           const std::string& destination = std::string());

  // Appends the entries of a folder, or the one entry of a file, to `entries`. The root listing (an
  // empty path or "\") is one folder entry "/" on Unix guests and the drives ("C:") on Windows guests.
  VMInfoStatus Browse(const std::string& guestPath, bool foldersOnly,
                      std::vector<VMInfoStructs::SGuestFile>& entries) const;
  // Makes the folder exist, with its missing parents; an existing folder is success, a link in its
  // place is not.
  VMInfoStatus CreateFolder(const std::string& guestPath) const;
  // What the guest path of a file copy names: the file itself, or the folder to receive it.
  enum class CopyTarget { File, Folder };

  // Copies a local file (never through a link) to the guest path, creating missing parents. The copy
  // keeps the local file's mode bits and modification and access times as they were before it was
  // read. With CopyTarget::Folder the path names a folder (created when missing) that receives the
  // file under the local file's name; with CopyTarget::File a folder at the path refuses the copy.
  // The content lands under a temporary name and is renamed over the target, so a link at the
  // final name is replaced, never written through. Without `overwrite` an existing entry is left as
  // it is and the copy fails, so that nobody takes a kept file for a restored one.
  //
  // With a `backupSuffix`, a regular file the copy replaces is first kept under its name followed by
  // the suffix: a hard link to it, made under a temporary name just before the rename, checked to
  // be that very file (device and inode) and renamed over the backup name. The backup is thus
  // complete or absent and is the old file itself, with its owner, mode and times. A link or
  // anything but a regular file at the backup name fails the copy; the old file then stays.
  VMInfoStatus CopyFileIn(const std::string& localFile, const std::string& guestPath, bool overwrite,
                          CopyTarget into = CopyTarget::File, const std::string& backupSuffix = std::string()) const;
  // The SHA-256 digest (64 lower-case hexadecimal digits) of the regular file at the guest path,
  // read through a descriptor of the very entry the path resolved to, without following a link at
  // the name; an empty digest when the path holds nothing, a link, a folder or anything else.
  VMInfoStatus Sha256(const std::string& guestPath, std::string& digest) const;
  // Copies a local folder tree; every folder keeps its mode bits and times as well. Links to files
  // are copied as the files they lead to; a link to a folder stops the copy.
  VMInfoStatus CopyTreeIn(const std::string& localDir, const std::string& guestPath, bool overwrite) const;
  // Copies a guest file to a local path (replacing a local file), keeping its mode bits and times.
  VMInfoStatus CopyFileOut(const std::string& guestPath, const std::string& localFile) const;
  // Applies access and modification times (0 leaves a time as it is) and, on Unix guests, owner,
  // group and the mode bits (mask 07777). A link at the path is refused, never followed.
  VMInfoStatus ChangeAttributes(const std::string& guestPath, const VMInfoStructs::SGuestFile& attributes) const;
  // Removes a folder with everything in it; links inside are removed, never followed. The guest's
  // root and drives are never removed.
  VMInfoStatus DeleteFolder(const std::string& guestPath) const;
  // The guest's temporary folder ("/tmp", "C:\Windows\Temp"), created when missing.
  VMInfoStatus TempFolder(std::string& guestPath) const;

  GuestOsFamily family() const { return m_family; }

  // Before its first copy into a folder, a copy removes the temporary files of ours that killed
  // copies left there (regular files of the running user with one link, unchanged for a minute) and
  // records them in `sweep`. Without a sweep nothing is removed.
  void SetStaleTemporarySweep(StaleTemporarySweep* sweep) { m_sweep = sweep; }

 private:
  GuestFolder(GuestOsFamily family, UniqueFd root, std::vector<std::string> rootHostPaths, std::string destination);

  // Resolves with the destination's rule: names below the destination are never followed, and a
  // final link is kept (not followed) for every path below it and for every write.
  enum class Access { Read, Write };
  VMInfoStatus Resolve(const std::string& guestPath, Access access, ResolveOptions options,
                       ResolvedGuestEntry& resolved) const;
  VMInfoStatus BrowseRoot(bool foldersOnly, std::vector<VMInfoStructs::SGuestFile>& entries) const;
  VMInfoStatus CopyTreeIn(const std::string& localDir, const std::string& guestPath, bool overwrite,
                          int depth) const;
  std::string ChildPath(const std::string& guestPath, const std::string& name) const;

  GuestOsFamily m_family;
  std::string m_destination;
  UniqueFd m_root;
  GuestPathResolver m_resolver;
  StaleTemporarySweep* m_sweep = nullptr;
};
