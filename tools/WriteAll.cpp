#include "tools/WriteAll.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

// A socket is written with send(MSG_NOSIGNAL): a peer that went away makes the write fail instead
// of raising SIGPIPE, which would end the process, a host that loaded the plug-in included.
bool WriteAll(int fd, const void* data, size_t length) {
  const char* next = static_cast<const char*>(data);
  bool socket = true;
  while (length > 0) {
    ssize_t written = socket ? ::send(fd, next, length, MSG_NOSIGNAL) : ::write(fd, next, length);
    if (written < 0 && errno == ENOTSOCK) {
      socket = false;
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool WriteAll(int fd, const std::string& text) { return WriteAll(fd, text.data(), text.size()); }
