// An agent that misbehaves, for what a real qemu-ga never does: on a unix socket in a temporary
// folder, it stays silent, answers late, answers with a line of any size, or streams bytes
// without end, before or after the synchronisation. It runs on a thread of its own, serves one
// client, and gives up by itself after `capSeconds` (or once it has streamed `capBytes`), so that a
// client that never lets go ends the test with a failed assertion (Capped), not a hang.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace kvmtest {

struct FakeAgentScript {
  bool accepts = true;          // false: never accepts, and its queue of waiting clients is full
  bool answersSync = true;      // answers guest-sync-delimited as qemu-ga does
  bool streams = false;         // then (or instead of the sync's answer) streams bytes without a line end or 0xFF
  std::string answer;           // else: this line (a newline is added) to the first command
  int delayMs = 0;              // before the answer
  size_t capBytes = 256u << 20;  // most bytes streamed
  int capSeconds = 8;           // longest the agent holds a client
};

class FakeAgent {
 public:
  FakeAgent(const std::string& folder, FakeAgentScript script);
  ~FakeAgent();
  FakeAgent(const FakeAgent&) = delete;
  FakeAgent& operator=(const FakeAgent&) = delete;

  // False with `problem` when the socket cannot be made.
  bool Start(std::string& problem);
  const std::string& socketPath() const { return m_socket; }
  // Waits for the agent to finish with its client (which closes or is given up); an agent that
  // accepts nobody stops waiting at once.
  void Finish();
  // Whether the agent reached its cap: the client never let go by itself. (An agent that accepts
  // nobody cannot see its clients: a client that waited past its limit fails "cannot connect".)
  bool Capped() const { return m_capped.load(); }
  size_t BytesStreamed() const { return m_streamed.load(); }

 private:
  void Serve();

  std::string m_socket;
  FakeAgentScript m_script;
  int m_listenFd = -1;
  int m_queued = -1;  // the connection that fills the queue when the agent accepts nobody
  std::thread m_thread;
  std::atomic<bool> m_capped{false};
  std::atomic<bool> m_finishing{false};
  std::atomic<size_t> m_streamed{0};
};

}  // namespace kvmtest
