#include "platform/ZqProcess.h"

#include "platform/StopRequest.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

extern char** environ;

namespace {

// Owns a descriptor; closes it once.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return m_fd; }
  void Close() { Reset(-1); }
  void Reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd;
};

bool MakePipe(FileDescriptor& readEnd, FileDescriptor& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
  return true;
}

void Append(std::string* target, const std::string& text) {
  if (target != nullptr) target->append(text);
}

using Clock = std::chrono::steady_clock;

enum class Ending { Finished, TotalLimit, InactivityLimit, Stopped };

// The process group of `pid` from /proc/PID/stat (the field after the parent); -1 when gone.
pid_t ProcessGroupOf(const std::string& pid) {
  // Read through getline, which turns a read error into a failed stream: the process may end
  // between open and read (ESRCH), and a stream buffer iterator would let that throw.
  std::ifstream in("/proc/" + pid + "/stat");
  std::string stat;
  std::getline(in, stat);
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  long parent = 0, group = -1;
  fields >> state >> parent >> group;
  return static_cast<pid_t>(group);
}

// Bytes read and written so far by the processes of process group `group`: it moves while any of
// them still does something, also when nothing reaches our pipes (a copy in progress).
unsigned long long GroupIo(pid_t group) {
  unsigned long long total = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (const dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (ProcessGroupOf(pid) != group) continue;
    std::ifstream io("/proc/" + pid + "/io");
    std::string key;
    unsigned long long value = 0;
    while (io >> key >> value) {
      if (key == "rchar:" || key == "wchar:") total += value;
    }
  }
  closedir(proc);
  return total;
}

// Reads both pipes until both are closed, so that a child filling one pipe never blocks while
// we wait on the other; stops early when the command passes one of its limits (its process group
// is `group`). The group's I/O counters cost a walk over every process of the machine, so they
// are looked at once a second at most, never per read: a short command ends before the first look.
Ending DrainBoth(int outFd, int errFd, std::string* out, std::string* err, const CommandLimits& limits,
                 pid_t group) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* targets[2] = {out, err};
  int open = 2;
  char buffer[65536];
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(limits.totalSeconds);
  const auto quietLimit = std::chrono::seconds(limits.inactivitySeconds);
  const auto ioInterval = std::chrono::seconds(1);
  auto lastActivity = start;
  auto nextIoLook = start + ioInterval;
  bool ioKnown = false;
  unsigned long long lastIo = 0;
  while (open > 0) {
    // A stop request is looked for between reads, at most this long apart.
    int waitMs = 200;
    if (StopRequest::Requested()) return Ending::Stopped;
    const int ready = poll(fds, 2, waitMs);
    if (ready < 0 && errno != EINTR) break;
    const auto now = Clock::now();
    for (int i = 0; ready > 0 && i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        if (targets[i] != nullptr) targets[i]->append(buffer, static_cast<size_t>(got));
        lastActivity = now;
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        fds[i].fd = -1;
        --open;
      }
    }
    if (open == 0) break;
    if (limits.totalSeconds > 0 && now >= deadline) return Ending::TotalLimit;
    if (limits.inactivitySeconds > 0 && now >= nextIoLook) {
      nextIoLook = now + ioInterval;
      const unsigned long long io = GroupIo(group);
      // The first look only sets the baseline; the time before it counts as active.
      if (!ioKnown || io != lastIo) {
        ioKnown = true;
        lastIo = io;
        lastActivity = now;
      } else if (now - lastActivity >= quietLimit) {
        return Ending::InactivityLimit;
      }
    }
  }
  return Ending::Finished;
}

int WaitForChild(pid_t pid, std::string* err) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      Append(err, std::string("waitpid failed: ") + strerror(errno) + "\n");
      return -1;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    Append(err, std::string("command killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
                    strsignal(WTERMSIG(status)) + ")\n");
    return 128 + WTERMSIG(status);
  }
  return -1;
}

std::mutex g_runnerMutex;
std::shared_ptr<CommandRunner>& RunnerSlot() {
  static std::shared_ptr<CommandRunner> runner = std::make_shared<ShellCommandRunner>();
  return runner;
}

}  // namespace

int ShellCommandRunner::Run(const std::string& command, std::string* out, std::string* err) {
  return RunLimited(command, out, err, CommandLimits{});
}

