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
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "tools/ControlFolder.h"
#include "tools/GuestSessionChannel.h"
#include "toolscontract/ShellQuote.h"

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
constexpr size_t kMaxDataBytes = kMaxInlineBytes;

using namespace GuestSessionChannel;

}  // namespace
}  // namespace GuestShellSession

// Embedded at build time (tools/EmbedText.cmake).
extern const char kGuestSessionLoopPerl[];
extern const char kHelperScriptText[];

namespace GuestShellSession {
namespace {


// ---- The session process of helper-script commands ------------------------------------------

class ShellSession : public SessionProcess {
 public:
  ShellSession(const SshToolSettings& settings, const std::vector<std::string>& sshOptions, const SshLogin& login,
               std::string socketPath)
      : SessionProcess(settings, sshOptions, login, std::move(socketPath),
                       "bash -c " + ShellQuote::SingleQuoted(settings.guestSessionPerl ? GuestLoopStarter() : GuestLoop())),
        m_perl(settings.guestSessionPerl) {}

 private:
  // The end mark of every answer: unpredictable, so that no output can end an answer early. It
  // reaches the guest on the connection's input, never on a command line; the Perl loop's program
  // comes before it.
  bool BeforeGreeting() override {
    unsigned char random[16];
    if (::RAND_bytes(random, sizeof random) != 1) return false;
    m_mark = "zq-" + ControlFolder::HexPrefix(random, 32);
    return WriteAll(m_toGuest, (m_perl ? GuestPerlLoopFrame() : std::string()) + m_mark + '\0');
  }

  // On standard error the loop sends the mark after whatever the guest's start files printed.
  bool AfterGreeting(long long deadlineMs) override {
    std::string noise;
    return ReadMarked(m_errors, noise, kMaxGreetingBytes, deadlineMs);
  }

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
    const long long deadline = m_settings.commandTimeLimit > 0 ? NowMs() + m_settings.commandTimeLimit * 1000 : -1;
    std::string output, errors;
    size_t status = 0;
    if (!ReadAnswer(output, errors, status, deadline)) return false;
    SendAnswer(client, output, errors, status);
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

