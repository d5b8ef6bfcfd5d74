#include "hypervisor/AgentTransport.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "hypervisor/UniqueFd.h"

namespace {

constexpr int kMaxAnswerDepth = 16;
constexpr char kSyncDelimiter = '\xff';

using Clock = std::chrono::steady_clock;

VMInfoStatus AgentError(const std::string& text) { return VMInfoStatus::Fail(VMInfoError::GuestAgent, text); }

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

class AgentSocketTransport : public AgentTransport {
 public:
  explicit AgentSocketTransport(std::string socketPath) : m_socketPath(std::move(socketPath)) {}

  VMInfoStatus Execute(const std::string& command, const nlohmann::json& arguments, int timeoutSeconds,
                       nlohmann::json& result, AgentFailure& failure) override {
    failure = AgentFailure::None;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    VMInfoStatus status = m_socket.valid() ? VMInfoStatus::Ok() : Connect(deadline);
    if (status.ok()) {
      nlohmann::json request = {{"execute", command}};
      if (!arguments.is_null()) request["arguments"] = arguments;
      std::string answer;
      status = Send(request.dump() + "\n", deadline);
      if (status.ok()) status = ReadLine(deadline, answer);
      if (status.ok()) return ReadAgentAnswer(command, answer, result, failure);
    }
    // The stream is out of step after a failure; the next command starts on a fresh connection.
    m_socket.Reset();
    m_buffered.clear();
    failure = AgentFailure::NoAnswer;
    return AgentError("The guest agent at [" + m_socketPath + "] did not answer " + command + ": " + status.text());
  }

 private:
  VMInfoStatus Connect(Clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_socketPath.size() >= sizeof(address.sun_path)) return AgentError("socket path too long");
    std::memcpy(address.sun_path, m_socketPath.c_str(), m_socketPath.size() + 1);
    // Without blocking: an agent whose queue of waiting clients is full (it serves another one and
    // accepts nobody) makes a unix socket's connect wait with no end. It is tried again until the
    // time limit instead.
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return AgentError(std::string("cannot connect: ") + std::strerror(errno));
    while (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return AgentError(std::string("cannot connect: ") + std::strerror(errno));
      if (MillisecondsLeft(deadline) == 0) return AgentError("time limit reached while connecting");
      ::poll(nullptr, 0, std::min(MillisecondsLeft(deadline), 20));
    }
    m_socket = std::move(fd);
    m_buffered.clear();
    // The agent answers guest-sync-delimited with a 0xFF byte before its answer, so whatever an
    // earlier client left unread is skipped up to that byte.
    const uint32_t id = std::random_device()() & 0x7fffffff;
    const nlohmann::json sync = {{"execute", "guest-sync-delimited"}, {"arguments", {{"id", id}}}};
    VMInfoStatus status = Send(sync.dump() + "\n", deadline);
    while (status.ok()) {
      const size_t delimiter = m_buffered.find(kSyncDelimiter);
      if (delimiter != std::string::npos) {
        m_buffered.erase(0, delimiter + 1);
        break;
      }
      m_buffered.clear();
      status = Receive(deadline);
    }
    for (std::string line; status.ok();) {
      status = ReadLine(deadline, line);
      nlohmann::json answer;
      AgentFailure failure = AgentFailure::None;
      if (status.ok() && ReadAgentAnswer("guest-sync-delimited", line, answer, failure).ok() && answer == id) break;
    }
    if (!status.ok()) m_socket.Reset();
    return status;
  }

  VMInfoStatus Send(const std::string& bytes, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      pollfd ready{m_socket.get(), POLLOUT, 0};
      const int polled = ::poll(&ready, 1, MillisecondsLeft(deadline));
      if (polled == 0) return AgentError("time limit reached while sending");
      if (polled < 0 && errno == EINTR) continue;
      const ssize_t written =
          polled < 0 ? -1 : ::send(m_socket.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (written < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return AgentError(std::string("cannot send: ") + std::strerror(errno));
      }
      sent += static_cast<size_t>(written);
    }
    return VMInfoStatus::Ok();
  }

