#include "platform/ProxyOutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/PrivateFolderChain.h"

namespace ProxyOutputFile {

namespace {

constexpr int kTemporaryAttempts = 16;

// A descriptor closed when it goes out of scope.
class HeldFd {
 public:
  explicit HeldFd(int fd) : m_fd(fd) {}
  HeldFd(const HeldFd&) = delete;
  HeldFd& operator=(const HeldFd&) = delete;
  ~HeldFd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  int get() const { return m_fd; }
  int release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }

 private:
  int m_fd;
};

const char* kLinkWords = "it is a link, and zqrestore never writes through a link (another user may have planted it)";

// Splits `path` into its folder and its last name.
bool Split(const std::string& path, std::string& folder, std::string& name, std::string& error) {
  const std::string::size_type slash = path.rfind('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    error = "cannot write " + path + ": it is a folder";
    return false;
  }
  return true;
}

// Opens and checks the folder that holds `path`; -1 with `error`.
int OpenFolder(const std::string& path, const std::string& folder, std::string& error) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int openError = errno;
    if (openError == ENOENT) {
      error = "cannot write " + path + ": the folder " + folder + " does not exist";
    } else if (openError == ELOOP || openError == ENOTDIR) {
      error = "cannot write " + path + ": the folder " + folder + " is a link or not a folder; " +
              "zqrestore does not write through a link";
    } else {
      error = "cannot write " + path + ": the folder " + folder + " cannot be opened: " + std::strerror(openError);
    }
    return -1;
  }
  HeldFd held(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = "cannot write " + path + ": the folder " + folder + " cannot be examined: " + std::strerror(errno);
    return -1;
  }
  const std::string refusal = PrivateFolderChain::Refusal(info, true);
  if (!refusal.empty()) {
    error = "cannot write " + path + ": the folder " + folder + " " + refusal;
    return -1;
  }
  return held.release();
}

// Why an existing file at `path`, described by `info` (not following a link), may not be written.
// A file appended to must have no other hard link; a file replaced by a rename may, as the other
// names keep the old content.
std::string FileRefusal(const std::string& path, const struct stat& info, bool appending) {
  if (S_ISLNK(info.st_mode)) return "cannot write " + path + ": " + kLinkWords;
  if (S_ISDIR(info.st_mode)) return "cannot write " + path + ": it is a folder";
  if (!S_ISREG(info.st_mode)) return "cannot write " + path + ": it is not a plain file";
  if (info.st_uid != ::geteuid()) {
    return "cannot write " + path + ": it belongs to user id " + std::to_string(info.st_uid) +
           ", not to the user running the job (" + std::to_string(::geteuid()) + ")";
  }
  if (appending && info.st_nlink > 1) {
    return "cannot write " + path + ": it has other hard links, so writing it would change another file too";
  }
  return std::string();
}

