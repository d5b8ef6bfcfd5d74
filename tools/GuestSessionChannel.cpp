#include "tools/GuestSessionChannel.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/pstring.h"
#include "tools/ControlFolder.h"

namespace GuestSessionChannel {

long long NowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until `fd` is readable (or writable); false on time-out. `deadlineMs` <
// 0: no limit.
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

// Reads one line (without its newline) of at most `limit` bytes, a byte at a
// time so that nothing after it is consumed.
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

// Logged in: the askpass has had its answer and the connection needs no
// password any more. The value is wiped where it lies, in the environment block
// this process started with (the one /proc shows), so that a session that
// outlives its job carries no password.
void ForgetPassword() {
  if (char* value = std::getenv(OpenSshCommand::kPasswordVariable)) ::explicit_bzero(value, std::strlen(value));
  ::unsetenv(OpenSshCommand::kPasswordVariable);
}

// The socket of the login's session: the connection-reuse name of the password
// (a keyed digest) with a digest of user, address and port. Empty when the
// control folder is not usable.
namespace {

// The session socket's name in the control folder, whose readiness the caller has seen to.
std::string SocketPathIn(const SshToolSettings& settings, const SshLogin& login, char kind) {
  std::string problem, pattern;
  const char* variable = std::getenv(OpenSshCommand::kPasswordVariable);
  std::string password = variable ? variable : "";
  WipeOnExit wipe(password);
  if (!ControlFolder::SocketPattern(settings.controlDir, password, pattern, problem)) return "";
  if (pattern.size() < 2 || pattern.compare(pattern.size() - 2, 2, "%C") != 0) return "";
  const std::string who = login.user + '\0' + login.address + '\0' + login.port;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(who.data()), who.size(), digest);
  std::string path = pattern.substr(0, pattern.size() - 2) + "-" + kind + HexPrefix(digest, 16);
  return path.size() < sizeof(sockaddr_un{}.sun_path) ? path : "";
}

}  // namespace

std::string SocketPath(const SshToolSettings& settings, const SshLogin& login, char kind) {
  if (settings.controlDir.find('%') != std::string::npos) return "";
  std::string problem;
  if (!ControlFolder::MakePrivate(settings.controlDir, problem)) return "";
  return SocketPathIn(settings, login, kind);
}

std::string ExistingSocketPath(const SshToolSettings& settings, const SshLogin& login, char kind) {
  if (settings.controlDir.find('%') != std::string::npos || !ControlFolder::IsReady(settings.controlDir)) return "";
  return SocketPathIn(settings, login, kind);
}

bool SocketAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

