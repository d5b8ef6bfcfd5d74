// Bounded reading of outside input: the limits hold exactly at their edge, and no error text
// quotes the input.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/InputLimits.h"
#include "support/TestSupport.h"

namespace {

std::string Nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(InputLimits, JsonAtTheLimitsPassesAndOneBeyondFails) {
  const JsonLimits limits{100, 3};
  const struct {
    std::string text;
    const char* error;  // empty: accepted
  } rows[] = {
      {Nested(3), ""},
      {Nested(4), "nested deeper than 3 levels"},
      {R"({"a": {"b": [1]}})", ""},
      {R"({"a": {"b": [[1]]}})", "nested deeper than 3 levels"},
      {"\"" + std::string(98, 'x') + "\"", ""},
      {"\"" + std::string(99, 'x') + "\"", "larger than 100 bytes"},
  };
  for (const auto& row : rows) {
    nlohmann::json document;
    std::string error;
    EXPECT_EQ(ParseJsonWithLimits(row.text, limits, document, error), *row.error == '\0') << row.text;
    EXPECT_EQ(error, row.error) << row.text;
  }
}

TEST(InputLimits, SyntaxErrorNamesThePlaceButNotTheText) {
  nlohmann::json document;
  std::string error;
  EXPECT_FALSE(ParseJsonWithLimits("{\"password\": \"hunter2\x01\"}", {100, 3}, document, error));
  EXPECT_EQ(error, "not valid JSON at line 1, column 22");
}

TEST(InputLimits, FileReadStopsAtTheLimit) {
  zqtest::TempDir dir;
  const std::string path = dir.Join("f");
  zqtest::WriteFile(path, "12345");
  std::string text = "old";
  std::string error;
  EXPECT_TRUE(ReadFileWithLimit(path, 5, text, error));
  EXPECT_EQ(text, "12345");
  EXPECT_FALSE(ReadFileWithLimit(path, 4, text, error));
  EXPECT_EQ(error, "larger than 4 bytes");
  EXPECT_EQ(text, "");
  EXPECT_FALSE(ReadFileWithLimit(dir.Join("absent"), 4, text, error));
  EXPECT_EQ(error, "cannot be opened");
}

}  // namespace
