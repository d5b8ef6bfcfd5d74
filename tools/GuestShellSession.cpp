#include "GuestShellSession.h"

#include <fcntl.h>
#include <openssl/evp.h>
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

#include "ControlFolder.h"
#include "GuestSessionChannel.h"
#include "guestapi/ShellQuote.h"

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
constexpr size_t kMaxDataBytes = 4 * ((kMaxInlineBytes + 2) / 3);
constexpr size_t kMaxHeaderBytes = 64;
// Lines a login may print (a banner from the guest's shell start files) before the loop is ready.
constexpr size_t kMaxGreetingBytes = 64 * 1024;
constexpr size_t kKeptErrorBytes = 16 * 1024;
// A client waits this long for a session to answer that it is there.
constexpr int kConnectWaitMs = 2000;

using namespace GuestSessionChannel;


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
    // The greeting: whatever the guest's start files print, then the loop's ready line.
    const long long deadline = NowMs() + (m_settings.connectTimeout + 10) * 1000;
    size_t seen = 0;
    std::string line;
    while (seen < kMaxGreetingBytes && ReadLine(m_fromGuest, line, kMaxGreetingBytes, deadline)) {
      if (line == kReadyLine) {
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
    // The answer: "O<n>\n" and n bytes of output, "C<status>\n", "E<n>\n" and n bytes of errors.
    const long long deadline = m_settings.commandTimeLimit > 0 ? NowMs() + m_settings.commandTimeLimit * 1000 : -1;
    std::string line, output, errors;
    size_t outputBytes = 0, errorBytes = 0, status = 0;
    if (!ReadLine(m_fromGuest, line, kMaxHeaderBytes, deadline) || line[0] != 'O' ||
        !ParseCount(line.substr(1), kMaxAnswerBytes, outputBytes) ||
        !ReadExact(m_fromGuest, outputBytes, output, deadline) ||
        !ReadLine(m_fromGuest, line, kMaxHeaderBytes, deadline) || line[0] != 'C' ||
        !ParseCount(line.substr(1), 255, status) || !ReadLine(m_fromGuest, line, kMaxHeaderBytes, deadline) ||
        line[0] != 'E' || !ParseCount(line.substr(1), kMaxAnswerBytes, errorBytes) ||
        !ReadExact(m_fromGuest, errorBytes, errors, deadline)) {
      return false;
    }
    WriteAll(client, std::to_string(output.size()) + " " + std::to_string(errors.size()) + " " +
                         std::to_string(status) + "\n" + output + errors);
    return true;
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
  // The script is parsed once, as the body of a function. Each request runs in a subshell: "set
  // --" takes the arguments as the login's shell would have split them, the script runs with them and with standard input from /dev/null, or from
  // the request's data (base64, read in one piece by head, so that it may hold any byte). Its
  // output is kept with a trailing "x", so that trailing newlines survive; lengths count bytes
  // (LC_ALL=C).
  static const std::string kLoop = R"LOOP(export LC_ALL=C
unset CDPATH
printf 'zqsession-ready\n'
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
      zq_data=
      if ((zq_size > 0)); then
        zq_data=$(head -c "$zq_size") || exit 0
        ((${#zq_data} == zq_size)) || exit 0
      fi
      {
        zq_err=$({
          zq_out=$(if ((zq_size > 0)); then
              (eval "set -- $zq_args" && zq_run "$@") < <(printf '%s' "$zq_data" | base64 -d)
            else
              (eval "set -- $zq_args" && zq_run "$@") </dev/null
            fi
            zq_rc=$?
            printf x
            exit "$zq_rc"
          )
          zq_rc=$?
          printf 'O%d\n%sC%d\n' "$((${#zq_out} - 1))" "${zq_out%x}" "$zq_rc" >&3
        } 2>&1
          printf x)
        printf 'E%d\n%s' "$((${#zq_err} - 1))" "${zq_err%x}"
      } 3>&1
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
  std::string data;
  if (!input.empty()) {
    data.resize(4 * ((input.size() + 2) / 3) + 1);
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(data.data()),
                                 reinterpret_cast<const unsigned char*>(input.data()), static_cast<int>(input.size()));
    data.resize(length < 0 ? 0 : static_cast<size_t>(length));
  }
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
