// Reading the guest agent's answers: outside input, so every malformed or oversized form is a
// failure of its own kind, never a crash or a success.
#include <gtest/gtest.h>

#include <cstdint>

#include "hypervisor/AgentTransport.h"
#include "support/TestSupport.h"
#include "testbeds/qemu-ga/FakeAgent.h"

namespace {

struct AnswerRow {
  const char* name;
  std::string text;
  AgentFailure failure;
  const char* textPart;  // in the failure's text, or the dumped result on success
};

class AgentAnswers : public testing::TestWithParam<AnswerRow> {};

TEST_P(AgentAnswers, AreReadOrRefusedByKind) {
  const AnswerRow& row = GetParam();
  nlohmann::json result;
  AgentFailure failure = AgentFailure::NoAnswer;
  const VMInfoStatus status = ReadAgentAnswer("guest-exec", row.text, result, failure);
  EXPECT_EQ(failure, row.failure);
  EXPECT_EQ(status.ok(), row.failure == AgentFailure::None);
  const std::string seen = status.ok() ? result.dump() : status.text();
  EXPECT_NE(seen.find(row.textPart), std::string::npos) << seen;
}

INSTANTIATE_TEST_SUITE_P(
    Agent, AgentAnswers,
    testing::Values(
        AnswerRow{"Result", R"({"return": {"pid": 7}})", AgentFailure::None, R"({"pid":7})"},
        AnswerRow{"Refusal", R"({"error": {"class": "GenericError", "desc": "disabled for this instance"}})",
                  AgentFailure::Refused, "refused guest-exec: disabled for this instance"},
        AnswerRow{"NotJson", "{\"return\": ", AgentFailure::Malformed, "not readable JSON"},
        AnswerRow{"NotAnObject", "[1, 2]", AgentFailure::Malformed, "not an object"},
        AnswerRow{"NoResult", R"({"id": 1})", AgentFailure::Malformed, "has no result"},
        AnswerRow{"NestedTooDeeply", "{\"return\": " + std::string(200, '[') + std::string(200, ']') + "}",
                  AgentFailure::Malformed, "not readable JSON"}),
    [](const testing::TestParamInfo<AnswerRow>& info) { return std::string(info.param.name); });

// The transport over the agent's socket, against an agent that misbehaves: whatever it does, a
// command ends within its time limit and within the answer bound, by a failure of its kind. The
// agent gives up by itself after some seconds; a client still holding on then is a failure
// (Capped), not a hang.
struct TransportRow {
  const char* name;
  kvmtest::FakeAgentScript agent;
  bool ok;
  const char* textPart;  // in the failure's text, or the dumped result on success
};
void PrintTo(const TransportRow& row, std::ostream* out) { *out << row.name; }

// An answer line of exactly `bytes` bytes: a string result padded to size.
std::string AnswerOfSize(size_t bytes) {
  const std::string frame = R"({"return": ""})";
  std::string answer = frame;
  answer.insert(frame.size() - 2, std::string(bytes - frame.size(), 'A'));
  return answer;
}

kvmtest::FakeAgentScript Answering(std::string answer, int delayMs = 0) {
  kvmtest::FakeAgentScript script;
  script.answer = std::move(answer);
  script.delayMs = delayMs;
  return script;
}

kvmtest::FakeAgentScript Silent(bool answersSync) {
  kvmtest::FakeAgentScript script;
  script.answersSync = answersSync;
  return script;
}

kvmtest::FakeAgentScript NotAccepting() {
  kvmtest::FakeAgentScript script;
  script.accepts = false;
  return script;
}

kvmtest::FakeAgentScript Streaming(bool answersSync, size_t capBytes) {
  kvmtest::FakeAgentScript script;
  script.answersSync = answersSync;
  script.streams = true;
  script.capBytes = capBytes;
  return script;
}

class AgentSocket : public testing::TestWithParam<TransportRow> {};

TEST_P(AgentSocket, EndsEveryCommandWithinItsLimits) {
  const TransportRow& row = GetParam();
  zqtest::TempDir folder;
  kvmtest::FakeAgent agent(folder.path(), row.agent);
  std::string problem;
  ASSERT_TRUE(agent.Start(problem)) << problem;
  nlohmann::json result;
  AgentFailure failure = AgentFailure::None;
  {
    auto transport = MakeAgentSocketTransport(agent.socketPath());
    const VMInfoStatus status = transport->Execute("guest-info", nullptr, 2, result, failure);
    EXPECT_EQ(status.ok(), row.ok) << status.text();
    const std::string seen = status.ok() ? result.dump().substr(0, 40) : status.text();
    EXPECT_NE(seen.find(row.textPart), std::string::npos) << seen;
    if (!row.ok) {
      EXPECT_NE(failure, AgentFailure::None);
    }
  }
  agent.Finish();
  EXPECT_FALSE(agent.Capped()) << "the client held on until the agent gave up";
  if (row.agent.streams && row.agent.answersSync) {
    // What the client took of a line without end: the bound, and what the queue held beyond it.
    EXPECT_LE(agent.BytesStreamed(), kMaxAgentAnswerBytes + (72u << 20)) << "read on past the answer bound";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Agent, AgentSocket,
    testing::Values(
        TransportRow{"AnswerWellWithinTheTimeLimit", Answering(R"({"return": {"version": "7"}})", 200), true,
                     R"("version")"},
        TransportRow{"ListensAndNeverAccepts", NotAccepting(), false, "time limit reached while connecting"},
        TransportRow{"AcceptsAndNeverAnswersTheSync", Silent(false), false, "time limit reached"},
        TransportRow{"SyncsAndNeverAnswersTheCommand", Silent(true), false, "time limit reached"},
        // Bytes keep coming after the time limit: the limit still ends the command.
        TransportRow{"StreamsWithoutEndBeforeTheSync", Streaming(false, SIZE_MAX), false, "time limit reached"},
        TransportRow{"StreamsALineWithoutEnd", Streaming(true, 200u << 20), false, "larger than the limit"},
        TransportRow{"AnswerOneByteBelowTheBound", Answering(AnswerOfSize(kMaxAgentAnswerBytes - 1)), true, "AAAA"},
        TransportRow{"AnswerAtTheBound", Answering(AnswerOfSize(kMaxAgentAnswerBytes)), true, "AAAA"},
        TransportRow{"AnswerOneByteAboveTheBound", Answering(AnswerOfSize(kMaxAgentAnswerBytes + 1)), false,
                     "larg"}),
    [](const testing::TestParamInfo<TransportRow>& info) { return std::string(info.param.name); });

TEST(AgentBase64, RoundTripsEveryLengthAndRefusesForeignCharacters) {
  for (size_t length = 0; length < 7; ++length) {
    const std::string bytes = std::string("\x00\xff\x10 a\nz", 7).substr(0, length);
    std::string back;
    ASSERT_TRUE(DecodeBase64(EncodeBase64(bytes), back)) << length;
    EXPECT_EQ(back, bytes);
  }
  EXPECT_EQ(EncodeBase64("ab"), "YWI=");
  std::string ignored;
  EXPECT_FALSE(DecodeBase64("YW!=", ignored));
  EXPECT_FALSE(DecodeBase64("YWI", ignored));
}

}  // namespace