  std::string m_script;  // the script text the guest loop holds
  std::string m_mark;    // the end mark of every answer
  bool m_perl;           // whether the guest loop starts in Perl where it can
};

// Sends the request and reads the answer. False when the session gave no complete answer.
bool Exchange(int fd, const std::string& arguments, const std::string& script, const std::string& data,
              long long deadlineMs, Answer& answer) {
  return WriteAll(fd, std::to_string(arguments.size()) + " " + std::to_string(script.size()) + " " +
                          std::to_string(data.size()) + "\n" + arguments + script + data) &&
         ReadAnswer(fd, kMaxAnswerBytes, deadlineMs, answer);
}

// Whether a request fits the session at all.
bool Fits(const SshToolSettings& settings, const std::string& script, const std::string& input) {
  return settings.guestSessionIdle > 0 && input.size() <= kMaxInlineBytes && !script.empty() &&
         script.size() <= kMaxScriptBytes && script.find('\0') == std::string::npos;
}

// Hands the request to the session on `fd` (closed here) and puts its answer, or the explanation
// why none came, in `answer`.
Outcome AskOn(int fd, const SshToolSettings& settings, const SshLogin& login, const std::string& script,
              const std::string& arguments, const std::string& input, const char* toolName, Answer& answer) {
  const bool answered = Exchange(fd, arguments, script, input, ClientDeadline(settings), answer);
  ::close(fd);
  if (answered) return Outcome::Done;
  answer = Answer{};
  answer.errors = std::string(toolName) + ": the guest session at " + login.address +
                  " ended before the command's answer\n";
  return Outcome::Failed;
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

std::string ScriptDigest(const std::string& script) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char byte : script) hash = (hash ^ byte) * 16777619u;
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", hash);
  return std::to_string(script.size()) + "-" + hex;
}

const std::string& GuestPerlLoop() {
  // Sent on every session start: comment lines, blank lines and indentation stay out. No line of
  // the program continues a string across a newline.
  static const std::string kProgram = [] {
    std::istringstream source{std::string(kGuestSessionLoopPerl)};
    std::string program, line;
    while (std::getline(source, line)) {
      boost::algorithm::trim_left(line);
      if (line.empty() || line[0] == '#') continue;
      program += line + '\n';
    }
    boost::algorithm::replace_all(program, "ZQ_HELPER_SCRIPT_DIGEST", ScriptDigest(kHelperScriptText));
    boost::algorithm::replace_all(program, "ZQ_MAX_SCRIPT_BYTES", std::to_string(kMaxScriptBytes));
    boost::algorithm::replace_all(program, "ZQ_MAX_ARGUMENT_BYTES", std::to_string(kMaxArgumentBytes));
    boost::algorithm::replace_all(program, "ZQ_MAX_DATA_BYTES", std::to_string(kMaxDataBytes));
    return program;
  }();
  return kProgram;
}

std::string GuestPerlLoopFrame() { return std::to_string(GuestPerlLoop().size()) + '\0' + GuestPerlLoop(); }

const std::string& GuestLoopStarter() {
  // The program is read by head, which never reads past the size it is given (bash's read would
  // take it a byte at a time). A perl that cannot compile it (too old, without its base modules)
  // ends before it reads anything, with a status other than 0 and its complaint on /dev/null; the
  // bash loop then reads the mark. The program itself ends with 0, its errors on descriptor 3.
  static const std::string kStarter = R"START(export LC_ALL=C
IFS= read -r -d '' zq_size || exit 0
[[ $zq_size =~ ^[0-9]{1,7}$ ]] || exit 0
zq_program=$(head -c "$zq_size" && printf x) || exit 0
zq_program=${zq_program%x}
((${#zq_program} == zq_size)) || exit 0
if command -v perl >/dev/null 2>&1; then
  perl -e "$zq_program" 3>&2 2>/dev/null && exit 0
fi
unset zq_program zq_size
)START" + GuestLoop();
  return kStarter;
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
  if (!Fits(settings, script, input)) return Outcome::NotTaken;
  const std::string socketPath = SocketPath(settings, login, kSocketKind);
  if (socketPath.empty()) return Outcome::NotTaken;
  bool refused = false;
  const int fd = ConnectOrStart(
      settings, login, socketPath, mayStart,
      [&](int reportFd) {
        ShellSession session(settings, sshOptions, login, socketPath);
        return session.Serve(reportFd);
      },
      toolName, refused);
  if (refused) return Outcome::Failed;
  if (fd < 0 && !mayStart) return Outcome::NotTaken;
  if (fd < 0) {
    std::fprintf(stderr, "%s: no guest session at %s; the command runs on its own\n", toolName,
                 login.address.c_str());
    return Outcome::NotTaken;
  }
  Answer answer;
  const Outcome outcome = AskOn(fd, settings, login, script, arguments, input, toolName, answer);
  WriteAll(STDOUT_FILENO, answer.output);
  WriteAll(STDERR_FILENO, answer.errors);
  status = answer.status;
  return outcome;
}

Outcome AskRunningSession(const SshToolSettings& settings, const SshLogin& login, const std::string& script,
                          const std::string& arguments, const std::string& input, const char* toolName,
                          Answer& answer) {
  answer = Answer{};
  if (!Fits(settings, script, input)) return Outcome::NotTaken;
  const std::string socketPath = ExistingSocketPath(settings, login, kSocketKind);
  const int fd = socketPath.empty() ? -1 : ConnectTo(socketPath);
  if (fd < 0) return Outcome::NotTaken;
  return AskOn(fd, settings, login, script, arguments, input, toolName, answer);
}

}  // namespace GuestShellSession
