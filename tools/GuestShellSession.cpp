#include "tools/GuestShellSession.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/ControlFolder.h"
#include "tools/WriteAll.h"
#include "toolscontract/ShellQuote.h"

namespace GuestShellSession {

namespace {

constexpr const char* kReadyLine = "zqsession-ready";
// Limits on what crosses the socket and the connection: the script, one request's arguments, and
// one answer's output or errors.
constexpr size_t kMaxScriptBytes = 1 << 20;
// Standard input a helper-script command may bring at all: it is read whole before the command
// runs, and handed on to a command that runs on its own.
constexpr size_t kMaxStandardInputBytes = 64u << 20;
constexpr size_t kMaxArgumentBytes = 1 << 20;
constexpr size_t kMaxAnswerBytes = 256u << 20;
constexpr size_t kMaxDataBytes = kMaxInlineBytes;
constexpr size_t kMaxHeaderBytes = 64;
// Lines a login may print (a banner from the guest's shell start files) before the loop is ready.
constexpr size_t kMaxGreetingBytes = 64 * 1024;
constexpr size_t kKeptErrorBytes = 16 * 1024;
// A client waits this long for a session to answer that it is there.
constexpr int kConnectWaitMs = 2000;

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

using ControlFolder::HexPrefix;

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

// ---- The session process ----------------------------------------------------------------------

class Session {
 public:
  Session(const SshToolSettings& settings, const std::vector<std::string>& sshOptions, const SshLogin& login,
          std::string socketPath)
      : m_settings(settings), m_options(sshOptions), m_login(login), m_socketPath(std::move(socketPath)) {}

  // Claims the socket, starts the guest loop and reports "ok" or the failure's text on `reportFd`,
  // then serves requests until idle. Returns the process's exit status.
  int Serve(int reportFd) {
    std::string problem;
    if (!Listen(problem) || !StartLoop(problem)) {
      // The socket goes first: a client told of the failure must not find it.
      End();
      WriteAll(reportFd, problem.empty() ? std::string("the guest session could not start") : problem);
      ::close(reportFd);
      return 1;
    }
    m_lastRequestMs = NowMs();
    WriteAll(reportFd, "ok");
    ::close(reportFd);
    for (;;) {
      pollfd waits[3] = {{m_listenFd, POLLIN, 0}, {m_fromGuest, POLLIN, 0}, {m_errors, POLLIN, 0}};
      // A look once a second: a session whose socket was removed (its control folder cleared)
      // ends too.
      int ready = ::poll(waits, m_errors >= 0 ? 3 : 2, 1000);
      if (ready < 0 && errno == EINTR) continue;
      struct stat socketInfo {};
      const bool gone = ::lstat(m_socketPath.c_str(), &socketInfo) != 0;
      if (gone) m_bound = false;
      if (ready < 0 || gone) break;
      if (ready == 0 && NowMs() < m_lastRequestMs + m_settings.guestSessionIdle * 1000) continue;
      if (ready == 0) {
        // Idle: no new client finds the socket any more, and those already waiting are served.
        ::unlink(m_socketPath.c_str());
        m_bound = false;
        ::fcntl(m_listenFd, F_SETFL, O_NONBLOCK);
        while (ServeOne()) {
        }
        break;
      }
      if (waits[1].revents != 0) break;  // the connection spoke unasked or ended
      if (m_errors >= 0 && waits[2].revents != 0) DrainErrors();
      if (waits[0].revents != 0) {
        if (!ServeOne()) break;
        m_lastRequestMs = NowMs();
      }
    }
    End();
    return 0;
  }

 private:
  // Accepts and serves one waiting client; false when none was waiting or the connection to the
  // guest is no longer usable.
  bool ServeOne() {
    int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return errno == EINTR || errno == ECONNABORTED;
    bool usable = !PeerIsThisUser(client) || Answer(client);
    ::close(client);
    return usable;
  }

  // ssh's own messages after the start are read and dropped, so that it never blocks on them.
  void DrainErrors() {
    char buffer[4096];
    ssize_t got = ::read(m_errors, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
      ::close(m_errors);
      m_errors = -1;
    }
  }

