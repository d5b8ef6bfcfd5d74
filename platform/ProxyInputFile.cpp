#include "platform/ProxyInputFile.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/PrivateFolderChain.h"
#include "platform/pstring.h"

namespace ProxyInputFile {

namespace {

std::atomic<bool> g_trustOtherAuthors{false};

constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
const char* const kTrustHint = " (give --trust-plan-author to read it all the same)";

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool OthersMayChange(mode_t mode) { return (mode & (S_IWGRP | S_IWOTH)) != 0; }

// Splits `path` into the folder that holds it and its last name.
void Split(const std::string& path, std::string& folder, std::string& name) {
  const std::string::size_type slash = path.rfind('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why the folder `folder`, held by `fd`, may not hold a file of `role`; empty when it may.
std::string FolderRefusal(int fd, const std::string& folder, Role role) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return "cannot be checked: its folder " + folder + " cannot be examined";
  if (role == Role::State) {
    const std::string refusal = PrivateFolderChain::Refusal(info, true);
    return refusal.empty() ? refusal : "is in the folder " + folder + ", which " + refusal;
  }
  if (::geteuid() != 0 || TrustsOtherAuthors()) return std::string();
  if (OthersMayChange(info.st_mode) && (info.st_mode & S_ISVTX) == 0) {
    return "is in the folder " + folder + ", where other users may replace it (mode " + Mode(info.st_mode) +
           ", no sticky bit)" + kTrustHint;
  }
  return std::string();
}

// Why the opened file, described by `info`, may not be read as a file of `role`; empty when it may.
std::string FileRefusal(const struct stat& info, Role role) {
  if (S_ISDIR(info.st_mode)) return "is a folder";
  if (!S_ISREG(info.st_mode)) return "is not a plain file";
  const uid_t self = ::geteuid();
  const std::string owner = std::to_string(info.st_uid);
  switch (role) {
    case Role::Secret:
      if (info.st_uid != self && info.st_uid != 0) {
        return "belongs to user id " + owner + "; a password file must belong to the user running zqrestore (" +
               std::to_string(self) + ") or to root";
      }
      if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return "is open to other users (mode " + Mode(info.st_mode) +
               "): a password file must be readable by its owner only (chmod 600 it)";
      }
      return std::string();
    case Role::Config:
      if (self != 0 || TrustsOtherAuthors()) return std::string();
      if (info.st_uid != 0) {
        return "belongs to user id " + owner + ", and zqrestore running as root follows only root's instructions" +
               kTrustHint;
      }
      if (OthersMayChange(info.st_mode)) {
        return "may be changed by other users (mode " + Mode(info.st_mode) + ")" + kTrustHint;
      }
      return std::string();
    case Role::State:
      if (info.st_uid != self) {
        return "belongs to user id " + owner + ", not to the user running the plan (" + std::to_string(self) +
               "); another user may have planted it";
      }
      if (info.st_nlink > 1) return "has other hard links; another user may have planted it";
      return std::string();
    case Role::Data:
      return std::string();
  }
  return std::string();
}

std::string OpenRefusal(int openError) {
  if (openError == ENOENT) return "does not exist";
  if (openError == ELOOP) {
    return "is a link; zqrestore reads it only under its own name, never through a link (another user may have "
           "planted it)";
  }
  return std::string("cannot be opened: ") + strerror(openError);
}

}  // namespace

void TrustOtherAuthors(bool trust) { g_trustOtherAuthors = trust; }
bool TrustsOtherAuthors() { return g_trustOtherAuthors; }

UniqueFd Open(const std::string& path, Role role, std::string& reason, bool* missing) {
  reason.clear();
  if (missing != nullptr) *missing = false;
  UniqueFd fd;
  if (role == Role::State || role == Role::Config) {
    std::string folder;
    std::string name;
    Split(path, folder, name);
    // A state's folder is one of the folders a job writes: not a link itself.
    const int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (role == Role::State ? O_NOFOLLOW : 0);
    const UniqueFd folderFd(::open(folder.c_str(), folderFlags));
    if (!folderFd.valid()) {
      const int openError = errno;
      if (missing != nullptr) *missing = openError == ENOENT;
      reason = openError == ELOOP || openError == ENOTDIR
                   ? "is in " + folder + ", which is a link or not a folder; zqrestore does not read through a link"
                   : OpenRefusal(openError);
      return UniqueFd();
    }
    fd.Reset(::openat(folderFd.get(), name.c_str(), kOpenFlags));
    if (fd.valid()) reason = FolderRefusal(folderFd.get(), folder, role);
  } else {
    fd.Reset(::open(path.c_str(), kOpenFlags));
  }
  if (!fd.valid()) {
    const int openError = errno;
    if (missing != nullptr) *missing = openError == ENOENT;
    reason = OpenRefusal(openError);
    return UniqueFd();
  }
  struct stat info {};
  if (reason.empty() && ::fstat(fd.get(), &info) != 0) reason = std::string("cannot be examined: ") + strerror(errno);
  if (reason.empty()) reason = FileRefusal(info, role);
  if (!reason.empty()) return UniqueFd();
  ::fcntl(fd.get(), F_SETFL, O_RDONLY);
  return fd;
}

bool ReadAll(int fd, size_t maxBytes, std::string& text, std::string& reason) {
  text.clear();
  char buffer[16384];
  bool fits = true;
  int readError = 0;
  while (fits) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) readError = errno;
    if (got <= 0) break;
    fits = text.size() + static_cast<size_t>(got) <= maxBytes;
    if (fits) text.append(buffer, static_cast<size_t>(got));
  }
  explicit_bzero(buffer, sizeof buffer);
  if (fits && readError == 0) return true;
  WipeString(text);
  text.clear();
  reason = fits ? std::string("cannot be read: ") + strerror(readError)
                : "is larger than " + std::to_string(maxBytes) + " bytes";
  return false;
}

bool ReadText(const std::string& path, Role role, size_t maxBytes, std::string& text, std::string& reason,
              bool* missing) {
  text.clear();
  const UniqueFd fd = Open(path, role, reason, missing);
  return fd.valid() && ReadAll(fd.get(), maxBytes, text, reason);
}

}  // namespace ProxyInputFile
