#include "hypervisor/GuestFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <regex>

#include <boost/algorithm/string/predicate.hpp>

#include "hypervisor/PosixFiles.h"
#include "platform/ReplaceChoices.h"

using VMInfoStructs::SGuestFile;

namespace {

constexpr int kMaxTreeDepth = 256;

VMInfoStatus FileError(const std::string& what, int error) {
  return VMInfoStatus::Fail(VMInfoError::GuestFileError, what + ": " + std::strerror(error));
}

VMInfoStatus GuestFileError(const std::string& guestPath, const std::string& what) {
  return VMInfoStatus::Fail(VMInfoError::GuestFileError, "Guest path [" + guestPath + "] " + what);
}

std::string BaseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// The temporary names our copies and backups use: "." + the final name (cut) + ".zqrestore-" or
// ".zqrestore-backup-" + eight hexadecimal digits.
bool IsTemporaryNameOfOurs(const std::string& name) {
  static const std::regex pattern(R"(\..+\.zqrestore-(backup-)?[0-9a-f]{8})");
  return name.size() > 20 && name[0] == '.' && name.find(".zqrestore-") != std::string::npos &&
         std::regex_match(name, pattern);
}

// How long a temporary file of ours stays unchanged before it is taken for one a killed copy left:
// a copy that runs writes its file without pause, and its unnamed file gets a name only just
// before the rename.
constexpr time_t kStaleTemporarySeconds = 60;

// The guest path of the folder that holds `guestPath`, with its separator at the end.
std::string FolderOfGuestPath(const std::string& guestPath) {
  const size_t separator = guestPath.find_last_of("/\\");
  return separator == std::string::npos ? std::string() : guestPath.substr(0, separator + 1);
}

// Removes from the folder `folderFd` (the guest path `shownFolder`, ending in its separator) the temporary files of ours
// that killed copies left, each examined without following a link, and records them in `sweep`.
void SweepStaleTemporaries(int folderFd, const std::string& shownFolder, StaleTemporarySweep& sweep) {
  UniqueFd listing(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* folder = listing.valid() ? ::fdopendir(listing.get()) : nullptr;
  if (folder == nullptr) return;
  listing.release();
  const uid_t self = ::geteuid();
  const time_t now = ::time(nullptr);
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (!IsTemporaryNameOfOurs(name)) continue;
    struct stat info {};
    if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != self || info.st_nlink != 1 || info.st_mtime + kStaleTemporarySeconds > now) {
      continue;
    }
    if (::unlinkat(folderFd, name.c_str(), 0) == 0) sweep.removed.push_back(shownFolder + name);
  }
  ::closedir(folder);
}

// A file created in a guest folder. Where the file system allows it the file has no name until
// its content is complete (O_TMPFILE), so a copy killed on the way leaves nothing behind; else it
// is created under a temporary name and removed again unless committed.
class StagedGuestFile {
 public:
  explicit StagedGuestFile(int folderFd) : m_folderFd(folderFd) {}
  ~StagedGuestFile() {
    if (m_file.valid() && !m_committed && !m_name.empty()) ::unlinkat(m_folderFd, m_name.c_str(), 0);
  }
  StagedGuestFile(const StagedGuestFile&) = delete;
  StagedGuestFile& operator=(const StagedGuestFile&) = delete;

  bool Create(const std::string& finalName) {
    m_file.Reset(::openat(m_folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (m_file.valid()) return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    return CreateNamed(finalName);
  }
  int fd() const { return m_file.get(); }

  // Moves the file to its final name; rename replaces a link there, never writes through it.
  // Without `replace` an existing entry of that name stays and the commit fails with EEXIST.
  bool Commit(const std::string& finalName, bool replace) {
    if (m_name.empty()) {
      // An unnamed file: without `replace` it is linked under the final name, which fails if
      // anything is there; with it, it gets a temporary name first and is renamed over the name.
      const std::string self = "/proc/self/fd/" + std::to_string(m_file.get());
      if (!replace) {
        if (::linkat(AT_FDCWD, self.c_str(), m_folderFd, finalName.c_str(), AT_SYMLINK_FOLLOW) != 0) return false;
        m_committed = true;
        return true;
      }
      if (!LinkUnderTemporaryName(self, finalName)) return false;
    }
    const unsigned flags = replace ? 0 : RENAME_NOREPLACE;
    if (::renameat2(m_folderFd, m_name.c_str(), m_folderFd, finalName.c_str(), flags) == 0) {
      m_committed = true;
      return true;
    }
    if (!replace && errno == EINVAL) {  // file system without RENAME_NOREPLACE: a hard link is as atomic
      if (::linkat(m_folderFd, m_name.c_str(), m_folderFd, finalName.c_str(), 0) == 0) return true;
    }
    return false;
  }

 private:
  static std::string TemporaryName(const std::string& finalName, std::mt19937& generator) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(generator()));
    return "." + finalName.substr(0, NAME_MAX - 32) + ".zqrestore-" + suffix;
  }

