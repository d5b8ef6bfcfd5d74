#include "hypervisor/PosixFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hypervisor/UniqueFd.h"
#include "platform/StopRequest.h"

namespace PosixFiles {

bool CopyBytes(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    // The operator asked to stop now: the copy fails and its temporary file goes.
    if (StopRequest::Requested()) {
      errno = ECANCELED;
      return false;
    }
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    for (ssize_t written = 0; written < got;) {
      const ssize_t put = ::write(to, buffer + written, static_cast<size_t>(got - written));
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      written += put;
    }
  }
}

bool ListFolder(int folderFd, std::vector<std::string>& names) {
  UniqueFd readable(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable.valid()) return false;
  DIR* folder = ::fdopendir(readable.get());
  if (folder == nullptr) return false;
  readable.release();
  errno = 0;
  while (const dirent* item = ::readdir(folder)) {
    const std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int error = errno;
  ::closedir(folder);
  std::sort(names.begin(), names.end());
  errno = error;
  return error == 0;
}

bool DescribeEntry(int folderFd, const std::string& name, GuestOsFamily family, VMInfoStructs::SGuestFile& entry) {
  struct statx facts {};
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name.empty() ? AT_EMPTY_PATH : 0);
  if (::statx(folderFd, name.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &facts) != 0) return false;
  const mode_t type = facts.stx_mode & S_IFMT;
  entry.name = name;
  entry.type = type == S_IFDIR   ? VMInfoStructs::GuestFileDirectory
               : type == S_IFREG ? VMInfoStructs::GuestFileRegular
               : type == S_IFLNK ? VMInfoStructs::GuestFileSymlink
                                 : VMInfoStructs::GuestFileOther;
  entry.size = type == S_IFDIR ? 0 : static_cast<int64_t>(facts.stx_size);
  entry.modifyTime = facts.stx_mtime.tv_sec;
  entry.accessTime = facts.stx_atime.tv_sec;
  entry.createTime = (facts.stx_mask & STATX_BTIME) ? facts.stx_btime.tv_sec : facts.stx_mtime.tv_sec;
  if (family == GuestOsFamily::Unix) {
    entry.uid = static_cast<int32_t>(facts.stx_uid);
    entry.gid = static_cast<int32_t>(facts.stx_gid);
    entry.mode = facts.stx_mode & 07777;
  }
  return true;
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int Reopen(int fd, int flags) { return ::open(DescriptorPath(fd).c_str(), flags | O_CLOEXEC); }

bool SetTimes(int fd, int64_t accessTime, int64_t modifyTime) {
  timespec times[2] = {};
  times[0].tv_sec = static_cast<time_t>(accessTime);
  times[0].tv_nsec = accessTime == 0 ? UTIME_OMIT : 0;
  times[1].tv_sec = static_cast<time_t>(modifyTime);
  times[1].tv_nsec = modifyTime == 0 ? UTIME_OMIT : 0;
  return ::utimensat(AT_FDCWD, DescriptorPath(fd).c_str(), times, 0) == 0;
}

bool CopyTimes(int fd, const struct stat& source) {
  const timespec times[2] = {source.st_atim, source.st_mtim};
  return ::utimensat(AT_FDCWD, DescriptorPath(fd).c_str(), times, 0) == 0;
}

bool SetMode(int fd, mode_t mode) { return ::chmod(DescriptorPath(fd).c_str(), mode & 07777) == 0; }

}  // namespace PosixFiles
