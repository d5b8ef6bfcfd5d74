#include "platform/CNyPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool CNyPath::IsDirectory(const std::string& path, CNyError& error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    error = CNyError::FromErrno(errno, "stat [" + path + "]");
    return false;
  }
  error = CNyError();
  return S_ISDIR(info.st_mode);
}

std::string CNyPath::Append(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (base.back() == '/' || base.back() == '\\') return base + name;
  return base + "/" + name;
}

namespace {

// New folders are open to read for others but to write for the owner only, whatever the umask.
CNyError MakeOneFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return CNyError();
  const int error = errno;
  struct stat info {};
  if (error == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return CNyError();
  return CNyError::FromErrno(error, "mkdir [" + path + "]");
}

// Removes everything inside the folder open as `dirFd`, never following symbolic links.
CNyError RemoveContents(int dirFd, const std::string& path) {
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    const int error = errno;
    close(dirFd);
    return CNyError::FromErrno(error, "opendir [" + path + "]");
  }
  CNyError result;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = path + "/" + name;
    struct stat info {};
    if (fstatat(dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      result = CNyError::FromErrno(errno, "stat [" + child + "]");
      break;
    }
    if (S_ISDIR(info.st_mode)) {
      const int childFd = openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (childFd < 0) {
        result = CNyError::FromErrno(errno, "open [" + child + "]");
        break;
      }
      result = RemoveContents(childFd, child);
      if (result.IsError()) break;
      if (unlinkat(dirfd(dir), name.c_str(), AT_REMOVEDIR) != 0) {
        result = CNyError::FromErrno(errno, "rmdir [" + child + "]");
        break;
      }
    } else if (unlinkat(dirfd(dir), name.c_str(), 0) != 0) {
      result = CNyError::FromErrno(errno, "unlink [" + child + "]");
      break;
    }
  }
  closedir(dir);
  return result;
}

}  // namespace

CNyError CNyDirectory::Create(const char* path, bool recursive) {
  if (path == nullptr || *path == '\0') return CNyError(EINVAL, "empty folder path");
  const std::string target = path;
  if (!recursive) return MakeOneFolder(target);
  for (size_t slash = target.find('/', 1); slash != std::string::npos; slash = target.find('/', slash + 1)) {
    CNyError error = MakeOneFolder(target.substr(0, slash));
    if (error.IsError()) return error;
  }
  return MakeOneFolder(target);
}

CNyError CNyDirectory::RemoveContents(int folderFd, const std::string& label) {
  const int own = fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return CNyError::FromErrno(errno, "open [" + label + "]");
  // The duplicate shares the reading position: start from the first entry.
  lseek(own, 0, SEEK_SET);
  return ::RemoveContents(own, label);
}

CNyError CNyDirectory::Remove(const std::string& path, bool recursive, bool removeSelf) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return CNyError();
    return CNyError::FromErrno(errno, "stat [" + path + "]");
  }
  if (!S_ISDIR(info.st_mode)) return CNyError(ENOTDIR, "[" + path + "] is not a folder");
  if (recursive) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return CNyError::FromErrno(errno, "open [" + path + "]");
    CNyError error = RemoveContents(fd, path);
    if (error.IsError()) return error;
  }
  if (removeSelf && rmdir(path.c_str()) != 0) return CNyError::FromErrno(errno, "rmdir [" + path + "]");
  return CNyError();
}

ZQDirectory::~ZQDirectory() { close(); }

int ZQDirectory::open(const std::string& path) {
  close();
  m_dir = opendir(path.c_str());
  return m_dir != nullptr ? 0 : (errno != 0 ? errno : EINVAL);
}

const char* ZQDirectory::read() {
  if (m_dir == nullptr) return nullptr;
  dirent* entry = readdir(m_dir);
  return entry != nullptr ? entry->d_name : nullptr;
}

void ZQDirectory::close() {
  if (m_dir != nullptr) closedir(m_dir);
  m_dir = nullptr;
}
