#include "host/PlanLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/TerminalLines.h"
#include "platform/ProxyOutputFile.h"

namespace {

// What the holder writes: "PID START" (seconds since the epoch). Far shorter than this.
constexpr size_t kHolderTextMax = 64;

std::string LocalTime(long long seconds) {
  const time_t when = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[32] = "an unknown time";
  if (localtime_r(&when, &parts) != nullptr) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

// The refusal for a lock another run holds, naming that run from what it wrote into the file.
std::string HeldBy(int fd, const std::string& path, const std::string& plan) {
  char text[kHolderTextMax + 1] = {};
  const ssize_t got = ::pread(fd, text, kHolderTextMax, 0);
  long long pid = 0;
  long long started = 0;
  const std::string name = "the plan " + PrintableText(plan);
  const std::string advice = "; wait for it to end, or stop it first (its lock: " + PrintableText(path) + ")";
  if (got <= 0 || std::sscanf(text, "%lld %lld", &pid, &started) != 2 || pid <= 0) {
    return name + " is already running in another zqrestore" + advice;
  }
  const std::string run = "process " + std::to_string(pid) + ", started " + LocalTime(started);
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
    return name + " is still running: its run (" + run + ") has ended, but not all of its jobs yet" + advice;
  }
  return name + " is already running (" + run + ")" + advice;
}

}  // namespace

PlanLock::~PlanLock() {
  if (m_fd >= 0) ::close(m_fd);
}

bool PlanLock::Acquire(const std::string& path, const std::string& plan, std::string& error) {
  int fd = ProxyOutputFile::OpenPrivateForUpdate(path, error);
  if (fd < 0) return false;
  // Above the standard descriptors, which a job's process replaces with its own.
  if (fd <= STDERR_FILENO) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    if (moved < 0) {
      error = "cannot lock " + path + ": " + std::strerror(errno);
      return false;
    }
    fd = moved;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? HeldBy(fd, path, plan) : "cannot lock " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  const std::string holder =
      std::to_string(::getpid()) + " " + std::to_string(static_cast<long long>(::time(nullptr))) + "\n";
  // What the file says only names the holder in a refusal; the lock itself is the flock.
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, holder.data(), holder.size(), 0) != static_cast<ssize_t>(holder.size())) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  m_fd = fd;
  return true;
}
