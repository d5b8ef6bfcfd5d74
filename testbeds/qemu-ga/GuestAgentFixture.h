// A real QEMU guest agent for tests: qemu-ga listening on a unix socket in a temporary folder, its
// state file and pid file there too. The agent runs on this machine as a child of the test, so
// its "guest" is this machine: tests keep every path they hand it inside their temporary folder.
// The agent ends when the object goes, also when a test fails.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kvmtest {

class GuestAgent {
 public:
  // `blocked`: commands the agent refuses (qemu-ga --block-rpcs).
  explicit GuestAgent(const std::string& folder, const std::vector<std::string>& blocked = {});
  ~GuestAgent();
  GuestAgent(const GuestAgent&) = delete;
  GuestAgent& operator=(const GuestAgent&) = delete;

  // False with `problem` set when the agent did not start listening within 10 seconds.
  bool Start(std::string& problem);
  // Ends the agent at once (SIGKILL), as a crashed or stopped agent would.
  void Kill();
  // Stops the agent (SIGSTOP): it keeps its socket but never answers, as a frozen agent does.
  void Freeze();
  const std::string& socketPath() const { return m_socket; }

 private:
  std::string m_folder;
  std::vector<std::string> m_blocked;
  std::string m_socket;
  pid_t m_pid = -1;
};

}  // namespace kvmtest
