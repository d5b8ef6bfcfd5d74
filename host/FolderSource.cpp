#include "host/FolderSource.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hypervisor/UniqueFd.h"

namespace {

// Copies the whole of `in` to `out`; sendfile does the work in the kernel where it can.
bool CopyWhole(int in, int out, off_t size) {
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

}  // namespace

FolderSource FolderSource::ForWalkedRoot(std::string root) {
  FolderSource source(root);
  source.m_root = std::move(root);
  return source;
}

bool FolderSource::Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) {
  std::string below;
  if (!NormalSourcePath(sourcePath, below, error)) return false;
  const std::string start = below.empty() ? m_path : m_path + "/" + below;
  struct stat info {};
  m_singleFile = lstat(start.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  return WalkSource(start, tree, m_root, error);
}

bool FolderSource::CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) {
  const std::string path = m_root + "/" + entry.relativePath;
  UniqueFd in(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!in.valid()) {
    error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  if (fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "the source " + path + " is no longer a regular file";
    return false;
  }
  if (!CopyWhole(in.get(), out, info.st_size)) {
    error = "cannot copy " + path + ": " + strerror(errno);
    return false;
  }
  // The size of what was copied, should the file have changed while it was read.
  struct stat written {};
  if (fstat(out, &written) == 0) info.st_size = written.st_size;
  return true;
}