bool WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t written = ::write(fd, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

// Shifts NAME.1 .. NAME.<keep-1> up by one and NAME to NAME.1 (NAME itself is dropped when `keep`
// is 0). Only in a folder that no other user may write: there no name can have been planted.
bool Rotate(int folderFd, const std::string& name, int keep) {
  struct stat folder {};
  if (::fstat(folderFd, &folder) != 0 || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
  if (keep <= 0) return ::unlinkat(folderFd, name.c_str(), 0) == 0;
  for (int k = keep - 1; k >= 1; --k) {
    const std::string from = name + "." + std::to_string(k);
    const std::string to = name + "." + std::to_string(k + 1);
    if (::renameat(folderFd, from.c_str(), folderFd, to.c_str()) != 0 && errno != ENOENT) return false;
  }
  return ::renameat(folderFd, name.c_str(), folderFd, (name + ".1").c_str()) == 0;
}

// Opens (creating it with mode 0600) the file `name` of the held folder `folderFd`, the file at
// `path`, for `access`, and checks it through its descriptor with FileRefusal; `info` describes
// it. Returns the descriptor, still non-blocking, or -1 with `error`.
int OpenOurFileAt(int folderFd, const std::string& path, const std::string& name, int access, struct stat& info,
                  std::string& error) {
  // O_NONBLOCK: a planted FIFO must not hold the job up; it is refused below as not a plain file.
  const int fd =
      ::openat(folderFd, name.c_str(), access | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    // What was planted at the name says more than the error of the open (a sticky folder may
    // answer EACCES for another user's link, a FIFO without a reader ENXIO).
    const int openError = errno;
    error.clear();
    struct stat planted {};
    if (::fstatat(folderFd, name.c_str(), &planted, AT_SYMLINK_NOFOLLOW) == 0) error = FileRefusal(path, planted, true);
    if (error.empty()) error = "cannot write " + path + ": " + std::strerror(openError);
    return -1;
  }
  HeldFd file(fd);
  if (::fstat(fd, &info) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return -1;
  }
  error = FileRefusal(path, info, true);
  return error.empty() ? file.release() : -1;
}

}  // namespace

int OpenForAppend(const std::string& path, std::string& error) { return OpenForAppend(path, Rotation(), error); }

int OpenForAppend(const std::string& path, const Rotation& rotation, std::string& error) {
  std::string folder;
  std::string name;
  if (!Split(path, folder, name, error)) return -1;
  HeldFd folderFd(OpenFolder(path, folder, error));
  if (folderFd.get() < 0) return -1;
  struct stat info {};
  const int fd = OpenOurFileAt(folderFd.get(), path, name, O_WRONLY | O_APPEND, info, error);
  if (fd < 0) return -1;
  HeldFd file(fd);
  if (rotation.atBytes > 0 && static_cast<unsigned long long>(info.st_size) >= rotation.atBytes &&
      Rotate(folderFd.get(), name, rotation.keep)) {
    return OpenForAppend(path, Rotation(), error);
  }
  ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
  return file.release();
}

bool CheckReplaceable(const std::string& path, std::string& error) {
  std::string folder;
  std::string name;
  if (!Split(path, folder, name, error)) return false;
  HeldFd folderFd(OpenFolder(path, folder, error));
  if (folderFd.get() < 0) return false;
  struct stat info {};
  if (::fstatat(folderFd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) {
      if (::faccessat(folderFd.get(), ".", W_OK, AT_EACCESS) == 0) return true;
      error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  error = FileRefusal(path, info, false);
  return error.empty();
}

bool WriteWhole(const std::string& path, const std::string& content, std::string& error) {
  if (!CheckReplaceable(path, error)) return false;
  std::string folder;
  std::string name;
  Split(path, folder, name, error);
  HeldFd folderFd(OpenFolder(path, folder, error));
  if (folderFd.get() < 0) return false;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kTemporaryAttempts && fd < 0; ++attempt) {
    temporary = "." + name + ".zq-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    fd = ::openat(folderFd.get(), temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    error = "cannot write " + path + ": no temporary file could be made beside it: " + std::strerror(errno);
    return false;
  }
  HeldFd file(fd);
  if (!WriteAll(fd, content) || ::fsync(fd) != 0 ||
      ::renameat(folderFd.get(), temporary.c_str(), folderFd.get(), name.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlinkat(folderFd.get(), temporary.c_str(), 0);
    return false;
  }
  ::fsync(folderFd.get());
  return true;
}

int OpenPrivateForUpdate(const std::string& path, std::string& error) {
  std::string folder;
  std::string name;
  if (!Split(path, folder, name, error)) return -1;
  HeldFd folderFd(OpenFolder(path, folder, error));
  if (folderFd.get() < 0) return -1;
  struct stat info {};
  const int fd = OpenOurFileAt(folderFd.get(), path, name, O_RDWR, info, error);
  if (fd < 0) return -1;
  HeldFd file(fd);
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    error = "cannot use " + path + ": its mode is " + mode + ", and this file must be the running user's alone (0600)";
    return -1;
  }
  ::fcntl(fd, F_SETFL, O_RDWR);
  return file.release();
}

}  // namespace ProxyOutputFile