int ShellCommandRunner::RunLimited(const std::string& command, std::string* out, std::string* err,
                                   const CommandLimits& limits) {
  if (StopRequest::Requested()) {
    Append(err, std::string("command not started: ") + StopRequest::kReason + "\n");
    return kCommandLimitStatus;
  }
  FileDescriptor outRead, outWrite, errRead, errWrite;
  if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) {
    Append(err, std::string("cannot create pipes: ") + strerror(errno) + "\n");
    return -1;
  }
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  const int outFd = outWrite.Get();
  const int errFd = errWrite.Get();
  const pid_t host = getpid();
  // Started by hand rather than with posix_spawn, for one step posix_spawn cannot take: the shell
  // ends (SIGTERM) with the host, at once when the host ended before the request took effect, and
  // the copy and command tools end with the shell, so a killed host leaves no copy going on. vfork,
  // as posix_spawn itself, so that a large host is not copied for each command; the child makes
  // only system calls on values prepared before it, and ends in exec or _exit. Every signal waits
  // until then: no handler of the host may run in the child.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  const pid_t pid = vfork();
  if (pid == 0) {
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != host) _exit(127);
    // A process group of its own: Ctrl-C on the terminal reaches only the host, which lets the
    // command in flight finish before it stops, and a command past its time limit is ended with
    // every process it started.
    setpgid(0, 0);
    const int input = open("/dev/null", O_RDONLY);
    if (input < 0 || dup2(input, 0) != 0 || dup2(outFd, 1) != 1 || dup2(errFd, 2) != 2) _exit(127);
    // The host's handlers and its SIGPIPE disposition do not reach the command; other signals
    // the host ignores stay ignored.
    struct sigaction action {};
    for (int signal = 1; signal < NSIG; ++signal) {
      if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
          (action.sa_handler != SIG_IGN || signal == SIGPIPE)) {
        action.sa_handler = SIG_DFL;
        action.sa_flags = 0;
        sigaction(signal, &action, nullptr);
      }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Descriptors of the host that were opened without close-on-exec must not reach the child.
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
      for (int fd = 3; fd < 65536; ++fd) close(fd);  // a kernel before close_range
    }
    execve("/bin/sh", const_cast<char* const*>(argv), environ);
    _exit(127);
  }
  const int spawnError = pid < 0 ? errno : 0;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (pid > 0) setpgid(pid, pid);  // also here: no race with the first signal to the group
  outWrite.Close();
  errWrite.Close();
  if (spawnError != 0) {
    Append(err, std::string("cannot start /bin/sh: ") + strerror(spawnError) + "\n");
    return -1;
  }
  const Ending ending = DrainBoth(outRead.Get(), errRead.Get(), out, err, limits, pid);
  if (ending == Ending::Finished) return WaitForChild(pid, err);
  // The whole group goes: the shell and whatever it started (ssh, scp, a helper).
  kill(-pid, SIGKILL);
  outRead.Close();
  errRead.Close();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  switch (ending) {
    case Ending::TotalLimit:
      Append(err, "command ended: it ran longer than its time limit of " + std::to_string(limits.totalSeconds) +
                      " s\n");
      break;
    case Ending::InactivityLimit:
      Append(err, "command ended: no output and no progress for " + std::to_string(limits.inactivitySeconds) +
                      " s\n");
      break;
    default:
      Append(err, std::string("command ended: ") + StopRequest::kReason + "\n");
      break;
  }
  return kCommandLimitStatus;
}

std::shared_ptr<CommandRunner> SetCommandRunner(std::shared_ptr<CommandRunner> runner) {
  std::lock_guard<std::mutex> guard(g_runnerMutex);
  if (!runner) runner = std::make_shared<ShellCommandRunner>();
  std::shared_ptr<CommandRunner> previous = RunnerSlot();
  RunnerSlot() = std::move(runner);
  return previous;
}

std::shared_ptr<CommandRunner> CurrentCommandRunner() {
  std::lock_guard<std::mutex> guard(g_runnerMutex);
  return RunnerSlot();
}

int ZqProcess::system(const std::string& command, std::string* out, std::string* err, int, bool) {
  if (out != nullptr) out->clear();
  if (err != nullptr) err->clear();
  return CurrentCommandRunner()->Run(command, out, err);
}

int ZqProcess::system(const std::string& command, std::string* out, std::string* err, const CommandLimits& limits) {
  if (out != nullptr) out->clear();
  if (err != nullptr) err->clear();
  return CurrentCommandRunner()->RunLimited(command, out, err, limits);
}
