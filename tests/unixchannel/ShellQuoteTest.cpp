#include "toolscontract/ShellQuote.h"

#include <gtest/gtest.h>

#include "testbeds/sshd/SshdFixture.h"
#include "support/TestSupport.h"

namespace {

struct QuoteRow {
  const char* name;
  std::string text;
  std::string singleQuoted;
  std::string doubleQuoted;
  std::string word;
};

void PrintTo(const QuoteRow& row, std::ostream* out) { *out << row.name; }

const std::vector<QuoteRow> kRows = {
    {"Plain", "/var/log", "'/var/log'", "\"/var/log\"", "/var/log"},
    {"Empty", "", "''", "\"\"", "''"},
    {"Blank", "a b", "'a b'", "\"a b\"", "'a b'"},
    {"SingleQuote", "it's", "'it'\\''s'", "\"it's\"", "'it'\\''s'"},
    {"DoubleQuote", "say \"hi\"", "'say \"hi\"'", "\"say \\\"hi\\\"\"", "'say \"hi\"'"},
    {"Dollar", "$(reboot)", "'$(reboot)'", "\"\\$(reboot)\"", "'$(reboot)'"},
    {"Backquote", "`id`", "'`id`'", "\"\\`id\\`\"", "'`id`'"},
    {"Backslash", "a\\b", "'a\\b'", "\"a\\\\b\"", "'a\\b'"},
    {"Newline", "a\nb", "'a\nb'", "\"a\nb\"", "'a\nb'"},
    {"LeadingDash", "-rf", "'-rf'", "\"-rf\"", "-rf"},
    {"Glob", "*.txt", "'*.txt'", "\"*.txt\"", "'*.txt'"},
    {"Semicolon", "a;b", "'a;b'", "\"a;b\"", "'a;b'"},
    {"Tilde", "~root", "'~root'", "\"~root\"", "'~root'"},
    {"NonUtf8", "\xff\xfe", "'\xff\xfe'", "\"\xff\xfe\"", "'\xff\xfe'"},
    {"UserAtHost", "root@10.0.0.1", "'root@10.0.0.1'", "\"root@10.0.0.1\"", "root@10.0.0.1"},
};

class ShellQuoteTable : public testing::TestWithParam<QuoteRow> {};

TEST_P(ShellQuoteTable, BuildsTheExpectedWords) {
  const QuoteRow& row = GetParam();
  EXPECT_EQ(ShellQuote::SingleQuoted(row.text), row.singleQuoted);
  EXPECT_EQ(ShellQuote::DoubleQuoted(row.text), row.doubleQuoted);
  EXPECT_EQ(ShellQuote::Word(row.text), row.word);
  EXPECT_TRUE(ShellQuote::IsCarriable(row.text));
}

// What `shell` makes of `word`, printed back byte for byte. The word goes into a script file so
// that no other shell reads it first.
std::string ThroughShell(const std::string& shell, const std::string& word) {
  zqtest::TempDir dir;
  zqtest::WriteFile(dir.Join("script"), "printf %s " + word);
  std::string output;
  EXPECT_EQ(zqtest::RunBounded(shell + " " + dir.Join("script"), 10, output), 0) << output;
  return output;
}

TEST_P(ShellQuoteTable, EveryWordReadsBackAsTheTextInShAndBash) {
  const QuoteRow& row = GetParam();
  for (const std::string shell : {"/bin/sh", "/bin/bash"}) {
    EXPECT_EQ(ThroughShell(shell, row.singleQuoted), row.text) << shell;
    EXPECT_EQ(ThroughShell(shell, row.doubleQuoted), row.text) << shell;
    EXPECT_EQ(ThroughShell(shell, row.word), row.text) << shell;
  }
}

TEST_P(ShellQuoteTable, GuestWordInsideProxyWordSurvivesBothShells) {
  const QuoteRow& row = GetParam();
  std::string nested = ShellQuote::DoubleQuoted(ShellQuote::SingleQuoted(row.text));
  std::string afterProxy = ThroughShell("/bin/sh", nested);
  EXPECT_EQ(afterProxy, row.singleQuoted);
  EXPECT_EQ(ThroughShell("/bin/bash", afterProxy), row.text);
}

INSTANTIATE_TEST_SUITE_P(Rows, ShellQuoteTable, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<QuoteRow>& info) { return std::string(info.param.name); });

TEST(ShellQuote, RefusesOnlyTheNulByte) {
  EXPECT_FALSE(ShellQuote::IsCarriable(std::string("a\0b", 3)));
  std::string everyOtherByte;
  for (int c = 1; c < 256; ++c) everyOtherByte += static_cast<char>(c);
  EXPECT_TRUE(ShellQuote::IsCarriable(everyOtherByte));
  EXPECT_EQ(ThroughShell("/bin/sh", ShellQuote::SingleQuoted(everyOtherByte)), everyOtherByte);
  EXPECT_EQ(ThroughShell("/bin/sh", ShellQuote::DoubleQuoted(everyOtherByte)), everyOtherByte);
}

}  // namespace
