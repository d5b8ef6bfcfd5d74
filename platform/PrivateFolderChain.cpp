#include "platform/PrivateFolderChain.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace PrivateFolderChain {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

std::string Described(const std::string& what, const std::string& path, int error) {
  return what + " [" + path + "]: " + std::strerror(error);
}

// Checks the folder held by `fd`; closes it and returns -1 when it is refused.
int Checked(int fd, const std::string& path, bool isBase, std::string& error) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = Described("cannot examine", path, errno);
    ::close(fd);
    return -1;
  }
  const std::string refusal = Refusal(info, isBase);
  if (!refusal.empty()) {
    error = "folder [" + path + "] " + refusal;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string Refusal(const struct stat& info, bool isBase) {
  if (!S_ISDIR(info.st_mode)) return "is not a folder";
  const uid_t self = ::geteuid();
  if (info.st_uid != self && !(isBase && info.st_uid == 0)) {
    return "belongs to user id " + std::to_string(info.st_uid) + ", not to the user running the job (" +
           std::to_string(self) + ")";
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
    return "can be changed by other users (group or others may write to it, and it has no sticky bit)";
  }
  return std::string();
}

int Open(const std::string& base, const std::vector<std::string>& names, bool create, std::string& error) {
  // The base itself is not a link either (links further up its path are the installation's own):
  // the same rule as for the folder of a log file. A trailing slash would make its last name be
  // followed, so it goes.
  std::string held = base;
  while (held.size() > 1 && held.back() == '/') held.pop_back();
  int fd = ::open(held.c_str(), kFolderFlags | O_NOFOLLOW);
  if (fd < 0) {
    const int openError = errno;
    error = openError == ELOOP || openError == ENOTDIR
                ? "[" + base + "] is a link or not a folder; the chain is not followed through it"
                : Described("cannot open", base, openError);
    return -1;
  }
  fd = Checked(fd, base, true, error);
  std::string path = base;
  for (const std::string& name : names) {
    if (fd < 0) return -1;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      error = "folder name [" + name + "] below [" + path + "] is not a plain name";
      ::close(fd);
      return -1;
    }
    path += (path.empty() || path.back() != '/' ? "/" : "") + name;
    if (create && ::mkdirat(fd, name.c_str(), 0700) != 0 && errno != EEXIST) {
      error = Described("cannot create", path, errno);
      ::close(fd);
      return -1;
    }
    const int child = ::openat(fd, name.c_str(), kFolderFlags | O_NOFOLLOW);
    const int openError = errno;
    ::close(fd);
    if (child < 0) {
      error = openError == ELOOP || openError == ENOTDIR
                  ? "[" + path + "] is a link or not a folder; the chain is not followed through it"
                  : Described("cannot open", path, openError);
      return -1;
    }
    fd = Checked(child, path, false, error);
  }
  return fd;
}

}  // namespace PrivateFolderChain
