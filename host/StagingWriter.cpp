#include "host/StagingWriter.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/FolderSource.h"
#include "platform/CNyPath.h"
#include "platform/PrivateFolderChain.h"

namespace {

constexpr mode_t kPermissionBits = 07777;
constexpr mode_t kSetIdBits = 06000;

// Closes a descriptor when the scope ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0) close(m_fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return m_fd; }
  // Closes now and reports a failed close (a late write error on some file systems).
  bool Close() {
    const int fd = m_fd;
    m_fd = -1;
    return close(fd) == 0;
  }

 private:
  int m_fd;
};

std::string Describe(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

bool SetTimes(int fd, const std::string& path, const struct stat& info, std::string& error) {
  const timespec times[2] = {info.st_atim, info.st_mtim};
  const int rc = fd >= 0 ? futimens(fd, times) : utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  if (rc != 0) {
    error = Describe("cannot set the times of", path);
    return false;
  }
  return true;
}

}  // namespace

CXFileHeader MakeFileHeader(const struct stat& info) {
  CXFileHeader header;
  header.mode = static_cast<int64_t>(info.st_mode & kPermissionBits);
  header.uid = static_cast<int64_t>(info.st_uid);
  header.gid = static_cast<int64_t>(info.st_gid);
  header.mtime = static_cast<int64_t>(info.st_mtime);
  header.ctime = static_cast<int64_t>(info.st_ctime);
  return header;
}

std::string StagedNameProblem(const std::string& relativePath) {
  if (relativePath.empty()) return "the entry has no name";
  if (relativePath.find('\0') != std::string::npos) return "the name holds a NUL byte";
  if (relativePath[0] == '/') return "the name is absolute";
  size_t start = 0;
  while (start <= relativePath.size()) {
    size_t end = relativePath.find('/', start);
    if (end == std::string::npos) end = relativePath.size();
    const std::string part = relativePath.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return "the name holds an empty, \".\" or \"..\" part";
    start = end + 1;
  }
  return "";
}

StagingWriter::StagingWriter(std::string sourceRoot, std::string stagingRoot)
    : m_ownSource(std::make_unique<FolderSource>(FolderSource::ForWalkedRoot(std::move(sourceRoot)))),
      m_source(m_ownSource.get()),
      m_stagingRoot(std::move(stagingRoot)) {}

StagingWriter::StagingWriter(SourceReader& source, std::string stagingRoot)
    : m_source(&source), m_stagingRoot(std::move(stagingRoot)) {}

std::string StagingWriter::StagedPath(const SourceEntry& entry) const {
  return m_stagingRoot + "/" + entry.relativePath;
}