  bool Listen(std::string& problem) {
    sockaddr_un address{};
    if (!SocketAddress(m_socketPath, address)) return false;
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) return false;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (errno != EADDRINUSE) {
        problem = std::string("cannot create the session socket: ") + std::strerror(errno);
        return false;
      }
      int other = ConnectTo(m_socketPath);
      if (other >= 0) {
        ::close(other);
        problem = "another session of this login is starting";
        return false;
      }
      // A name left by a session that ended without removing it: nobody answers there.
      if (::unlink(m_socketPath.c_str()) != 0 ||
          ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        problem = std::string("cannot create the session socket: ") + std::strerror(errno);
        return false;
      }
    }
    m_bound = true;
    return ::listen(m_listenFd, 16) == 0;
  }

  bool StartLoop(std::string& problem) {
    int toGuest[2], fromGuest[2], errors[2];
    if (::pipe2(toGuest, O_CLOEXEC) != 0) return false;
    if (::pipe2(fromGuest, O_CLOEXEC) != 0) return false;
    if (::pipe2(errors, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argv{m_settings.sshProgram, "-T"};
    argv.insert(argv.end(), m_options.begin(), m_options.end());
    argv.insert(argv.end(), {"-l", m_login.user});
    if (!m_login.port.empty()) argv.insert(argv.end(), {"-p", m_login.port});
    argv.insert(argv.end(), {"--", m_login.address, "bash -c " + ShellQuote::SingleQuoted(GuestLoop())});
    const std::vector<std::string> environment = OpenSshCommand::ChildEnvironment(m_settings.useKeys);
    m_ssh = ::fork();
    if (m_ssh < 0) return false;
    if (m_ssh == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::dup2(toGuest[0], STDIN_FILENO);
      ::dup2(fromGuest[1], STDOUT_FILENO);
      ::dup2(errors[1], STDERR_FILENO);
      std::vector<char*> args, variables;
      for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      for (const auto& variable : environment) variables.push_back(const_cast<char*>(variable.c_str()));
      variables.push_back(nullptr);
      ::execvpe(args[0], args.data(), variables.data());
      ::_exit(255);
    }
    ::close(toGuest[0]);
    ::close(fromGuest[1]);
    ::close(errors[1]);
    m_toGuest = toGuest[1];
    m_fromGuest = fromGuest[0];
    m_errors = errors[0];
    // The end mark of every answer: unpredictable, so that no output can end an answer early. It
    // reaches the guest on the connection's input, never on a command line.
    unsigned char random[16];
    if (::RAND_bytes(random, sizeof random) != 1) return false;
    m_mark = "zq-" + HexPrefix(random, 32);
    if (!WriteAll(m_toGuest, m_mark + '\0')) return false;
    // The greeting: whatever the guest's start files print, then the loop's ready line, and on
    // standard error the mark after whatever they printed there.
    const long long deadline = NowMs() + (m_settings.connectTimeout + 10) * 1000;
    size_t seen = 0;
    std::string line;
    while (seen < kMaxGreetingBytes && ReadLine(m_fromGuest, line, kMaxGreetingBytes, deadline)) {
      if (line == kReadyLine) {
        std::string noise;
        if (!ReadMarked(m_errors, noise, kMaxGreetingBytes, deadline)) break;
        ForgetPassword();
        return true;
      }
      seen += line.size() + 1;
    }
    ::close(m_toGuest);
    m_toGuest = -1;
    ReadRest(m_errors, problem, kKeptErrorBytes, NowMs() + 5000);
    return false;
  }

  // Serves one client: its arguments and script go to the guest loop, the answer back. False when
  // the connection to the guest is no longer usable.
  bool Answer(int client) {
    const long long clientDeadline = NowMs() + kConnectWaitMs * 5;
    std::string header, arguments, script, data;
    size_t argumentBytes = 0, scriptBytes = 0, dataBytes = 0;
    if (!ReadLine(client, header, kMaxHeaderBytes, clientDeadline)) return true;
    auto first = header.find(' ');
    auto second = first == std::string::npos ? first : header.find(' ', first + 1);
    if (second == std::string::npos || !ParseCount(header.substr(0, first), kMaxArgumentBytes, argumentBytes) ||
        !ParseCount(header.substr(first + 1, second - first - 1), kMaxScriptBytes, scriptBytes) ||
        !ParseCount(header.substr(second + 1), kMaxDataBytes, dataBytes) ||
        !ReadExact(client, argumentBytes, arguments, clientDeadline) ||
        !ReadExact(client, scriptBytes, script, clientDeadline) ||
        !ReadExact(client, dataBytes, data, clientDeadline)) {
      return true;
    }
    if (arguments.find('\0') != std::string::npos || script.find('\0') != std::string::npos) return true;
    std::string request;
    if (script != m_script) request += std::string("S") + '\0' + script + '\0';
    request += std::string("R") + '\0' + arguments + '\0' + std::to_string(data.size()) + '\0' + data;
    if (!WriteAll(m_toGuest, request)) return false;
    m_script = script;
    const long long deadline = m_settings.commandTimeLimit > 0 ? NowMs() + m_settings.commandTimeLimit * 1000 : -1;
    std::string output, errors;
    size_t status = 0;
    if (!ReadAnswer(output, errors, status, deadline)) return false;
    WriteAll(client, std::to_string(output.size()) + " " + std::to_string(errors.size()) + " " +
                         std::to_string(status) + "\n" + output + errors);
    return true;
  }

  // The answer: on standard output the command's output, then the mark, a blank, the exit status
  // and a newline; on standard error its errors, then the mark and a newline. Both streams are
  // read together, so that neither fills while the other is awaited.
  bool ReadAnswer(std::string& output, std::string& errors, size_t& status, long long deadlineMs) {
    if (m_errors < 0) return false;
    const std::string outputEnd = m_mark + ' ';
    const std::string errorEnd = m_mark + '\n';
    bool outputDone = false, errorsDone = false;
    char buffer[65536];
    while (!outputDone || !errorsDone) {
      int timeout = -1;
      if (deadlineMs >= 0) {
        const long long left = deadlineMs - NowMs();
        if (left <= 0) return false;
        timeout = static_cast<int>(left);
      }
      pollfd waits[2] = {{outputDone ? -1 : m_fromGuest, POLLIN, 0}, {errorsDone ? -1 : m_errors, POLLIN, 0}};
      const int ready = ::poll(waits, 2, timeout);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      for (int i = 0; i < 2; ++i) {
        if (waits[i].fd < 0 || waits[i].revents == 0) continue;
        const ssize_t got = ::read(waits[i].fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        std::string& text = i == 0 ? output : errors;
        const size_t before = text.size();
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > kMaxAnswerBytes + kMaxHeaderBytes) return false;
        const std::string& end = i == 0 ? outputEnd : errorEnd;
        const size_t at = text.find(end, before < end.size() ? 0 : before - end.size());
        if (at == std::string::npos) continue;
        if (i == 1) {
          // Nothing follows the mark: the guest loop writes nothing before the next request.
          if (at + end.size() != text.size()) return false;
          text.resize(at);
          errorsDone = true;
          continue;
        }
        const size_t newline = text.find('\n', at);
        if (newline == std::string::npos) continue;
        if (newline + 1 != text.size() ||
            !ParseCount(text.substr(at + end.size(), newline - at - end.size()), 255, status)) {
          return false;
        }
        text.resize(at);
        outputDone = true;
      }
    }
    return true;
  }

  // Reads from `fd` up to and including a line that is the mark, dropping what comes before it
  // (at most `limit` bytes).
  bool ReadMarked(int fd, std::string& before, size_t limit, long long deadlineMs) {
    std::string line;
    while (before.size() <= limit && ReadLine(fd, line, limit, deadlineMs)) {
      if (line == m_mark) return true;
      before += line + '\n';
    }
    return false;
  }

  // Closes the socket and the connection; the guest loop ends at the end of its input.
  void End() {
    if (m_bound) ::unlink(m_socketPath.c_str());
    if (m_listenFd >= 0) ::close(m_listenFd);
    if (m_toGuest >= 0) ::close(m_toGuest);
    if (m_ssh > 0) {
      std::string ignored;
      if (m_fromGuest >= 0) ReadRest(m_fromGuest, ignored, 0, NowMs() + 5000);
      if (::waitpid(m_ssh, nullptr, WNOHANG) == 0) {
        ::kill(m_ssh, SIGTERM);
        ::waitpid(m_ssh, nullptr, 0);
      }
    }
    if (m_fromGuest >= 0) ::close(m_fromGuest);
    if (m_errors >= 0) ::close(m_errors);
  }

  const SshToolSettings& m_settings;
  const std::vector<std::string>& m_options;
  const SshLogin& m_login;
  std::string m_socketPath;
  std::string m_script;  // the script text the guest loop holds
  std::string m_mark;    // the end mark of every answer
  long long m_lastRequestMs = 0;
  int m_listenFd = -1;
  bool m_bound = false;
  pid_t m_ssh = -1;
  int m_toGuest = -1, m_fromGuest = -1, m_errors = -1;
};

// Starts the session process, detached from the tool's process group and its output (the
// command runner waits for those to close). Returns the session's first word: "ok" or why it
// could not start.
std::string StartSession(const SshToolSettings& settings, const std::vector<std::string>& sshOptions,
                         const SshLogin& login, const std::string& socketPath) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return "cannot create a pipe";
  std::fflush(nullptr);
  pid_t first = ::fork();
  if (first < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return "cannot start the session process";
  }
  if (first == 0) {
    ::close(report[0]);
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) ::close(null);
    if (::chdir("/") != 0) ::_exit(1);
    ::signal(SIGPIPE, SIG_IGN);
    // The askpass run of the session's ssh reads the password from this process.
    OpenSshCommand::PrepareAskPass(RunningProgramPath(), login);
    Session session(settings, sshOptions, login, socketPath);
    ::_exit(session.Serve(report[1]));
  }
  ::close(report[1]);
  ::waitpid(first, nullptr, 0);
  std::string word;
  ReadRest(report[0], word, kKeptErrorBytes, NowMs() + (settings.connectTimeout + 30) * 1000);
  ::close(report[0]);
  return word;
}

