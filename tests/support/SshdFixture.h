// A real OpenSSH server for integration tests: sshd on a loopback address (127.0.0.2, ...) with a
// throw-away host key, password logins for two test users and, like a stock guest, the SFTP
// subsystem. Needs root (it adds the test users and runs sshd). Every wait is bounded; the server
// and every session process it started end when the object goes, also when a test fails.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zqtest {

// The accounts the test server accepts. Created on first use, idempotently.
struct SshTestUsers {
  static constexpr const char* kUser = "zqtuser";
  static constexpr const char* kPassword = "Zq-test pass'1$";
  // A second account with user id 0, for changing owners in the "guest".
  static constexpr const char* kRootUser = "zqtroot";
  static constexpr const char* kRootPassword = "Zq-root pass\"2`";

  static bool Ensure(std::string& problem);
};

struct SshdOptions {
  std::string address = "127.0.0.2";
  int port = 0;       // 0: a free port is chosen
  bool sftp = true;   // offer the SFTP subsystem
  int startSeconds = 10;  // longest wait for the server's greeting
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
