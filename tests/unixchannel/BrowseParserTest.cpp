// The eight-field browse answer of the helper script.
#include <gtest/gtest.h>

#include "UnixTestDoubles.h"

namespace {

using VMInfoStructs::SGuestFile;
using zqtest::ScopedLogCapture;

struct KindRow {
  const char* name;
  std::string word;
  int type;
};

void PrintTo(const KindRow& row, std::ostream* out) { *out << row.name; }

const std::vector<KindRow> kKindRows = {
    {"Regular", "regular", VMInfoStructs::GuestFileRegular},
    {"RegularEmptyFile", "regular empty file", VMInfoStructs::GuestFileRegular},
    {"UpperCase", "REGULAR", VMInfoStructs::GuestFileRegular},
    {"Directory", "directory", VMInfoStructs::GuestFileDirectory},
    {"Symlink", "symlink", VMInfoStructs::GuestFileSymlink},
    {"SymbolicLinkIsNotSymlink", "symbolic link", VMInfoStructs::GuestFileOther},
    {"Fifo", "fifo", VMInfoStructs::GuestFileOther},
};

class BrowseKinds : public testing::TestWithParam<KindRow> {};

TEST_P(BrowseKinds, KindWordGivesType) {
  ZQUnixGuestAPI channel{nullptr};
  std::vector<SGuestFile> entries;
  ASSERT_TRUE(channel.ParseBrowseResponse("n/1/" + GetParam().word + "/2/3/4/5/6\n", entries));
  EXPECT_EQ(entries.at(0).type, GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(Rows, BrowseKinds, testing::ValuesIn(kKindRows),
                         [](const testing::TestParamInfo<KindRow>& info) { return std::string(info.param.name); });

TEST(BrowseParser, FillsEveryFieldAndLeavesCreateTimeZero) {
  ZQUnixGuestAPI channel{nullptr};
  std::vector<SGuestFile> entries;
  ASSERT_TRUE(channel.ParseBrowseResponse("a.txt/5000000000/regular/1700000000/1600000000/1000/100/33188", entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "a.txt");
  EXPECT_EQ(entries[0].size, 5000000000LL);
  EXPECT_EQ(entries[0].modifyTime, 1700000000);
  EXPECT_EQ(entries[0].accessTime, 1600000000);
  EXPECT_EQ(entries[0].createTime, 0);
  EXPECT_EQ(entries[0].uid, 1000);
  EXPECT_EQ(entries[0].gid, 100);
  EXPECT_EQ(entries[0].mode, 33188);
}

TEST(BrowseParser, SkipsALineWithNineFieldsAndKeepsTheNext) {
  ScopedLogCapture capture;
  ZQUnixGuestAPI channel{nullptr};
  std::vector<SGuestFile> entries;
  EXPECT_TRUE(channel.ParseBrowseResponse("a/b/1/regular/2/3/4/5/6\n\nc/1/directory/2/3/4/5/6\n", entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "c");
  EXPECT_TRUE(capture.sink().Contains("line a/b/1/regular/2/3/4/5/6 nTokens 9 expected nTokens 8"));
}

// Entries the caller's list held already are not found by this answer.
TEST(BrowseParser, NoValidLineIsAFailureWhateverTheListHeld) {
  ZQUnixGuestAPI channel{nullptr};
  std::vector<SGuestFile> entries;
  EXPECT_FALSE(channel.ParseBrowseResponse("garbage\n", entries));
  EXPECT_FALSE(channel.ParseBrowseResponse("", entries));
  entries.resize(1);
  EXPECT_FALSE(channel.ParseBrowseResponse("garbage\n", entries));
  EXPECT_EQ(entries.size(), 1u);
}

TEST(BrowseParser, AppendsToEntriesAlreadyThere) {
  ZQUnixGuestAPI channel{nullptr};
  std::vector<SGuestFile> entries(2);
  entries[0].name = "kept";
  EXPECT_TRUE(channel.ParseBrowseResponse("x/1/regular/2/3/4/5/6\n", entries));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "kept");
  EXPECT_EQ(entries[2].name, "x");
}

TEST(BrowseParser, NumbersReadLikeDecimalConversions) {
  ZQUnixGuestAPI channel{nullptr};
  std::vector<SGuestFile> entries;
  ASSERT_TRUE(channel.ParseBrowseResponse("n/  12abc/regular/x/-5/7 /8/9", entries));
  EXPECT_EQ(entries[0].size, 12);
  EXPECT_EQ(entries[0].modifyTime, 0);
  EXPECT_EQ(entries[0].accessTime, -5);
  EXPECT_EQ(entries[0].uid, 7);
}

TEST(BrowseParser, DecodesEscapedNewlineAndBackslashInNames) {
  ZQUnixGuestAPI channel{nullptr};
  std::vector<SGuestFile> entries;
  ASSERT_TRUE(channel.ParseBrowseResponse("two\\nlines\\\\x\\t/1/regular/2/3/4/5/6\n", entries));
  EXPECT_EQ(entries[0].name, "two\nlines\\x\\t");
}

}  // namespace