bool StagingWriter::CreateRoot(std::string& error) const {
  const size_t slash = m_stagingRoot.find_last_of('/');
  if (slash == std::string::npos || slash + 1 == m_stagingRoot.size()) {
    error = "the staging folder " + m_stagingRoot + " has no parent folder";
    return false;
  }
  const std::string parent = slash == 0 ? "/" : m_stagingRoot.substr(0, slash);
  const std::string leaf = m_stagingRoot.substr(slash + 1);
  FileDescriptor parentFd(PrivateFolderChain::Open(parent, {}, false, error));
  if (parentFd.get() < 0) return false;
  struct stat parentInfo {};
  if (fstat(parentFd.get(), &parentInfo) != 0 || parentInfo.st_uid != geteuid()) {
    error = "the staging folder's parent " + parent + " does not belong to the user running the job";
    return false;
  }
  if (mkdirat(parentFd.get(), leaf.c_str(), 0700) != 0) {
    error = errno == EEXIST ? "the staging folder " + m_stagingRoot +
                                  " exists already; each job needs a fresh one (remove it when no job uses it)"
                            : Describe("cannot create the staging folder", m_stagingRoot);
    return false;
  }
  const UniqueFd root(openat(parentFd.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid()) {
    error = Describe("cannot open the staging folder", m_stagingRoot);
    return false;
  }
  uint64_t room = 0;
  return RoomIn(root.get(), room, error) && m_source->BoundToStagingRoom(room, error);
}

bool StagingWriter::RoomIn(int folder, uint64_t& room, std::string& error) const {
  struct statvfs space {};
  if (fstatvfs(folder, &space) != 0) {
    error = Describe("cannot tell the free space of the staging folder", m_stagingRoot);
    return false;
  }
  const uint64_t unit = space.f_frsize != 0 ? space.f_frsize : space.f_bsize;
  const uint64_t free = static_cast<uint64_t>(space.f_bavail) * unit;
  const uint64_t reserve = m_reserve != kDefaultReserve
                               ? m_reserve
                               : std::min<uint64_t>(uint64_t{1} << 30, static_cast<uint64_t>(space.f_blocks) * unit / 20);
  room = free > reserve ? free - reserve : 0;
  return true;
}

UniqueFd StagingWriter::OpenParent(const std::string& relativePath, std::string& leaf, std::string& error) const {
  const size_t last = relativePath.rfind('/');
  if (last != std::string::npos && m_lastFolderFd.valid() && last == m_lastFolder.size() &&
      relativePath.compare(0, last, m_lastFolder) == 0) {
    UniqueFd again(fcntl(m_lastFolderFd.get(), F_DUPFD_CLOEXEC, 0));
    if (again.valid()) {
      leaf = relativePath.substr(last + 1);
      return again;
    }
  }
  UniqueFd folder(open(m_stagingRoot.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.valid()) {
    error = Describe("cannot open the staging folder", m_stagingRoot);
    return folder;
  }
  size_t start = 0;
  for (size_t slash = relativePath.find('/'); slash != std::string::npos; slash = relativePath.find('/', start)) {
    const std::string name = relativePath.substr(start, slash - start);
    UniqueFd next(openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      error = Describe("cannot enter the staged folder", m_stagingRoot + "/" + relativePath.substr(0, slash));
      return next;
    }
    folder = std::move(next);
    start = slash + 1;
  }
  leaf = relativePath.substr(start);
  return folder;
}

bool StagingWriter::Stage(const SourceEntry& entry, struct stat& info, std::string& error) const {
  const std::string problem = StagedNameProblem(entry.relativePath);
  if (!problem.empty()) {
    error = problem;
    return false;
  }
  if (entry.kind != EntryKind::Folder && entry.kind != EntryKind::File) {
    error = "not a file or folder";
    return false;
  }
  const std::string staged = StagedPath(entry);
  std::string leaf;
  const UniqueFd parent = OpenParent(entry.relativePath, leaf, error);
  if (!parent.valid()) return false;
  if (entry.kind == EntryKind::Folder) {
    info = entry.info;
    if (!StageFolder(parent.get(), leaf, staged, info, error)) return false;
    m_lastFolderFd.Reset(openat(parent.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    m_lastFolder = entry.relativePath;
    return true;
  }
  return StageFile(parent.get(), leaf, entry, staged, info, error);
}

bool StagingWriter::StageFolder(int parent, const std::string& leaf, const std::string& staged,
                                const struct stat& info, std::string& error) const {
  const mode_t mode = (info.st_mode & kPermissionBits & ~kSetIdBits) | S_IRWXU;
  if (mkdirat(parent, leaf.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
    error = Describe("cannot create the staged folder", staged);
    return false;
  }
  // Entered without following a link at its name; mode and times go through the descriptor.
  FileDescriptor folder(openat(parent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) {
    error = Describe("cannot open the staged folder", staged);
    return false;
  }
  // mkdir applies the umask; the mode is set in full here.
  if (fchmod(folder.get(), mode) != 0) {
    error = Describe("cannot set the mode of", staged);
    return false;
  }
  return SetTimes(folder.get(), staged, info, error);
}

bool StagingWriter::StageFile(int parent, const std::string& leaf, const SourceEntry& entry,
                              const std::string& staged, struct stat& info, std::string& error) const {
  // An earlier, interrupted run may have left the file; it is replaced.
  unlinkat(parent, leaf.c_str(), 0);
  uint64_t room = 0;
  if (!RoomIn(parent, room, error)) return false;
  const auto size = static_cast<uint64_t>(std::max<off_t>(entry.info.st_size, 0));
  if (size > room) {
    error = "the staging file system has room for " + std::to_string(room) + " bytes (its free space less a reserve " +
            "for others), too little for the file's " + std::to_string(size) + " bytes";
    return false;
  }
  // Readable too: a reader may copy a hard link's content from its target's staged file.
  FileDescriptor out(openat(parent, leaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    error = Describe("cannot create the staged file", staged);
    return false;
  }
  bool ok = m_source->CopyContent(entry, out.get(), info, error);
  const mode_t mode = (info.st_mode & kPermissionBits & ~kSetIdBits) | S_IRUSR;
  if (ok && fchmod(out.get(), mode) != 0) {
    error = Describe("cannot set the mode of", staged);
    ok = false;
  } else if (ok && !SetTimes(out.get(), staged, info, error)) {
    ok = false;
  } else if (ok && !out.Close()) {
    error = Describe("cannot write", staged);
    ok = false;
  }
  if (!ok) unlinkat(parent, leaf.c_str(), 0);
  return ok;
}

void StagingWriter::Release(const SourceEntry& entry) const {
  if (entry.kind != EntryKind::File || !StagedNameProblem(entry.relativePath).empty()) return;
  std::string leaf;
  std::string error;
  const UniqueFd parent = OpenParent(entry.relativePath, leaf, error);
  if (parent.valid()) unlinkat(parent.get(), leaf.c_str(), 0);
}

bool StagingWriter::RemoveRoot(std::string& error) const {
  m_lastFolderFd.Reset();
  const CNyError removed = CNyDirectory::Remove(m_stagingRoot, true, true);
  if (removed.IsError()) {
    error = removed.AsString();
    return false;
  }
  return true;
}