  bool CreateNamed(const std::string& finalName) {
    std::random_device seed;
    std::mt19937 generator(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      m_name = TemporaryName(finalName, generator);
      m_file.Reset(::openat(m_folderFd, m_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (m_file.valid() || errno != EEXIST) return m_file.valid();
    }
    m_name.clear();
    return false;
  }

  bool LinkUnderTemporaryName(const std::string& self, const std::string& finalName) {
    std::random_device seed;
    std::mt19937 generator(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = TemporaryName(finalName, generator);
      if (::linkat(AT_FDCWD, self.c_str(), m_folderFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        m_name = name;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  int m_folderFd;
  std::string m_name;
  UniqueFd m_file;
  bool m_committed = false;
};

// Keeps the regular file `name` in `folderFd`, described by `old`, as `name` + `suffix`: a hard link
// under a temporary name (complete in one step, the old file itself), checked to be the file that
// was examined, renamed over the backup name. rename never follows a link there, and a link or
// anything but a regular file found there beforehand fails the backup.
VMInfoStatus KeepBackup(int folderFd, const std::string& name, const struct stat& old, const std::string& suffix,
                        const std::string& shownGuestPath) {
  const std::string backup = name + suffix;
  const std::string shownBackup = shownGuestPath + suffix;
  struct stat there {};
  if (::fstatat(folderFd, backup.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(there.st_mode)) {
      const char* what = S_ISLNK(there.st_mode) ? "is a link; it is neither followed nor replaced"
                                                : "is not a regular file; it is not replaced";
      return GuestFileError(shownBackup, std::string(what) + " by the backup, and the file is not copied");
    }
  } else if (errno != ENOENT) {
    return FileError("Backup name [" + shownBackup + "] cannot be examined", errno);
  }
  std::random_device seed;
  char token[16];
  std::snprintf(token, sizeof token, "%08x", static_cast<unsigned>(seed()));
  const std::string temporary = "." + name.substr(0, NAME_MAX - 40) + ".zqrestore-backup-" + token;
  const std::string what = "Cannot keep a backup of guest file [" + shownGuestPath + "]";
  if (::linkat(folderFd, name.c_str(), folderFd, temporary.c_str(), 0) != 0) return FileError(what, errno);
  struct stat linked {};
  if (::fstatat(folderFd, temporary.c_str(), &linked, AT_SYMLINK_NOFOLLOW) != 0 || linked.st_dev != old.st_dev ||
      linked.st_ino != old.st_ino) {
    ::unlinkat(folderFd, temporary.c_str(), 0);
    return GuestFileError(shownGuestPath, "was replaced while its backup was made; the file is not copied");
  }
  if (::renameat(folderFd, temporary.c_str(), folderFd, backup.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(folderFd, temporary.c_str(), 0);
    return FileError(what, error);
  }
  return VMInfoStatus::Ok();
}

// Removes the folder `name` in `parentFd` and everything in it, never following a link.
bool RemoveTree(int parentFd, const std::string& name) {
  UniqueFd folder(::openat(parentFd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.valid()) {
    // Not a folder (any more): remove the entry itself.
    if (errno == ENOTDIR || errno == ELOOP) return ::unlinkat(parentFd, name.c_str(), 0) == 0;
    return false;
  }
  std::vector<std::string> children;
  if (!PosixFiles::ListFolder(folder.get(), children)) return false;
  for (const std::string& child : children) {
    struct stat info {};
    if (::fstatat(folder.get(), child.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return false;
    }
    const bool removed = S_ISDIR(info.st_mode) ? RemoveTree(folder.get(), child)
                                               : ::unlinkat(folder.get(), child.c_str(), 0) == 0 || errno == ENOENT;
    if (!removed) return false;
  }
  return ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace

VMInfoStatus GuestFolder::Open(const std::string& hostFolder, GuestOsFamily family,
                               std::unique_ptr<GuestFolder>& folder, const std::string& destination) {
  UniqueFd root(::open(hostFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) return FileError("Guest folder [" + hostFolder + "] cannot be opened", errno);
  std::vector<std::string> rootHostPaths;
  std::string configured = hostFolder;
  while (configured.size() > 1 && configured.back() == '/') configured.pop_back();
  rootHostPaths.push_back(configured);
  if (char* real = ::realpath(hostFolder.c_str(), nullptr)) {
    if (configured != real) rootHostPaths.push_back(real);
    std::free(real);
  }
  folder.reset(new GuestFolder(family, std::move(root), std::move(rootHostPaths), destination));
  return VMInfoStatus::Ok();
}

GuestFolder::GuestFolder(GuestOsFamily family, UniqueFd root, std::vector<std::string> rootHostPaths,
                         std::string destination)
    : m_family(family),
      m_destination(std::move(destination)),
      m_root(std::move(root)),
      m_resolver(m_root.get(), std::move(rootHostPaths)) {}

VMInfoStatus GuestFolder::Resolve(const std::string& guestPath, Access access, ResolveOptions options,
                                  ResolvedGuestEntry& resolved) const {
  GuestPathParts parts;
  VMInfoStatus status = SplitGuestPath(m_family, guestPath, parts);
  if (!status.ok()) return status;
  GuestPathParts destination;
  bool withinDestination = false;
  if (!m_destination.empty() && SplitGuestPath(m_family, m_destination, destination).ok() &&
      parts.names.size() >= destination.names.size()) {
    withinDestination = true;
    for (size_t i = 0; withinDestination && i < destination.names.size(); ++i) {
      withinDestination = m_family == GuestOsFamily::Windows
                              ? boost::algorithm::iequals(parts.names[i], destination.names[i])
                              : parts.names[i] == destination.names[i];
    }
  }
  const bool isDestination = withinDestination && parts.names.size() == destination.names.size();
  if (withinDestination && !isDestination) {
    options.trustedNames = destination.names.size();
    options.finalLink = FinalLink::Keep;
  }
  // The destination itself may be a link the operator chose; any other write replaces or refuses
  // a link at its final name.
  if (access == Access::Write && !isDestination) options.finalLink = FinalLink::Keep;
  return m_resolver.Resolve(guestPath, parts, options, resolved);
}

std::string GuestFolder::ChildPath(const std::string& guestPath, const std::string& name) const {
  const char separator = m_family == GuestOsFamily::Windows ? '\\' : '/';
  if (!guestPath.empty() && (guestPath.back() == separator || guestPath.back() == '/')) return guestPath + name;
  return guestPath + separator + name;
}

VMInfoStatus GuestFolder::BrowseRoot(bool foldersOnly, std::vector<SGuestFile>& entries) const {
  if (m_family == GuestOsFamily::Unix) {
    SGuestFile root;
    if (!PosixFiles::DescribeEntry(m_root.get(), "", m_family, root)) return FileError("Guest root", errno);
    root.name = "/";
    entries.push_back(root);
    return VMInfoStatus::Ok();
  }
  std::vector<std::string> names;
  if (!PosixFiles::ListFolder(m_root.get(), names)) return FileError("Guest drives cannot be listed", errno);
  for (const std::string& name : names) {
    if (name.size() != 1 || !std::isupper(static_cast<unsigned char>(name[0]))) continue;
    SGuestFile drive;
    if (!PosixFiles::DescribeEntry(m_root.get(), name, m_family, drive)) continue;
    if (drive.type != VMInfoStructs::GuestFileDirectory) continue;
    drive.name = name + ":";
    entries.push_back(drive);
  }
  (void)foldersOnly;  // drives are folders
  return VMInfoStatus::Ok();
}

VMInfoStatus GuestFolder::Browse(const std::string& guestPath, bool foldersOnly, std::vector<SGuestFile>& entries) const {
  if (IsGuestRootListing(guestPath)) return BrowseRoot(foldersOnly, entries);
  ResolvedGuestEntry target;
  VMInfoStatus status = Resolve(guestPath, Access::Read, ResolveOptions(), target);
  if (!status.ok()) return status;
  if (!target.exists()) return GuestFileError(guestPath, "does not exist");

  if (!S_ISDIR(target.info.st_mode)) {
    if (foldersOnly) return VMInfoStatus::Ok();
    SGuestFile file;
    if (!PosixFiles::DescribeEntry(target.entry.get(), "", m_family, file)) return FileError(guestPath, errno);
    file.name = target.name;
    entries.push_back(file);
    return VMInfoStatus::Ok();
  }
  std::vector<std::string> names;
  if (!PosixFiles::ListFolder(target.entry.get(), names)) return FileError("Guest folder [" + guestPath + "]", errno);
  for (const std::string& name : names) {
    SGuestFile entry;
    if (!PosixFiles::DescribeEntry(target.entry.get(), name, m_family, entry)) continue;  // gone meanwhile
    if (foldersOnly && entry.type != VMInfoStructs::GuestFileDirectory) continue;
    entries.push_back(entry);
  }
  return VMInfoStatus::Ok();
}

VMInfoStatus GuestFolder::CreateFolder(const std::string& guestPath) const {
  ResolveOptions options;
  options.createFolders = true;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ResolvedGuestEntry target;
    VMInfoStatus status = Resolve(guestPath, Access::Write, options, target);
    if (!status.ok()) return status;
    if (target.exists()) {
      if (S_ISLNK(target.info.st_mode)) {
        return GuestFileError(guestPath, "is a symbolic link, not a folder; links are not followed");
      }
      return S_ISDIR(target.info.st_mode) ? VMInfoStatus::Ok() : GuestFileError(guestPath, "exists and is not a folder");
    }
    if (::mkdirat(target.parent.get(), target.name.c_str(), 0755) == 0) return VMInfoStatus::Ok();
    if (errno != EEXIST) return FileError("Guest folder [" + guestPath + "] cannot be created", errno);
    // Created by someone else meanwhile: look again.
  }
  return GuestFileError(guestPath, "cannot be created");
}

VMInfoStatus GuestFolder::CopyFileIn(const std::string& localFile, const std::string& guestPath, bool overwrite,
                                     CopyTarget into, const std::string& backupSuffix) const {
  // O_NONBLOCK: a FIFO in place of the file must not block the open; regular files ignore it.
  // O_NOFOLLOW: a staged link is not a staged file. O_NOATIME keeps the access time that the copy
  // carries over (allowed for the file's owner only; others read it as it is).
  constexpr int kSourceFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd source(::open(localFile.c_str(), kSourceFlags | O_NOATIME));
  if (!source.valid() && errno == EPERM) source.Reset(::open(localFile.c_str(), kSourceFlags));
  if (!source.valid()) return FileError("Local file [" + localFile + "] cannot be read", errno);
  struct stat sourceInfo {};
  if (::fstat(source.get(), &sourceInfo) != 0) return FileError("Local file [" + localFile + "]", errno);
  if (!S_ISREG(sourceInfo.st_mode)) return FileError("Local file [" + localFile + "] cannot be copied", EINVAL);

  ResolveOptions options;
  options.createFolders = true;
  ResolvedGuestEntry target;
  std::string shownGuestPath = guestPath;
  VMInfoStatus status = VMInfoStatus::Ok();
  if (into == CopyTarget::Folder) {
    // The folder receives the file under the local file's own name, as a copy command does.
    status = CreateFolder(guestPath);
    shownGuestPath = ChildPath(guestPath, BaseName(localFile));
  }
  if (status.ok()) status = Resolve(shownGuestPath, Access::Write, options, target);
  if (!status.ok()) return status;
  if (target.exists()) {
    if (S_ISDIR(target.info.st_mode)) return GuestFileError(shownGuestPath, "is a folder; no file is copied over it");
    if (!S_ISREG(target.info.st_mode) && !S_ISLNK(target.info.st_mode)) {
      return GuestFileError(shownGuestPath, "exists and is not a regular file");
    }
    if (!overwrite) return GuestFileError(shownGuestPath, "already exists and is left as it is");
  }

  struct stat parentInfo {};
  if (m_sweep != nullptr && ::fstat(target.parent.get(), &parentInfo) == 0 &&
      m_sweep->swept.insert({parentInfo.st_dev, parentInfo.st_ino}).second) {
    SweepStaleTemporaries(target.parent.get(), FolderOfGuestPath(shownGuestPath), *m_sweep);
  }
  StagedGuestFile staged(target.parent.get());
  const std::string what = "Cannot copy [" + localFile + "] to guest path [" + shownGuestPath + "]";
  if (!staged.Create(target.name)) return FileError(what, errno);
  if (!PosixFiles::CopyBytes(source.get(), staged.fd())) return FileError(what, errno);
  if (::fchmod(staged.fd(), sourceInfo.st_mode & 07777) != 0) return FileError(what, errno);
  const timespec times[2] = {sourceInfo.st_atim, sourceInfo.st_mtim};
  if (::futimens(staged.fd(), times) != 0) return FileError(what, errno);
  if (!backupSuffix.empty() && overwrite && target.exists() && S_ISREG(target.info.st_mode)) {
    const std::string problem = ReplaceChoices::BackupSuffixProblem(backupSuffix);
    if (!problem.empty()) return GuestFileError(shownGuestPath, "is not copied: " + problem);
    status = KeepBackup(target.parent.get(), target.name, target.info, backupSuffix, shownGuestPath);
    if (!status.ok()) return status;
  }
  if (!staged.Commit(target.name, overwrite)) {
    if (errno == EEXIST) return GuestFileError(shownGuestPath, "appeared during the copy and is left as it is");
    return FileError(what, errno);
  }
  return VMInfoStatus::Ok();
}

VMInfoStatus GuestFolder::Sha256(const std::string& guestPath, std::string& digest) const {
  digest.clear();
  ResolvedGuestEntry source;
  // Resolved as for a write: a link at the name is kept, never followed.
  VMInfoStatus status = Resolve(guestPath, Access::Write, ResolveOptions(), source);
  if (!status.ok()) return status;
  if (!source.exists() || !S_ISREG(source.info.st_mode)) return VMInfoStatus::Ok();
  // The resolved entry's own descriptor is opened again: whatever the name holds by now, this is
  // the file that was examined.
  UniqueFd readable(PosixFiles::Reopen(source.entry.get(), O_RDONLY | O_NONBLOCK));
  if (!readable.valid()) return FileError("Guest file [" + guestPath + "] cannot be read", errno);
  std::string problem;
  if (!ReplaceChoices::Sha256OfDescriptor(readable.get(), digest, problem)) {
    return VMInfoStatus::Fail(VMInfoError::GuestFileError, "Guest file [" + guestPath + "] cannot be read: " + problem);
  }
  return VMInfoStatus::Ok();
}

VMInfoStatus GuestFolder::CopyTreeIn(const std::string& localDir, const std::string& guestPath, bool overwrite) const {
  return CopyTreeIn(localDir, guestPath, overwrite, 0);
}

VMInfoStatus GuestFolder::CopyTreeIn(const std::string& localDir, const std::string& guestPath, bool overwrite,
                                     int depth) const {
  if (depth > kMaxTreeDepth) return FileError("Local folder [" + localDir + "] is nested too deeply", ELOOP);
  UniqueFd source(::open(localDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!source.valid()) return FileError("Local folder [" + localDir + "] cannot be opened", errno);
  struct stat sourceInfo {};
  if (::fstat(source.get(), &sourceInfo) != 0) return FileError("Local folder [" + localDir + "]", errno);
  VMInfoStatus status = CreateFolder(guestPath);
  if (!status.ok()) return status;

  std::vector<std::string> names;
  if (!PosixFiles::ListFolder(source.get(), names)) return FileError("Local folder [" + localDir + "]", errno);
  for (const std::string& name : names) {
    const std::string localChild = localDir + "/" + name;
    struct stat childInfo {};
    if (::lstat(localChild.c_str(), &childInfo) != 0) return FileError("Local path [" + localChild + "]", errno);
    const bool isLink = S_ISLNK(childInfo.st_mode);
    if (isLink && ::stat(localChild.c_str(), &childInfo) != 0) {
      return FileError("Local link [" + localChild + "] cannot be followed", errno);
    }
    if (isLink && S_ISDIR(childInfo.st_mode)) {
      // A linked folder could lead anywhere on this machine, or round in a loop: not copied.
      return FileError("Local path [" + localChild + "] is a link to a folder and is not copied", ELOOP);
    }
    // CopyFileIn reads no link, so a linked file is read through its target's own path.
    std::string readable = localChild;
    if (isLink && !S_ISDIR(childInfo.st_mode)) {
      char* real = ::realpath(localChild.c_str(), nullptr);
      if (real == nullptr) return FileError("Local link [" + localChild + "] cannot be followed", errno);
      readable = real;
      std::free(real);
    }
    status = S_ISDIR(childInfo.st_mode) ? CopyTreeIn(localChild, ChildPath(guestPath, name), overwrite, depth + 1)
                                        : CopyFileIn(readable, ChildPath(guestPath, name), overwrite);
    if (!status.ok()) return status;
  }

  // The folder's own times last, after its contents stopped changing them.
  ResolvedGuestEntry target;
  status = Resolve(guestPath, Access::Write, ResolveOptions(), target);
  if (!status.ok()) return status;
  if (!target.exists()) return GuestFileError(guestPath, "vanished during the copy");
  if (!S_ISDIR(target.info.st_mode)) return GuestFileError(guestPath, "is no longer a folder");
  if (!PosixFiles::SetMode(target.entry.get(), sourceInfo.st_mode) ||
      !PosixFiles::CopyTimes(target.entry.get(), sourceInfo)) {
    return FileError("Guest folder [" + guestPath + "] attributes cannot be set", errno);
  }
  return VMInfoStatus::Ok();
}

VMInfoStatus GuestFolder::CopyFileOut(const std::string& guestPath, const std::string& localFile) const {
  ResolvedGuestEntry source;
  VMInfoStatus status = Resolve(guestPath, Access::Read, ResolveOptions(), source);
  if (!status.ok()) return status;
  if (!source.exists()) return GuestFileError(guestPath, "does not exist");
  if (!S_ISREG(source.info.st_mode)) return GuestFileError(guestPath, "is not a regular file");
  UniqueFd readable(PosixFiles::Reopen(source.entry.get(), O_RDONLY));
  if (!readable.valid()) return FileError("Guest file [" + guestPath + "] cannot be read", errno);

  const std::string what = "Cannot copy guest file [" + guestPath + "] to [" + localFile + "]";
  UniqueFd target(::open(localFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!target.valid()) return FileError(what, errno);
  if (!PosixFiles::CopyBytes(readable.get(), target.get())) return FileError(what, errno);
  if (::fchmod(target.get(), source.info.st_mode & 07777) != 0) return FileError(what, errno);
  const timespec times[2] = {source.info.st_atim, source.info.st_mtim};
  if (::futimens(target.get(), times) != 0) return FileError(what, errno);
  return VMInfoStatus::Ok();
}

VMInfoStatus GuestFolder::ChangeAttributes(const std::string& guestPath, const SGuestFile& attributes) const {
  ResolvedGuestEntry target;
  VMInfoStatus status = Resolve(guestPath, Access::Write, ResolveOptions(), target);
  if (!status.ok()) return status;
  if (!target.exists()) return GuestFileError(guestPath, "does not exist");
  if (S_ISLNK(target.info.st_mode)) {
    return GuestFileError(guestPath, "is a symbolic link; its attributes are not set and it is not followed");
  }
  const int fd = target.entry.get();
  const std::string what = "Attributes of guest path [" + guestPath + "] cannot be set";
  if (m_family == GuestOsFamily::Unix) {
    const uid_t uid = static_cast<uid_t>(attributes.uid);
    const gid_t gid = static_cast<gid_t>(attributes.gid);
    if ((uid != target.info.st_uid || gid != target.info.st_gid) && ::fchownat(fd, "", uid, gid, AT_EMPTY_PATH) != 0) {
      return FileError(what + " (owner " + std::to_string(attributes.uid) + ", group " +
                           std::to_string(attributes.gid) + ")",
                       errno);
    }
    if (!PosixFiles::SetMode(fd, static_cast<mode_t>(attributes.mode))) return FileError(what + " (mode)", errno);
  }
  if (!PosixFiles::SetTimes(fd, attributes.accessTime, attributes.modifyTime)) {
    return FileError(what + " (times)", errno);
  }
  return VMInfoStatus::Ok();
}

VMInfoStatus GuestFolder::DeleteFolder(const std::string& guestPath) const {
  ResolveOptions options;
  options.finalLink = FinalLink::Keep;
  ResolvedGuestEntry target;
  VMInfoStatus status = Resolve(guestPath, Access::Write, options, target);
  if (!status.ok()) return status;
  if (target.depth <= FixedDepth(m_family)) {
    return VMInfoStatus::Fail(VMInfoError::GuestPathRefused,
                              "Guest path [" + guestPath + "] is the root of the guest or of a drive and is not deleted");
  }
  if (!target.exists()) return GuestFileError(guestPath, "does not exist");
  if (!S_ISDIR(target.info.st_mode)) return GuestFileError(guestPath, "is not a folder");
  if (!RemoveTree(target.parent.get(), target.name)) {
    return FileError("Guest folder [" + guestPath + "] cannot be deleted", errno);
  }
  return VMInfoStatus::Ok();
}

VMInfoStatus GuestFolder::TempFolder(std::string& guestPath) const {
  const std::string folder = m_family == GuestOsFamily::Windows ? "C:\\Windows\\Temp" : "/tmp";
  VMInfoStatus status = CreateFolder(folder);
  if (status.ok()) guestPath = folder;
  return status;
}