// Sends the request and relays the answer. False when the session gave no complete answer.
bool Exchange(int fd, const std::string& arguments, const std::string& script, const std::string& data,
              int& status) {
  if (!WriteAll(fd, std::to_string(arguments.size()) + " " + std::to_string(script.size()) + " " +
                        std::to_string(data.size()) + "\n" + arguments + script + data)) {
    return false;
  }
  std::string header, output, errors;
  if (!ReadLine(fd, header, kMaxHeaderBytes, -1)) return false;
  size_t outputBytes = 0, errorBytes = 0, code = 0;
  auto first = header.find(' ');
  auto second = first == std::string::npos ? first : header.find(' ', first + 1);
  if (second == std::string::npos || !ParseCount(header.substr(0, first), kMaxAnswerBytes, outputBytes) ||
      !ParseCount(header.substr(first + 1, second - first - 1), kMaxAnswerBytes, errorBytes) ||
      !ParseCount(header.substr(second + 1), 255, code) || !ReadExact(fd, outputBytes, output, -1) ||
      !ReadExact(fd, errorBytes, errors, -1)) {
    return false;
  }
  WriteAll(STDOUT_FILENO, output);
  WriteAll(STDERR_FILENO, errors);
  status = static_cast<int>(code);
  return true;
}

bool ReadScript(std::string& script) {
  script.clear();
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    script.append(buffer, static_cast<size_t>(got));
    if (script.size() > kMaxStandardInputBytes) return false;
  }
}

}  // namespace

