#include "host/FencedChild.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// Every file right of Landlock's first version: what the child may not do anywhere but below a rule.
// (Some of the later ones are spelt out below: this system's header may predate them.)
constexpr uint64_t kHandled =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
    LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM;
constexpr uint64_t kRefer = 1ULL << 13;        // LANDLOCK_ACCESS_FS_REFER, version 2
constexpr uint64_t kTruncate = 1ULL << 14;     // LANDLOCK_ACCESS_FS_TRUNCATE, version 3
constexpr uint64_t kIoctlDevice = 1ULL << 15;  // LANDLOCK_ACCESS_FS_IOCTL_DEV, version 5
constexpr uint64_t kReadFile = LANDLOCK_ACCESS_FS_READ_FILE;
constexpr uint64_t kProgramFiles = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;

bool AddRule(int ruleset, int fd, uint64_t access) {
  struct landlock_path_beneath_attr rule {};
  rule.allowed_access = access;
  rule.parent_fd = fd;
  return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

bool AddRuleAt(int ruleset, const char* path, uint64_t access) {
  UniqueFd fd(open(path, O_PATH | O_CLOEXEC));
  return fd.valid() && AddRule(ruleset, fd.get(), access);
}

// The rules: the programs and libraries below /usr (and /lib, /lib64 where they are folders of
// their own), the loader's cache, /dev/null and /dev/urandom, and the one inherited file.
UniqueFd Ruleset(int readableFd, std::string& error) {
  // Later versions of Landlock fence more: links and renames across folders, truncation, device
  // ioctls. Whatever this kernel knows is denied too.
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  struct landlock_ruleset_attr attributes {};
  attributes.handled_access_fs = kHandled | (abi >= 2 ? kRefer : 0) | (abi >= 3 ? kTruncate : 0) |
                                 (abi >= 5 ? kIoctlDevice : 0);
  UniqueFd ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0)));
  if (!ruleset.valid()) {
    error = std::string("this proxy's kernel offers no Landlock file rules (") + strerror(errno) +
            "), without which QEMU's tools could open files the image names; images are not read here";
    return UniqueFd();
  }
  bool ok = AddRuleAt(ruleset.get(), "/usr", kProgramFiles) && AddRuleAt(ruleset.get(), "/etc/ld.so.cache", kReadFile) &&
            AddRuleAt(ruleset.get(), "/dev/null", kReadFile | LANDLOCK_ACCESS_FS_WRITE_FILE) &&
            AddRuleAt(ruleset.get(), "/dev/urandom", kReadFile);
  for (const char* folder : {"/lib", "/lib64"}) {
    if (access(folder, F_OK) == 0) ok = ok && AddRuleAt(ruleset.get(), folder, kProgramFiles);
  }
  if (readableFd >= 0) ok = ok && AddRule(ruleset.get(), readableFd, kReadFile);
  if (!ok) {
    error = std::string("cannot set the file rules of QEMU's tools: ") + strerror(errno);
    return UniqueFd();
  }
  return ruleset;
}

void WriteNumber(char* at, long value) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (count > 0) *at++ = digits[--count];
  *at = '\0';
}

}  // namespace

