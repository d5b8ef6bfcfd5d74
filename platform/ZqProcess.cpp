#include "ZqProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

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

// Owns a posix_spawn file-actions object.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&m_actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
  posix_spawn_file_actions_t* Get() { return &m_actions; }

 private:
  posix_spawn_file_actions_t m_actions;
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

// Reads both pipes until both are closed, so that a child filling one pipe never blocks while
// we wait on the other.
void DrainBoth(int outFd, int errFd, std::string* out, std::string* err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* targets[2] = {out, err};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        if (targets[i] != nullptr) targets[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
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
  FileDescriptor outRead, outWrite, errRead, errWrite;
  if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) {
    Append(err, std::string("cannot create pipes: ") + strerror(errno) + "\n");
    return -1;
  }
  SpawnActions actions;
  posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.Get(), outWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(actions.Get(), errWrite.Get(), 2);
  // Descriptors of the host that were opened without close-on-exec must not reach the child.
  posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  // The child gets a process group of its own, so that Ctrl-C on the terminal reaches only the
  // host, which lets the command in flight finish before it stops.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  const int spawnError =
      posix_spawn(&pid, "/bin/sh", actions.Get(), &attributes, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  outWrite.Close();
  errWrite.Close();
  if (spawnError != 0) {
    Append(err, std::string("cannot start /bin/sh: ") + strerror(spawnError) + "\n");
    return -1;
  }
  DrainBoth(outRead.Get(), errRead.Get(), out, err);
  return WaitForChild(pid, err);
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