namespace {

// The folder and the name of a socket path.
void SplitSocketPath(const std::string& path, std::string& folder, std::string& name) {
  const auto slash = path.find_last_of('/');
  folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int ConnectTo(const std::string& path) {
  std::string folder, name, problem;
  SplitSocketPath(path, folder, name);
  // Through the checked folder, never by the path's name alone.
  const int folderFd = ControlFolder::Open(folder, false, problem);
  if (folderFd < 0) return -1;
  sockaddr_un address{};
  const bool named = SocketAddress(ControlFolder::ThroughFolder(folderFd, name), address);
  int fd = named ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  const bool connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(folderFd);
  // Only a session of this very user hears a request: a socket someone else listens on gets
  // nothing, not even the first byte.
  if (!connected || !PeerIsThisUser(fd)) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

bool PeerIsThisUser(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::geteuid();
}

// ---- The session process
// ----------------------------------------------------------------------

SessionProcess::SessionProcess(const SshToolSettings& settings, const std::vector<std::string>& sshOptions,
                               const SshLogin& login, std::string socketPath, std::string remoteCommand)
    : m_settings(settings),
      m_options(sshOptions),
      m_login(login),
      m_socketPath(std::move(socketPath)),
      m_remoteCommand(std::move(remoteCommand)) {}

SessionProcess::~SessionProcess() = default;

// Claims the socket, starts the guest loop and reports "ok" or the failure's
// text on `reportFd`, then serves requests until idle. Returns the process's
// exit status.
int SessionProcess::Serve(int reportFd) {
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
    // A look once a second: a session whose socket was removed (its control
    // folder cleared) ends too.
    int ready = ::poll(waits, m_errors >= 0 ? 3 : 2, 1000);
    if (ready < 0 && errno == EINTR) continue;
    struct stat socketInfo {};
    const bool gone = ::fstatat(m_folderFd, m_socketName.c_str(), &socketInfo, AT_SYMLINK_NOFOLLOW) != 0;
    if (gone) m_bound = false;
    if (ready < 0 || gone) break;
    if (ready == 0 && NowMs() < m_lastRequestMs + m_settings.guestSessionIdle * 1000) continue;
    if (ready == 0) {
      // Idle: no new client finds the socket any more, and those already
      // waiting are served.
      ::unlinkat(m_folderFd, m_socketName.c_str(), 0);
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

// Accepts and serves one waiting client; false when none was waiting or the
// connection to the guest is no longer usable.
bool SessionProcess::ServeOne() {
  int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return errno == EINTR || errno == ECONNABORTED;
  bool usable = !PeerIsThisUser(client) || Relay(client);
  ::close(client);
  return usable;
}

// ssh's own messages after the start are read and dropped, so that it never
// blocks on them.
void SessionProcess::DrainErrors() {
  char buffer[4096];
  ssize_t got = ::read(m_errors, buffer, sizeof buffer);
  if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
    ::close(m_errors);
    m_errors = -1;
  }
}

bool SessionProcess::Listen(std::string& problem) {
  std::string folder;
  SplitSocketPath(m_socketPath, folder, m_socketName);
  // The folder is held for the session's life: the socket is bound, watched and removed in the
  // folder that was checked, even if its path is made to lead elsewhere later.
  m_folderFd = ControlFolder::Open(folder, false, problem);
  if (m_folderFd < 0) return false;
  sockaddr_un address{};
  if (!SocketAddress(ControlFolder::ThroughFolder(m_folderFd, m_socketName), address)) return false;
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
    // A name left by a session that ended without removing it: nobody of this user answers
    // there.
    if (::unlinkat(m_folderFd, m_socketName.c_str(), 0) != 0 ||
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      problem = std::string("cannot create the session socket: ") + std::strerror(errno);
      return false;
    }
  }
  m_bound = true;
  return ::listen(m_listenFd, 16) == 0;
}

bool SessionProcess::StartLoop(std::string& problem) {
  int toGuest[2], fromGuest[2], errors[2];
  if (::pipe2(toGuest, O_CLOEXEC) != 0) return false;
  if (::pipe2(fromGuest, O_CLOEXEC) != 0) return false;
  if (::pipe2(errors, O_CLOEXEC) != 0) return false;
  std::vector<std::string> argv{m_settings.sshProgram, "-T"};
  argv.insert(argv.end(), m_options.begin(), m_options.end());
  argv.insert(argv.end(), {"-l", m_login.user});
  if (!m_login.port.empty()) argv.insert(argv.end(), {"-p", m_login.port});
  argv.insert(argv.end(), {"--", m_login.address, m_remoteCommand});
  const std::vector<std::string> environment = OpenSshCommand::ChildEnvironment(m_settings.useKeys);
  const pid_t self = ::getpid();
  m_ssh = ::fork();
  if (m_ssh < 0) return false;
  if (m_ssh == 0) {
    // Ends with the session; a session that ended before the request took effect is not outlived.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != self) ::_exit(255);
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
  if (!BeforeGreeting()) return false;
  // The greeting: whatever the guest's start files print, then the loop's ready
  // line.
  const long long deadline = NowMs() + (m_settings.connectTimeout + 10) * 1000;
  size_t seen = 0;
  std::string line;
  while (seen < kMaxGreetingBytes && ReadLine(m_fromGuest, line, kMaxGreetingBytes, deadline)) {
    if (line == kReadyLine) {
      if (!AfterGreeting(deadline)) break;
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

// Closes the socket and the connection; the guest loop ends at the end of its
// input.
void SessionProcess::End() {
  if (m_bound) ::unlinkat(m_folderFd, m_socketName.c_str(), 0);
  if (m_folderFd >= 0) ::close(m_folderFd);
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

std::string StartSession(const SshToolSettings& settings, const SshLogin& login,
                         const std::function<int(int reportFd)>& serve) {
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
    // The askpass run of the session's ssh reads the password from this
    // process.
    OpenSshCommand::PrepareAskPass(RunningProgramPath(), login);
    ::_exit(serve(report[1]));
  }
  ::close(report[1]);
  ::waitpid(first, nullptr, 0);
  std::string word;
  ReadRest(report[0], word, kKeptErrorBytes, NowMs() + (settings.connectTimeout + 30) * 1000);
  ::close(report[0]);
  return word;
}

bool SendAnswer(int client, const std::string& output, const std::string& errors, size_t status) {
  return WriteAll(client, std::to_string(output.size()) + " " + std::to_string(errors.size()) + " " +
                              std::to_string(status) + "\n" + output + errors);
}

bool ReadAnswer(int fd, size_t maxBytes, long long deadlineMs, Answer& answer) {
  std::string header;
  answer = Answer{};
  if (!ReadLine(fd, header, kMaxHeaderBytes, deadlineMs)) return false;
  size_t outputBytes = 0, errorBytes = 0, code = 0;
  const auto first = header.find(' ');
  const auto second = first == std::string::npos ? first : header.find(' ', first + 1);
  if (second == std::string::npos || !ParseCount(header.substr(0, first), maxBytes, outputBytes) ||
      !ParseCount(header.substr(first + 1, second - first - 1), maxBytes, errorBytes) ||
      !ParseCount(header.substr(second + 1), 255, code) || !ReadExact(fd, outputBytes, answer.output, deadlineMs) ||
      !ReadExact(fd, errorBytes, answer.errors, deadlineMs)) {
    return false;
  }
  answer.status = static_cast<int>(code);
  return true;
}

bool RelayAnswer(int fd, size_t maxBytes, long long deadlineMs, int& status) {
  Answer answer;
  if (!ReadAnswer(fd, maxBytes, deadlineMs, answer)) return false;
  WriteAll(STDOUT_FILENO, answer.output);
  WriteAll(STDERR_FILENO, answer.errors);
  status = answer.status;
  return true;
}

long long ClientDeadline(const SshToolSettings& settings) {
  if (settings.commandTimeLimit <= 0) return -1;
  return NowMs() + (settings.commandTimeLimit + settings.connectTimeout + 30) * 1000;
}

int ConnectOrStart(const SshToolSettings& settings, const SshLogin& login, const std::string& socketPath,
                   bool mayStart, const std::function<int(int reportFd)>& serve, const char* toolName,
                   bool& refused) {
  refused = false;
  const int fd = ConnectTo(socketPath);
  if (fd >= 0 || !mayStart) return fd;
  const std::string word = StartSession(settings, login, serve);
  if (word != "ok") {
    const SshFailure failure = OpenSshCommand::Classify(word);
    if (failure != SshFailure::None && failure != SshFailure::Other) {
      // Explained once, and a refused password remembered, so that the next tool run does not
      // offer it to the guest again.
      OpenSshCommand::Report(failure, toolName, login, settings, word);
      refused = true;
      return -1;
    }
  }
  return ConnectTo(socketPath);
}

}  // namespace GuestSessionChannel
