#include "toolscontract/ShellQuote.h"
#include "toolscontract/ShellWords.h"

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

// ---- Reading command lines back without a shell ------------------------------------------------

struct LineRow {
  const char* name;
  std::string line;
  bool readable;
  std::vector<std::string> words;
  std::string inputFile;
};

void PrintTo(const LineRow& row, std::ostream* out) { *out << row.name; }

const std::vector<LineRow> kLines = {
    {"PlainWords", "/base/zqplink.exe 10.0.0.1 -l root uname -a", true,
     {"/base/zqplink.exe", "10.0.0.1", "-l", "root", "uname", "-a"}, ""},
    {"HelperCommand", "'/base dir/zqplink.exe' 10.0.0.1 -l 'it'\\''s' \"bash -s\" -- < '/base dir/s.sh' "
                      "\"--browse_path\" \"'/d/./a b'\"",
     true, {"/base dir/zqplink.exe", "10.0.0.1", "-l", "it's", "bash -s", "--", "--browse_path", "'/d/./a b'"},
     "/base dir/s.sh"},
    {"RedirectionWithoutBlank", "/t/x <in a", true, {"/t/x", "a"}, "in"},
    {"EmptyWord", "/t/x '' \"\"", true, {"/t/x", "", ""}, ""},
    {"EscapesInDoubleQuotes", "/t/x \"\\$\\`\\\"\\\\\\n\"", true, {"/t/x", "$`\"\\\\n"}, ""},
    {"NewlineInsideQuotes", "/t/x 'a\nb'", true, {"/t/x", "a\nb"}, ""},
    {"Tabs", "/t/x\ta\t\tb", true, {"/t/x", "a", "b"}, ""},
    {"Expansion", "/t/x $HOME", false, {}, ""},
    {"ExpansionInDoubleQuotes", "/t/x \"$(id)\"", false, {}, ""},
    {"BackquoteInDoubleQuotes", "/t/x \"`id`\"", false, {}, ""},
    {"Glob", "/t/x *", false, {}, ""},
    {"Pipe", "/t/x a | b", false, {}, ""},
    {"List", "/t/x a; b", false, {}, ""},
    {"OutputRedirection", "/t/x > f", false, {}, ""},
    {"SecondRedirection", "/t/x < a < b", false, {}, ""},
    {"RedirectionWithoutFile", "/t/x <", false, {}, ""},
    {"RedirectionInsideAWord", "/t/x a<b", false, {}, ""},
    {"Comment", "/t/x #a", false, {}, ""},
    {"Tilde", "~/x", false, {}, ""},
    {"Assignment", "A=1 /t/x", false, {}, ""},
    {"QuotedAssignmentIsAWord", "'A=1' /t/x", true, {"A=1", "/t/x"}, ""},
    {"UnquotedLineBreak", "/t/x\n/t/y", false, {}, ""},
    {"UnclosedSingleQuote", "/t/x 'a", false, {}, ""},
    {"UnclosedDoubleQuote", "/t/x \"a", false, {}, ""},
    {"TrailingBackslash", "/t/x a\\", false, {}, ""},
    // sh joins the lines at a backslash-newline (inside double quotes too) and reads "ab": a reader
    // that kept either byte would run another word than the shell.
    {"BackslashNewlineInDoubleQuotes", "/t/x \"a\\\nb\"", false, {}, ""},
    {"BackslashNewlineOutsideQuotes", "/t/x a\\\nb", false, {}, ""},
    {"BackslashNewlineInSingleQuotesIsKept", "/t/x 'a\\\nb'", true, {"/t/x", "a\\\nb"}, ""},
    {"NoWord", "  ", false, {}, ""},
    {"OnlyARedirection", "< f", false, {}, ""},
};

class ShellWordsTable : public testing::TestWithParam<LineRow> {};

TEST_P(ShellWordsTable, ReadsThePlainPartOfTheShellLanguageAndNothingElse) {
  const LineRow& row = GetParam();
  ShellWords::CommandLine parsed;
  ASSERT_EQ(ShellWords::Split(row.line, parsed), row.readable);
  if (!row.readable) return;
  EXPECT_EQ(parsed.words, row.words);
  EXPECT_EQ(parsed.inputFile, row.inputFile);
}

INSTANTIATE_TEST_SUITE_P(Rows, ShellWordsTable, testing::ValuesIn(kLines),
                         [](const testing::TestParamInfo<LineRow>& info) { return std::string(info.param.name); });

// The longest line is read, one byte more is not: a word of the size that fills the line exactly,
// then one byte longer, then one byte shorter.
TEST(ShellWords, ReadsALineUpToItsLengthLimit) {
  const std::string command = "/t/x ";
  for (const auto& [extra, readable] : {std::pair<long, bool>{-1, true}, {0, true}, {1, false}}) {
    const std::string line = command + std::string(ShellWords::kMaxLineBytes - command.size() + extra, 'a');
    ShellWords::CommandLine parsed;
    EXPECT_EQ(ShellWords::Split(line, parsed), readable) << line.size() << " bytes";
    if (readable) {
      EXPECT_EQ(parsed.words.size(), 2u);
    }
  }
}

// Every word ShellQuote builds, in every form, reads back as its text, as /bin/sh reads it.
TEST(ShellWords, ReadsBackEveryQuotedWordAsShDoes) {
  std::string line = "/t/x";
  std::vector<std::string> expected{"/t/x"};
  for (const QuoteRow& row : kRows) {
    for (const std::string& word : {row.singleQuoted, row.doubleQuoted, row.word,
                                    ShellQuote::DoubleQuoted(ShellQuote::SingleQuoted(row.text))}) {
      line += " " + word;
      expected.push_back(ThroughShell("/bin/sh", word));
    }
  }
  ShellWords::CommandLine parsed;
  ASSERT_TRUE(ShellWords::Split(line, parsed));
  EXPECT_EQ(parsed.words, expected);
}

}  // namespace
