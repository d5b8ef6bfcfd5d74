// A real OpenSSH server for integration tests: sshd on a loopback address (127.0.0.2, ...) with a
// throw-away host key, password logins for two test users and, like a stock guest, the SFTP
// subsystem. Needs root (to run sshd and give it a mount namespace). Every wait is bounded; the
// server and every session process it started end when the object goes, also when a test fails.
//
// The machine's accounts are never touched: each sshd runs in a mount namespace of its own in which
// /etc/passwd, /etc/shadow and /etc/group are private copies, made once per test program in a
// temporary folder. Only there do the test user exist and root have a password, a random one.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zqtest {

// The accounts the test servers accept, as the servers see them. The passwords are new for every
// test program and carry characters that a shell would read (quotes, "$", a back-quote).
struct SshTestUsers {
  static constexpr const char* kUser = "zqtuser";
  // The machine's own root account, which inside the servers' namespace has a password.
  static constexpr const char* kRootUser = "root";

  static const std::string& Password();      // of kUser
  static const std::string& RootPassword();  // of kRootUser, inside the test servers only
  // The user and group id of kUser; no account of the machine has them.
  static uid_t UserId();
  static gid_t GroupId();
  // Home folder of kUser (a temporary folder, owned by UserId()).
  static std::string Home();

  // Writes the private account files once per test program; false with `problem` when it cannot.
  static bool Ensure(std::string& problem);
  // The folder holding the private "passwd", "shadow" and "group"; empty before Ensure.
  static std::string AccountFolder();
};

struct SshdOptions {
  std::string address = "127.0.0.2";
  int port = 0;       // 0: a free port is chosen
  bool sftp = true;   // offer the SFTP subsystem
  int startSeconds = 10;  // longest wait for the server's greeting
  // "NAME=VALUE" variables every session gets (sshd's SetEnv), e.g. a preload library of the test bed.
  std::vector<std::string> sessionEnvironment;
};

class SshdServer {
 public:
  explicit SshdServer(SshdOptions options = {});
  ~SshdServer();
  SshdServer(const SshdServer&) = delete;
  SshdServer& operator=(const SshdServer&) = delete;

  // Makes the test users, a host key and a configuration, starts sshd and waits until it
  // greets. False with `problem` set (including sshd's own messages) otherwise.
  bool Start(std::string& problem);
  // Ends sshd and every process it started (sessions, shells). Safe to call twice.
  void Stop();
  bool IsRunning() const { return m_pid > 0; }

  const std::string& address() const { return m_options.address; }
  int port() const { return m_port; }
  // The public host key line ("ssh-ed25519 AAAA..."), e.g. for a known_hosts file.
  std::string HostPublicKey() const;
  // What sshd logged so far.
  std::string Log() const;
  // Process ids of everything sshd started (connection handlers and their sessions).
  std::vector<pid_t> SessionProcesses() const;

  // True when this machine can run these tests: root and an sshd. Otherwise `reason` says why.
  static bool CanRun(std::string& reason);

 private:
  bool PrepareFolder(std::string& problem);
  bool WaitForGreeting(std::string& problem);

  SshdOptions m_options;
  int m_port = 0;
  std::string m_folder;
  pid_t m_pid = -1;
};

// A TCP port on `address` that nothing listened on a moment ago; 0 when none could be found.
int FreeLoopbackPort(const std::string& address);

// Runs `command` through /bin/sh with at most `seconds` of time (coreutils' timeout); returns the
// exit status (124 on time-out) and fills `output` with standard output and error together.
int RunBounded(const std::string& command, int seconds, std::string& output);

}  // namespace zqtest