  VMInfoStatus Receive(Clock::time_point deadline) {
    for (;;) {
      // Checked before looking for data too: an agent that never stops sending is still cut off.
      const int left = MillisecondsLeft(deadline);
      pollfd ready{m_socket.get(), POLLIN, 0};
      const int polled = left == 0 ? 0 : ::poll(&ready, 1, left);
      if (polled == 0) return AgentError("time limit reached while waiting for the answer");
      if (polled < 0) {
        if (errno == EINTR) continue;
        return AgentError(std::string("cannot wait for the answer: ") + std::strerror(errno));
      }
      char chunk[65536];
      const ssize_t got = ::recv(m_socket.get(), chunk, sizeof(chunk), 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got < 0) return AgentError(std::string("cannot read the answer: ") + std::strerror(errno));
      if (got == 0) return AgentError("the agent closed the connection");
      m_buffered.append(chunk, static_cast<size_t>(got));
      return VMInfoStatus::Ok();
    }
  }

  VMInfoStatus ReadLine(Clock::time_point deadline, std::string& line) {
    // Each byte is looked at once: a long answer arrives in many pieces.
    for (size_t searched = 0;;) {
      const size_t end = m_buffered.find('\n', searched);
      if (end != std::string::npos) {
        line = m_buffered.substr(0, end);
        m_buffered.erase(0, end + 1);
        return VMInfoStatus::Ok();
      }
      searched = m_buffered.size();
      if (m_buffered.size() > kMaxAgentAnswerBytes) return AgentError("answer larger than the limit");
      VMInfoStatus status = Receive(deadline);
      if (!status.ok()) return status;
    }
  }

  std::string m_socketPath;
  UniqueFd m_socket;
  std::string m_buffered;
};

}  // namespace

VMInfoStatus ReadAgentAnswer(const std::string& command, const std::string& text, nlohmann::json& result,
                             AgentFailure& failure) {
  failure = AgentFailure::Malformed;
  if (text.size() > kMaxAgentAnswerBytes) return AgentError("The guest agent's answer to " + command + " is too large");
  // Nesting is bounded while parsing, so a hostile answer cannot exhaust the stack.
  const nlohmann::json::parser_callback_t bounded = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
    if (depth > kMaxAnswerDepth) throw std::length_error("nested too deeply");
    return true;
  };
  nlohmann::json answer;
  try {
    answer = nlohmann::json::parse(text, bounded);
  } catch (const std::exception&) {
    return AgentError("The guest agent's answer to " + command + " is not readable JSON");
  }
  if (!answer.is_object()) return AgentError("The guest agent's answer to " + command + " is not an object");
  const auto error = answer.find("error");
  if (error != answer.end()) {
    failure = AgentFailure::Refused;
    const auto desc = error->is_object() ? error->find("desc") : error->end();
    const std::string reason = desc != error->end() && desc->is_string() ? desc->get<std::string>() : error->dump();
    return AgentError("The guest agent refused " + command + ": " + reason);
  }
  const auto value = answer.find("return");
  if (value == answer.end()) return AgentError("The guest agent's answer to " + command + " has no result");
  result = *value;
  failure = AgentFailure::None;
  return VMInfoStatus::Ok();
}

std::unique_ptr<AgentTransport> MakeAgentSocketTransport(const std::string& socketPath) {
  return std::make_unique<AgentSocketTransport>(socketPath);
}

std::string EncodeBase64(const std::string& bytes) {
  using namespace boost::archive::iterators;
  using Encoder = base64_from_binary<transform_width<std::string::const_iterator, 6, 8>>;
  std::string text(Encoder(bytes.begin()), Encoder(bytes.end()));
  text.append((3 - bytes.size() % 3) % 3, '=');
  return text;
}

bool DecodeBase64(const std::string& text, std::string& bytes) {
  using namespace boost::archive::iterators;
  using Decoder = transform_width<binary_from_base64<std::string::const_iterator>, 8, 6>;
  if (text.size() % 4 != 0) return false;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  std::string body = text.substr(0, text.size() - padding);
  body.append(padding, 'A');
  try {
    bytes.assign(Decoder(body.begin()), Decoder(body.end()));
  } catch (const std::exception&) {
    return false;  // a character outside the alphabet
  }
  bytes.resize(bytes.size() - padding);
  return true;
}
