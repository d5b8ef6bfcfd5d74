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

// The socket name's letter for sessions of helper-script commands.
constexpr char kSocketKind = 'g';
// Limits on what crosses the socket and the connection: the script, one request's arguments, and
// one answer's output or errors.
constexpr size_t kMaxScriptBytes = 1 << 20;
// Standard input a helper-script command may bring at all: it is read whole before the command
// runs, and handed on to a command that runs on its own.
constexpr size_t kMaxStandardInputBytes = 64u << 20;
constexpr size_t kMaxArgumentBytes = 1 << 20;
constexpr size_t kMaxAnswerBytes = 256u << 20;
constexpr size_t kMaxDataBytes = 4 * ((kMaxInlineBytes + 2) / 3);

using namespace GuestSessionChannel;


// ---- The session process of helper-script commands ------------------------------------------

class ShellSession : public SessionProcess {
 public:
  ShellSession(const SshToolSettings& settings, const std::vector<std::string>& sshOptions, const SshLogin& login,
               std::string socketPath)
      : SessionProcess(settings, sshOptions, login, std::move(socketPath), "bash -c " + ShellQuote::SingleQuoted(GuestLoop())) {}

 private:
  // Serves one client: its arguments and script go to the guest loop, the answer back. False when
  // the connection to the guest is no longer usable.
  bool Relay(int client) override {
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

  std::string m_script;  // the script text the guest loop holds
};

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
  if (settings.guestSessionIdle <= 0 || SocketPath(settings, login, kSocketKind).empty()) return Outcome::NotTaken;
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
  const std::string socketPath = SocketPath(settings, login, kSocketKind);
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
    const std::string word = StartSession(settings, login, [&](int reportFd) {
      ShellSession session(settings, sshOptions, login, socketPath);
      return session.Serve(reportFd);
    });
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
