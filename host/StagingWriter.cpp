#include "host/StagingWriter.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// Copies the whole of `in` to `out`; sendfile does the work in the kernel where it can.
bool CopyContent(int in, int out, off_t size) {
  off_t done = 0;
  while (done < size) {
    const ssize_t sent = sendfile(out, in, nullptr, static_cast<size_t>(size - done));
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return false;
    if (sent == 0) break;  // the file shrank since it was examined
    done += sent;
  }
  // Whatever the file grew by since it was examined is copied too.
  char buffer[65536];
  while (true) {
    const ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    for (ssize_t written = 0; written < got;) {
      const ssize_t n = write(out, buffer + written, static_cast<size_t>(got - written));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      written += n;
    }
  }
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

StagingWriter::StagingWriter(std::string sourceRoot, std::string stagingRoot)
    : m_sourceRoot(std::move(sourceRoot)), m_stagingRoot(std::move(stagingRoot)) {}

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
  return true;
}

bool StagingWriter::Stage(const SourceEntry& entry, struct stat& info, std::string& error) const {
  const std::string staged = StagedPath(entry);
  if (entry.kind == EntryKind::Folder) {
    info = entry.info;
    return StageFolder(staged, info, error);
  }
  if (entry.kind == EntryKind::File) {
    return StageFile(m_sourceRoot + "/" + entry.relativePath, staged, info, error);
  }
  error = "not a file or folder";
  return false;
}

bool StagingWriter::StageFolder(const std::string& staged, const struct stat& info, std::string& error) const {
  const mode_t mode = (info.st_mode & kPermissionBits & ~kSetIdBits) | S_IRWXU;
  if (mkdir(staged.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
    error = Describe("cannot create the staged folder", staged);
    return false;
  }
  // Entered without following a link at its name; mode and times go through the descriptor.
  FileDescriptor folder(open(staged.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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

bool StagingWriter::StageFile(const std::string& source, const std::string& staged, struct stat& info,
                              std::string& error) const {
  FileDescriptor in(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (in.get() < 0) {
    error = Describe("cannot open", source);
    return false;
  }
  if (fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "the source " + source + " is no longer a regular file";
    return false;
  }
  // An earlier, interrupted run may have left the file; it is replaced.
  unlink(staged.c_str());
  FileDescriptor out(open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    error = Describe("cannot create the staged file", staged);
    return false;
  }
  const mode_t mode = (info.st_mode & kPermissionBits & ~kSetIdBits) | S_IRUSR;
  bool ok = true;
  if (!CopyContent(in.get(), out.get(), info.st_size)) {
    error = Describe("cannot copy", source);
    ok = false;
  } else if (fchmod(out.get(), mode) != 0) {
    error = Describe("cannot set the mode of", staged);
    ok = false;
  } else if (!SetTimes(out.get(), staged, info, error)) {
    ok = false;
  } else if (!out.Close()) {
    error = Describe("cannot write", staged);
    ok = false;
  }
  if (!ok) unlink(staged.c_str());
  return ok;
}

void StagingWriter::Release(const SourceEntry& entry) const {
  if (entry.kind == EntryKind::File) unlink(StagedPath(entry).c_str());
}

bool StagingWriter::RemoveRoot(std::string& error) const {
  const CNyError removed = CNyDirectory::Remove(m_stagingRoot, true, true);
  if (removed.IsError()) {
    error = removed.AsString();
    return false;
  }
  return true;
}
