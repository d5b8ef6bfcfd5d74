#include "GuestSessionChannel.h"

#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ControlFolder.h"

namespace GuestSessionChannel {

long long NowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until `fd` is readable (or writable); false on time-out. `deadlineMs` < 0: no limit.
bool WaitFor(int fd, short events, long long deadlineMs) {
  for (;;) {
    int timeout = -1;
    if (deadlineMs >= 0) {
      long long left = deadlineMs - NowMs();
      if (left <= 0) return false;
      timeout = static_cast<int>(left);
    }
    pollfd wait{fd, events, 0};
    int ready = ::poll(&wait, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool WriteAll(int fd, const std::string& text) { return WriteAll(fd, text.data(), text.size()); }

// Reads exactly `length` bytes into `text` (appended) before `deadlineMs`.
bool ReadExact(int fd, size_t length, std::string& text, long long deadlineMs) {
  char buffer[65536];
  while (length > 0) {
    if (!WaitFor(fd, POLLIN, deadlineMs)) return false;
    ssize_t got = ::read(fd, buffer, std::min(length, sizeof buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    text.append(buffer, static_cast<size_t>(got));
    length -= static_cast<size_t>(got);
  }
  return true;
}

// Reads one line (without its newline) of at most `limit` bytes, a byte at a time so that nothing
// after it is consumed.
bool ReadLine(int fd, std::string& line, size_t limit, long long deadlineMs) {
  line.clear();
  for (;;) {
    std::string byte;
    if (!ReadExact(fd, 1, byte, deadlineMs)) return false;
    if (byte[0] == '\n') return true;
    if (line.size() >= limit) return false;
    line += byte;
  }
}

// Reads everything until end of file, keeping the last `limit` bytes.
void ReadRest(int fd, std::string& text, size_t limit, long long deadlineMs) {
  std::string chunk;
  while (ReadExact(fd, 1, chunk, deadlineMs)) {
    if (chunk.size() > 2 * limit) chunk.erase(0, chunk.size() - limit);
  }
  text += chunk;
}

bool ParseCount(const std::string& text, size_t limit, size_t& value) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::stoull(text);
  return value <= limit;
}

std::string HexPrefix(const unsigned char* bytes, size_t digits) {
  static const char* kHex = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; text.size() < digits; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0f];
  }
  return text;
}

// Logged in: the askpass has had its answer and the connection needs no password any more. The
// value is wiped where it lies, in the environment block this process started with (the one
// /proc shows), so that a session that outlives its job carries no password.
void ForgetPassword() {
  if (char* value = std::getenv(OpenSshCommand::kPasswordVariable)) ::explicit_bzero(value, std::strlen(value));
  ::unsetenv(OpenSshCommand::kPasswordVariable);
}

// The socket of the login's session: the connection-reuse name of the password (a keyed digest)
// with a digest of user, address and port. Empty when the control folder is not usable.
std::string SocketPath(const SshToolSettings& settings, const SshLogin& login) {
  if (settings.controlDir.find('%') != std::string::npos) return "";
  std::string problem, pattern;
  const char* password = std::getenv(OpenSshCommand::kPasswordVariable);
  if (!ControlFolder::MakePrivate(settings.controlDir, problem) ||
      !ControlFolder::SocketPattern(settings.controlDir, password ? password : "", pattern, problem)) {
    return "";
  }
  if (pattern.size() < 2 || pattern.compare(pattern.size() - 2, 2, "%C") != 0) return "";
  const std::string who = login.user + '\0' + login.address + '\0' + login.port;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(who.data()), who.size(), digest);
  std::string path = pattern.substr(0, pattern.size() - 2) + "-g" + HexPrefix(digest, 16);
  return path.size() < sizeof(sockaddr_un{}.sun_path) ? path : "";
}

bool SocketAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

int ConnectTo(const std::string& path) {
  sockaddr_un address{};
  if (!SocketAddress(path, address)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool PeerIsThisUser(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::geteuid();
}

}  // namespace GuestSessionChannel