bool IsHelperScriptCommand(const std::vector<std::string>& command, std::string& arguments) {
  if (command.size() < 3 || command[0] != "bash -s" || command[1] != "--") return false;
  arguments.clear();
  for (size_t i = 2; i < command.size(); ++i) arguments += (i > 2 ? " " : "") + command[i];
  return arguments.find('\0') == std::string::npos;
}

const std::string& GuestLoop() {
  // The script is parsed once, as the body of a function. The first thing on the connection is
  // the end mark of the answers. Each request runs in a subshell: "set --" takes the arguments as
  // the login's shell would have split them, and the script runs with them and with standard
  // input from /dev/null, or from the request's data: exactly its size in bytes, read by head,
  // which never reads past them; whatever of it the script leaves is read here, so that the next
  // request starts where it should. Output and errors go straight to the connection, each followed
  // by the mark (output: mark, blank, exit status, newline; errors: mark, newline), so that a
  // request costs one process, or two with data, and no copy of its output. Lengths and reads are
  // in bytes (LC_ALL=C).
  static const std::string kLoop = R"LOOP(export LC_ALL=C
unset CDPATH
IFS= read -r -d '' zq_mark || exit 0
[[ $zq_mark =~ ^zq-[0-9a-f]{32}$ ]] || exit 0
printf 'zqsession-ready\n'
printf '%s\n' "$zq_mark" >&2
while IFS= read -r -d '' zq_kind; do
  case $zq_kind in
    S)
      IFS= read -r -d '' zq_script || exit 0
      unset -f zq_run
      eval "zq_run() {
