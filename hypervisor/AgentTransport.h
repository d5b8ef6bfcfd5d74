// How the component talks to a QEMU guest agent: one command object in, the value of its "return"
// member out. Two transports serve the same guest operations (AgentGuestFiles.h): libvirt's
// virDomainQemuAgentCommand for a domain of a libvirt host (LibvirtVMInfo.cpp), and a direct
// connection to the agent's unix socket for plain QEMU users and for the tests.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "hypervisor/VMInfoStatus.h"

// Largest answer accepted, in bytes without its line end: a file chunk or a program's captured
// output, in base64, fits well.
constexpr size_t kMaxAgentAnswerBytes = 64u << 20;

// How a command failed, beyond its text: callers treat a silent agent differently from a refusal.
enum class AgentFailure { None, NoAnswer, Refused, Malformed };

class AgentTransport {
 public:
  virtual ~AgentTransport() = default;

  // Sends {"execute": command, "arguments": arguments} (no "arguments" when it is null) and waits
  // at most `timeoutSeconds` for the answer. On success `result` holds the answer's "return"
  // value. A failure carries the agent's or libvirt's own text; `failure` says which kind.
  virtual VMInfoStatus Execute(const std::string& command, const nlohmann::json& arguments, int timeoutSeconds,
                               nlohmann::json& result, AgentFailure& failure) = 0;
};

// The transport over the agent's own unix socket (qemu-ga -m unix-listen, or QEMU's chardev of the
// agent channel). It connects on first use and synchronises with guest-sync-delimited, so answers
// left over from an earlier client are skipped; after a time-out it reconnects before the next
// command.
std::unique_ptr<AgentTransport> MakeAgentSocketTransport(const std::string& socketPath);

// Parses one answer of the agent: its "return" value, or a failure with the agent's "desc".
// Answers are bounded in nesting depth and size; anything else is Malformed.
VMInfoStatus ReadAgentAnswer(const std::string& command, const std::string& text, nlohmann::json& result,
                             AgentFailure& failure);

// Base64 as the agent carries file contents and program output.
std::string EncodeBase64(const std::string& bytes);
bool DecodeBase64(const std::string& text, std::string& bytes);