pid_t StartFencedChild(const FencedChildOptions& options, std::string& error) {
  UniqueFd ruleset = Ruleset(options.readableFd, error);
  if (!ruleset.valid()) return -1;
  UniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!devNull.valid()) {
    error = std::string("/dev/null: ") + strerror(errno);
    return -1;
  }
  // Everything the child needs, made before the fork: after it only async-signal-safe calls.
  // The inherited descriptors first move above the numbers they go to, so that none is overwritten.
  std::vector<UniqueFd> moved;
  for (int fd : options.inherited) {
    moved.emplace_back(fcntl(fd, F_DUPFD_CLOEXEC, 64));
    if (!moved.back().valid()) {
      error = std::string("cannot hand a descriptor to ") + options.program + ": " + strerror(errno);
      return -1;
    }
  }
  std::vector<char*> argv;
  std::string name = options.program;
  argv.push_back(name.data());
  std::vector<std::string> args = options.args;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  char path[] = "PATH=/usr/bin:/bin";
  char locale[] = "LC_ALL=C";
  char listenFds[] = "LISTEN_FDS=1";
  char listenPid[48] = "LISTEN_PID=";
  std::vector<char*> envp{path, locale};
  if (options.socketActivation) {
    envp.push_back(listenFds);
    envp.push_back(listenPid);
  }
  envp.push_back(nullptr);
  // The standard streams too, so that none of them sits at a number another one goes to.
  UniqueFd in(fcntl(devNull.get(), F_DUPFD_CLOEXEC, 64));
  UniqueFd out(fcntl(options.stdoutFd >= 0 ? options.stdoutFd : devNull.get(), F_DUPFD_CLOEXEC, 64));
  UniqueFd err(fcntl(options.stderrFd >= 0 ? options.stderrFd : devNull.get(), F_DUPFD_CLOEXEC, 64));
  if (!in.valid() || !out.valid() || !err.valid()) {
    error = std::string("cannot start ") + options.program + ": " + strerror(errno);
    return -1;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    error = std::string("cannot start ") + options.program + ": " + strerror(errno);
    return -1;
  }
  if (pid == 0) {
    // Only what is safe after a fork: a failure is said on the error stream the parent reads.
    const auto fail = [&err](const char* what, const char* more) {
      const char* parts[] = {what, more, "\n"};
      for (const char* part : parts) {
        if (write(err.get(), part, strlen(part)) < 0) break;
      }
      _exit(126);
    };
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) fail("cannot end with the job", "");
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail("cannot drop new privileges", "");
    if (syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) fail("cannot set the file rules", "");
    if (dup2(in.get(), 0) < 0 || dup2(out.get(), 1) < 0 || dup2(err.get(), 2) < 0) fail("cannot set the streams", "");
    for (size_t i = 0; i < moved.size(); ++i) {
      if (dup2(moved[i].get(), static_cast<int>(3 + i)) < 0) fail("cannot hand on a descriptor", "");
    }
    syscall(SYS_close_range, static_cast<unsigned>(3 + moved.size()), ~0U, 0);
    WriteNumber(listenPid + strlen("LISTEN_PID="), static_cast<long>(getpid()));
    execve(argv[0], argv.data(), envp.data());
    if (write(2, "cannot run ", 11) >= 0 && write(2, argv[0], strlen(argv[0])) >= 0) (void)!write(2, "\n", 1);
    _exit(127);
  }
  return pid;
}

bool RunFencedChild(FencedChildOptions options, int seconds, size_t maxOutput, std::string& out, std::string& err,
                    int& status, std::string& error) {
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    error = std::string("cannot start ") + options.program + ": " + strerror(errno);
    return false;
  }
  UniqueFd outRead(outPipe[0]);
  UniqueFd outWrite(outPipe[1]);
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    error = std::string("cannot start ") + options.program + ": " + strerror(errno);
    return false;
  }
  UniqueFd errRead(errPipe[0]);
  UniqueFd errWrite(errPipe[1]);
  options.stdoutFd = outWrite.get();
  options.stderrFd = errWrite.get();
  const pid_t pid = StartFencedChild(options, error);
  if (pid < 0) return false;
  outWrite.Reset();
  errWrite.Reset();
  out.clear();
  err.clear();
  const std::string tool = options.program.substr(options.program.rfind('/') + 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::string problem;
  int open = 2;
  while (open > 0 && problem.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      problem = tool + " did not finish within " + std::to_string(seconds) + " s";
      break;
    }
    struct pollfd watched[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
    const int ready = poll(watched, 2, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) {
      problem = "cannot wait for " + tool + ": " + strerror(errno);
      break;
    }
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0) continue;
      UniqueFd& stream = i == 0 ? outRead : errRead;
      std::string& text = i == 0 ? out : err;
      char buffer[8192];
      const ssize_t got = read(stream.get(), buffer, sizeof buffer);
      if (got <= 0) {
        stream.Reset();
        --open;
        continue;
      }
      if (text.size() + static_cast<size_t>(got) > maxOutput) {
        problem = tool + " wrote more than " + std::to_string(maxOutput) + " bytes";
        break;
      }
      text.append(buffer, static_cast<size_t>(got));
    }
  }
  if (!problem.empty()) kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  error = problem;
  return problem.empty();
}

std::string FirstLineOf(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  for (const char* tool : {"qemu-img: ", "qemu-nbd: "}) {
    if (line.rfind(tool, 0) == 0) line.erase(0, strlen(tool));
  }
  // "Could not open '/proc/self/fd/3': Could not open '/etc/x': ..." says the inner cause last.
  const size_t inner = line.rfind("Could not open '");
  if (inner != std::string::npos) line.erase(0, inner);
  return line.empty() ? "no reason given" : line;
}