$zq_script
}" 2>/dev/null || unset -f zq_run
      unset zq_script
      ;;
    R)
      IFS= read -r -d '' zq_args || exit 0
      IFS= read -r -d '' zq_size || exit 0
      [[ $zq_size =~ ^[0-9]+$ ]] || exit 0
      if ((zq_size > 0)); then
        head -c "$zq_size" | {
          (eval "set -- $zq_args" && zq_run "$@")
          zq_rc=$?
          while IFS= read -r -d '' zq_rest; do :; done
          exit "$zq_rc"
        }
      else
        (eval "set -- $zq_args" && zq_run "$@") </dev/null
      fi
      zq_rc=$?
      printf '%s %d\n' "$zq_mark" "$zq_rc"
      printf '%s\n' "$zq_mark" >&2
      ;;
    *) exit 0 ;;
  esac
done
)LOOP";
  return kLoop;
}

Outcome RunHelperCommand(const SshToolSettings& settings, const std::vector<std::string>& sshOptions,
                         const SshLogin& login, const std::string& arguments, const char* toolName, int& status) {
  status = 255;
  if (settings.guestSessionIdle <= 0 || SocketPath(settings, login).empty()) return Outcome::NotTaken;
  std::string script;
  if (!ReadScript(script)) {
    // Standard input is partly read: the plain path cannot run the command any more.
    std::fprintf(stderr, "%s: cannot read the helper script on standard input (at most 64 MiB)\n", toolName);
    return Outcome::Failed;
  }
  // An empty script, or one the loop cannot hold (a NUL byte, too large), runs on its own.
  const bool fits = !script.empty() && script.size() <= kMaxScriptBytes && script.find('\0') == std::string::npos;
  const Outcome outcome =
      fits ? RunScript(settings, sshOptions, login, script, arguments, "", true, toolName, status) : Outcome::NotTaken;
  if (outcome == Outcome::NotTaken) {
    // The plain path reads the script from standard input again.
    int copy = ::memfd_create("script", MFD_CLOEXEC);
    bool ok = copy >= 0 && WriteAll(copy, script) && ::lseek(copy, 0, SEEK_SET) == 0 &&
              ::dup2(copy, STDIN_FILENO) == STDIN_FILENO;
    if (copy >= 0) ::close(copy);
    if (!ok) return Outcome::Failed;
  }
  return outcome;
}

Outcome RunScript(const SshToolSettings& settings, const std::vector<std::string>& sshOptions, const SshLogin& login,
                  const std::string& script, const std::string& arguments, const std::string& input, bool mayStart,
                  const char* toolName, int& status) {
  status = 255;
  if (settings.guestSessionIdle <= 0 || input.size() > kMaxInlineBytes) return Outcome::NotTaken;
  const std::string socketPath = SocketPath(settings, login);
  if (socketPath.empty() || script.find('\0') != std::string::npos || script.size() > kMaxScriptBytes) {
    return Outcome::NotTaken;
  }
  const std::string& data = input;
  int fd = ConnectTo(socketPath);
  if (fd < 0 && !mayStart) return Outcome::NotTaken;
  if (fd < 0) {
    const std::string word = StartSession(settings, sshOptions, login, socketPath);
    if (word != "ok") {
      const SshFailure failure = OpenSshCommand::Classify(word);
      if (failure != SshFailure::None && failure != SshFailure::Other) {
        std::fprintf(stderr, "%s\n", OpenSshCommand::Describe(failure, toolName, login, settings).c_str());
        return Outcome::Failed;
      }
    }
    fd = ConnectTo(socketPath);
  }
  if (fd < 0) {
    std::fprintf(stderr, "%s: no guest session at %s; the command runs on its own\n", toolName,
                 login.address.c_str());
    return Outcome::NotTaken;
  }
  const bool answered = Exchange(fd, arguments, script, data, status);
  ::close(fd);
  if (!answered) {
    std::fprintf(stderr, "%s: the guest session at %s ended before the command's answer\n", toolName,
                 login.address.c_str());
    status = 255;
    return Outcome::Failed;
  }
  return Outcome::Done;
}

}  // namespace GuestShellSession
