// What a guest session process and its clients share: byte I/O on descriptors
// with a deadline, the length-counted fields of the framing, and the session's
// Unix socket in the private control folder, whose name carries a keyed digest
// of the password so that logins with different passwords never meet.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tools/OpenSshCommand.h"
#include "tools/WriteAll.h"

namespace GuestSessionChannel {

// The line a guest loop prints once it reads requests.
constexpr const char* kReadyLine = "zqsession-ready";
// Longest header line of a request or an answer.
constexpr size_t kMaxHeaderBytes = 64;
// Lines a login may print (a banner from the guest's start files) before the
// loop is ready.
constexpr size_t kMaxGreetingBytes = 64 * 1024;
// How much of ssh's messages a failed start keeps.
constexpr size_t kKeptErrorBytes = 16 * 1024;
// A client waits this long for a session to answer that it is there.
constexpr int kConnectWaitMs = 2000;

// Milliseconds of the monotonic clock.
long long NowMs();

// Waits until `fd` is readable (or writable); false on time-out. `deadlineMs` <
// 0: no limit.
bool WaitFor(int fd, short events, long long deadlineMs);

// Reads exactly `length` bytes into `text` (appended) before `deadlineMs`.
bool ReadExact(int fd, size_t length, std::string& text, long long deadlineMs);

// Reads one line (without its newline) of at most `limit` bytes, a byte at a
// time so that nothing after it is consumed.
bool ReadLine(int fd, std::string& line, size_t limit, long long deadlineMs);

// Reads everything until end of file, keeping the last `limit` bytes.
void ReadRest(int fd, std::string& text, size_t limit, long long deadlineMs);

// A decimal count of at most 12 digits and at most `limit`.
bool ParseCount(const std::string& text, size_t limit, size_t& value);

// Logged in: the askpass has had its answer and the connection needs no
// password any more. The value is wiped where it lies, in the environment block
// this process started with (the one /proc shows), so that a session that
// outlives its job carries no password.
void ForgetPassword();

// The socket of the login's session of `kind` (a letter: each kind of session
// has its own): the connection-reuse name of the password (a keyed digest) with
// a digest of user, address and port. Empty when the control folder is not
// usable.
std::string SocketPath(const SshToolSettings& settings, const SshLogin& login, char kind);

// The same name when the control folder is ready already (ControlFolder::IsReady); empty otherwise.
// Creates nothing: for a client that only looks for a session that runs.
std::string ExistingSocketPath(const SshToolSettings& settings, const SshLogin& login, char kind);

bool SocketAddress(const std::string& path, sockaddr_un& address);

// A connection to the session socket at `path`, through its control folder checked as
// ControlFolder::Open checks it; -1 when nobody of this user listens there (a listener of another
// user is refused before a byte is sent).
int ConnectTo(const std::string& path);

// Whether the peer of a Unix socket runs as this process's user.
bool PeerIsThisUser(int fd);

// A session process: claims the login's socket, starts one ssh that runs
// `remoteCommand` (a loop that reads framed requests) in the guest, waits for
// the loop's ready line (kReadyLine) and forgets the password, then hands each
// client of the socket to Relay(). It ends after `GuestSessionIdle` seconds
// without a request, when its socket is removed, when the connection ends or
// speaks unasked, or when Relay() finds the connection no longer usable.
class SessionProcess {
 public:
  SessionProcess(const SshToolSettings& settings, const std::vector<std::string>& sshOptions, const SshLogin& login,
                 std::string socketPath, std::string remoteCommand);
  virtual ~SessionProcess();
  SessionProcess(const SessionProcess&) = delete;
  SessionProcess& operator=(const SessionProcess&) = delete;

  // Claims the socket, starts the guest loop and reports "ok" or the failure's
  // text on `reportFd`, then serves requests until idle. Returns the process's
  // exit status.
  int Serve(int reportFd);

 protected:
  // Serves one client (of this user) of the socket: its request goes to the
  // guest loop through m_toGuest, the answer, read from m_fromGuest within the
  // command time limit, back to the client. False when the connection to the
  // guest is no longer usable.
  virtual bool Relay(int client) = 0;

  // Sends what the guest loop reads before it greets; false when it cannot be sent.
  virtual bool BeforeGreeting() { return true; }
  // Reads what the guest loop sends after its ready line, before `deadlineMs`; false when the
  // loop is not as expected.
  virtual bool AfterGreeting(long long deadlineMs) {
    (void)deadlineMs;
    return true;
  }

  const SshToolSettings& m_settings;
  int m_toGuest = -1, m_fromGuest = -1;
  int m_errors = -1;  // ssh's standard error

 private:
  bool ServeOne();
  void DrainErrors();
  bool Listen(std::string& problem);
  bool StartLoop(std::string& problem);
  void End();

  const std::vector<std::string>& m_options;
  const SshLogin& m_login;
  std::string m_socketPath;
  std::string m_socketName;  // its last part, in the folder held by m_folderFd
  std::string m_remoteCommand;
  int m_folderFd = -1;
  long long m_lastRequestMs = 0;
  int m_listenFd = -1;
  bool m_bound = false;
  pid_t m_ssh = -1;
};

// The answer a session gives its client: "<output bytes> <error bytes> <status>\n", the output,
// the errors.
bool SendAnswer(int client, const std::string& output, const std::string& errors, size_t status);

// What a session answered: the command's output, its errors and its exit status.
struct Answer {
  std::string output, errors;
  int status = 255;
};

// Reads a session's answer of at most `maxBytes` of output and of errors before `deadlineMs`.
// False when no complete answer came.
bool ReadAnswer(int fd, size_t maxBytes, long long deadlineMs, Answer& answer);

// Reads the answer as ReadAnswer does, writes the output and the errors to standard output and
// standard error and sets `status`. False when no complete answer came.
bool RelayAnswer(int fd, size_t maxBytes, long long deadlineMs, int& status);

// How long a client waits for its session's answer: the command's time limit, which the session
// keeps on the guest, with room for a session that starts first. -1 (no limit) only when the
// settings set no command time limit.
long long ClientDeadline(const SshToolSettings& settings);

// Starts the session process, detached from the tool's process group and its
// output (the command runner waits for those to close), with the askpass
// hand-over of `login` prepared; it runs `serve` with the descriptor on which
// the session reports. Returns the session's first word: "ok" or why it could
// not start.
std::string StartSession(const SshToolSettings& settings, const SshLogin& login,
                         const std::function<int(int reportFd)>& serve);

// A connection to the login's session at `socketPath`, starting the session with `serve` when none
// answers and `mayStart` is set. -1 when there is none; `refused` then tells whether the guest
// refused the login, which is explained on standard error and remembered as for a plain command.
int ConnectOrStart(const SshToolSettings& settings, const SshLogin& login, const std::string& socketPath,
                   bool mayStart, const std::function<int(int reportFd)>& serve, const char* toolName,
                   bool& refused);

}  // namespace GuestSessionChannel
