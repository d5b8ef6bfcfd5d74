#include "testbeds/qemu-ga/FakeAgent.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

namespace kvmtest {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Sends all of `bytes`; false when the client closed or the deadline passed.
bool SendAll(int fd, const std::string& bytes, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd ready{fd, POLLOUT, 0};
    if (::poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) return false;
    const ssize_t wrote = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (wrote <= 0) return false;
    sent += static_cast<size_t>(wrote);
  }
  return true;
}

// The next line the client sent; false when it closed or the deadline passed.
bool ReadLine(int fd, std::string& buffered, std::string& line, Clock::time_point deadline) {
  for (;;) {
    const size_t end = buffered.find('\n');
    if (end != std::string::npos) {
      line = buffered.substr(0, end);
      buffered.erase(0, end + 1);
      return true;
    }
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) return false;
    char chunk[4096];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    buffered.append(chunk, static_cast<size_t>(got));
  }
}

// Waits until the client closes; false when the deadline came first.
bool WaitForClose(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) return false;
    char chunk[4096];
    if (::recv(fd, chunk, sizeof chunk, 0) <= 0) return true;
  }
}

}  // namespace

FakeAgent::FakeAgent(const std::string& folder, FakeAgentScript script)
    : m_socket(folder + "/fake-agent.sock"), m_script(std::move(script)) {}

FakeAgent::~FakeAgent() {
  Finish();
  if (m_listenFd >= 0) ::close(m_listenFd);
  if (m_queued >= 0) ::close(m_queued);
}

bool FakeAgent::Start(std::string& problem) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (m_socket.size() >= sizeof(address.sun_path)) {
    problem = "socket path too long";
    return false;
  }
  std::memcpy(address.sun_path, m_socket.c_str(), m_socket.size() + 1);
  m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_listenFd, m_script.accepts ? 4 : 0) != 0) {
    problem = std::string("cannot listen: ") + std::strerror(errno);
    return false;
  }
  if (!m_script.accepts) {
    // A queue of no length still takes one client: this one, so that the next must wait.
    m_queued = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_queued < 0 || ::connect(m_queued, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      problem = std::string("cannot fill the queue: ") + std::strerror(errno);
      return false;
    }
  }
  m_thread = std::thread([this] { Serve(); });
  return true;
}

void FakeAgent::Finish() {
  m_finishing = true;
  if (m_thread.joinable()) m_thread.join();
}

void FakeAgent::Serve() {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(m_script.capSeconds);
  if (!m_script.accepts) {
    // Until the test is done with it, or gives up; then the socket goes, and a client still
    // waiting to connect is refused (its failure says so, not the time limit).
    while (!m_finishing.load() && MillisecondsLeft(deadline) > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(m_listenFd);
    m_listenFd = -1;
    return;
  }
  pollfd waiting{m_listenFd, POLLIN, 0};
  if (::poll(&waiting, 1, MillisecondsLeft(deadline)) <= 0) {
    m_capped = true;
    return;
  }
  const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  bool gaveUp = false;
  std::string buffered, line;
  bool asked = ReadLine(client, buffered, line, deadline);
  if (asked && m_script.answersSync) {
    const nlohmann::json sync = nlohmann::json::parse(line, nullptr, false);
    const nlohmann::json id = sync.is_object() ? sync["arguments"]["id"] : nlohmann::json();
    asked = SendAll(client, std::string("\xff") + nlohmann::json{{"return", id}}.dump() + "\n", deadline) &&
            ReadLine(client, buffered, line, deadline);
  } else if (asked && !m_script.streams) {
    asked = false;  // silent from the start
  }
  if (asked && m_script.streams) {
    // Faster than the client takes it, so that there is always more to read: large writes into a
    // large send buffer (root may raise it past the system's default bound).
    const int queue = 64 << 20;
    if (::setsockopt(client, SOL_SOCKET, SO_SNDBUFFORCE, &queue, sizeof queue) != 0) {
      ::setsockopt(client, SOL_SOCKET, SO_SNDBUF, &queue, sizeof queue);
    }
    const std::string chunk(4 << 20, 'x');
    bool open = true;
    while (open && m_streamed < m_script.capBytes && MillisecondsLeft(deadline) > 0) {
      open = SendAll(client, chunk, deadline);
      if (open) m_streamed += chunk.size();
    }
    gaveUp = open && !WaitForClose(client, deadline);
  } else if (asked && !m_script.answer.empty()) {
    if (m_script.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(m_script.delayMs));
    SendAll(client, m_script.answer + "\n", deadline);
    WaitForClose(client, deadline);
  } else {
    gaveUp = !WaitForClose(client, deadline);
  }
  m_capped = gaveUp;
  ::close(client);
}

}  // namespace kvmtest
