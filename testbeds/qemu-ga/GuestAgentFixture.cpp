#include "GuestAgentFixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/algorithm/string/join.hpp>
#include <chrono>
#include <cstring>
#include <thread>

namespace kvmtest {

namespace {

bool Answers(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  if (fd >= 0) ::close(fd);
  return connected;
}

}  // namespace

GuestAgent::GuestAgent(const std::string& folder, const std::vector<std::string>& blocked)
    : m_folder(folder), m_blocked(blocked), m_socket(folder + "/agent.sock") {}

GuestAgent::~GuestAgent() { Kill(); }

bool GuestAgent::Start(std::string& problem) {
  std::vector<std::string> words = {"qemu-ga", "-m", "unix-listen", "-p", m_socket,
                                    "-t", m_folder, "-f", m_folder + "/qemu-ga.pid", "-l", m_folder + "/qemu-ga.log"};
  if (!m_blocked.empty()) {
    words.push_back("-b");
    words.push_back(boost::algorithm::join(m_blocked, ","));
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  // An allow-listed environment: the agent's programs find coreutils and speak C.
  std::string path = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  std::string locale = "LC_ALL=C";
  char* environment[] = {&path[0], &locale[0], nullptr};
  if (posix_spawnp(&m_pid, "qemu-ga", nullptr, nullptr, argv.data(), environment) != 0) {
    m_pid = -1;
    problem = "qemu-ga cannot be started (package qemu-guest-agent)";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Answers(m_socket)) return true;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      problem = "qemu-ga ended at once; see " + m_folder + "/qemu-ga.log";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  problem = "qemu-ga did not listen on " + m_socket + " within 10 seconds";
  Kill();
  return false;
}

void GuestAgent::Freeze() {
  if (m_pid > 0) ::kill(m_pid, SIGSTOP);
}

void GuestAgent::Kill() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGKILL);
  int status = 0;
  ::waitpid(m_pid, &status, 0);
  m_pid = -1;
}

}  // namespace kvmtest
