// The quoting of the Windows channel, one row per input: the expected text, and where a real
// shell reads it, the round trip through /bin/sh.
#include <gtest/gtest.h>

#include "guestapi/WinQuote.h"
#include "platform/ZqProcess.h"

namespace {

struct Row {
  std::string input;
  std::string expected;
};

std::ostream& operator<<(std::ostream& out, const Row& row) { return out << "[" << row.input << "]"; }

// What /bin/sh prints for `printf %s <word>`.
std::string ShellReads(const std::string& word) {
  std::string out;
  std::string err;
  EXPECT_EQ(ZqProcess::system("printf %s " + word, &out, &err, 0, true), 0) << err;
  return out;
}

class PowerShellQuoteContent : public ::testing::TestWithParam<Row> {};

TEST_P(PowerShellQuoteContent, DoublesEverySingleQuoteCharacter) {
  EXPECT_EQ(WinQuote::PowerShellQuoteContent(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, PowerShellQuoteContent,
                         ::testing::Values(Row{"C:\\Restore", "C:\\Restore"}, Row{"it's", "it''s"}, Row{"''", "''''"},
                                           Row{"\xE2\x80\x98x\xE2\x80\x99", "\xE2\x80\x98\xE2\x80\x98x\xE2\x80\x99\xE2\x80\x99"},
                                           Row{"\xE2\x80\x9A\xE2\x80\x9B", "\xE2\x80\x9A\xE2\x80\x9A\xE2\x80\x9B\xE2\x80\x9B"},
                                           // Double quotes and other typographic marks mean nothing here.
                                           Row{"\"\xE2\x80\x9C", "\"\xE2\x80\x9C"}, Row{"$x `y", "$x `y"}, Row{"", ""}));

class ShellDoubleQuoteEscape : public ::testing::TestWithParam<Row> {};

TEST_P(ShellDoubleQuoteEscape, EscapesWhatTheShellReadsInDoubleQuotes) {
  EXPECT_EQ(WinQuote::ShellDoubleQuoteEscape(GetParam().input), GetParam().expected);
}

TEST_P(ShellDoubleQuoteEscape, SurvivesTheRealShell) {
  EXPECT_EQ(ShellReads("\"" + WinQuote::ShellDoubleQuoteEscape(GetParam().input) + "\""), GetParam().input);
}

INSTANTIATE_TEST_SUITE_P(Table, ShellDoubleQuoteEscape,
                         ::testing::Values(Row{"C:\\Restore\\a.txt", "C:\\Restore\\a.txt"}, Row{"Write-Host $x", "Write-Host \\$x"},
                                           Row{"C:\\$Recycle.Bin", "C:\\\\\\$Recycle.Bin"}, Row{"a`id`b", "a\\`id\\`b"},
                                           Row{"$(id)", "\\$(id)"}, Row{"say \"hi\"", "say \\\"hi\\\""},
                                           Row{"C:\\dir\\", "C:\\dir\\\\"}, Row{"a\\\\b", "a\\\\\\b"},
                                           Row{"a\\\"b", "a\\\\\\\"b"}, Row{"%PATH% & ^ | < > ' !", "%PATH% & ^ | < > ' !"},
                                           Row{"caf\xC3\xA9", "caf\xC3\xA9"}, Row{"a\\\nb", "a\\\\\nb"},
                                           Row{"", ""}));

struct CmdLineRow {
  std::string text;
  bool passes;
};
void PrintTo(const CmdLineRow& row, std::ostream* out) { *out << "[" << row.text << "]"; }

class PassesCmdLineUnchanged : public ::testing::TestWithParam<CmdLineRow> {};

TEST_P(PassesCmdLineUnchanged, KnowsWhatCmdAndPowerShellChange) {
  EXPECT_EQ(WinQuote::PassesCmdLineUnchanged(GetParam().text), GetParam().passes) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Table, PassesCmdLineUnchanged,
                         ::testing::Values(CmdLineRow{"C:\\Restore\\a b.txt", true}, CmdLineRow{"C:\\it's $x `y [1] (2)", true},
                                           CmdLineRow{"caf\xC3\xA9", true}, CmdLineRow{"%PATH%", false},
                                           CmdLineRow{"a&b", false}, CmdLineRow{"a^b", false}, CmdLineRow{"a|b", false},
                                           CmdLineRow{"a<b", false}, CmdLineRow{"a\"b", false},
                                           CmdLineRow{"a  b", false}, CmdLineRow{"a\tb", false}));

TEST(EncodePowerShellCommand, IsBase64OfUtf16LittleEndian) {
  std::string encoded;
  ASSERT_TRUE(WinQuote::EncodePowerShellCommand("Write-Host 'a  b'", encoded));
  EXPECT_EQ(encoded, "VwByAGkAdABlAC0ASABvAHMAdAAgACcAYQAgACAAYgAnAA==");
  ASSERT_TRUE(WinQuote::EncodePowerShellCommand("Write-Host 'caf\xC3\xA9 \xE2\x80\x99\xE2\x80\x99'", encoded));
  EXPECT_EQ(encoded, "VwByAGkAdABlAC0ASABvAHMAdAAgACcAYwBhAGYA6QAgABkgGSAnAA==");
  ASSERT_TRUE(WinQuote::EncodePowerShellCommand("", encoded));
  EXPECT_EQ(encoded, "");
}

TEST(EncodePowerShellCommand, RefusesTextThatIsNotUtf8) {
  std::string encoded;
  EXPECT_FALSE(WinQuote::EncodePowerShellCommand("a\xFF", encoded));
}

struct PathRow {
  std::string path;
  bool accepted;
};
void PrintTo(const PathRow& row, std::ostream* out) { *out << "[" << row.path << "]"; }

class WindowsPathProblem : public ::testing::TestWithParam<PathRow> {};

TEST_P(WindowsPathProblem, AcceptsOnlyWhatWindowsKeepsAsGiven) {
  EXPECT_EQ(WinQuote::WindowsPathProblem(GetParam().path).empty(), GetParam().accepted) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsPathProblem,
    ::testing::Values(PathRow{"C:\\Restore\\a.txt", true}, PathRow{"C:\\it's\\%PATH%\\a&b^c\\[1]\\$x\\`y", true},
                      PathRow{"C:\\..\\x\\.\\y", true}, PathRow{"C:\\dir\\", true}, PathRow{"caf\xC3\xA9", true},
                      PathRow{"C:\\a|b", false}, PathRow{"C:\\a\"b", false}, PathRow{"C:\\a*b", false},
                      PathRow{"C:\\a?b", false}, PathRow{"C:\\a<b>", false}, PathRow{"C:\\a\nb", false},
                      PathRow{"C:\\a\x7f", false}, PathRow{"C:\\a:b", false}, PathRow{"C:\\name.", false},
                      PathRow{"C:\\name \\x", false}, PathRow{"a\xFF", false},
                      // A drive-like name further down is a stream name, not a drive.
                      PathRow{"C:\\a\\b:", false}));

TEST(NeedsLiteralPath, ForWildcardAndEscapeCharacters) {
  EXPECT_TRUE(WinQuote::NeedsLiteralPath("C:\\a[1]"));
  EXPECT_TRUE(WinQuote::NeedsLiteralPath("C:\\a]"));
  EXPECT_TRUE(WinQuote::NeedsLiteralPath("C:\\a`b"));
  EXPECT_FALSE(WinQuote::NeedsLiteralPath("C:\\it's $x (1)"));
}

}  // namespace
