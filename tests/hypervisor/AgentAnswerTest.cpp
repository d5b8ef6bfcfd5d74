// Reading the guest agent's answers: outside input, so every malformed or oversized form is a
// failure of its own kind, never a crash or a success.
#include <gtest/gtest.h>

#include "hypervisor/AgentTransport.h"

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
