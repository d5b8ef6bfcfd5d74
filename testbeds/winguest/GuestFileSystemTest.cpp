// Windows path reading and PowerShell wildcards on the guest's drives.
#include <gtest/gtest.h>

#include <filesystem>

#include "GuestFileSystem.h"
#include "support/TestSupport.h"

namespace winguest {
namespace {

struct WildcardCase {
  const char* pattern;
  const char* text;
  bool matches;
};
void PrintTo(const WildcardCase& c, std::ostream* out) { *out << c.pattern << " ~ " << c.text; }

class Wildcards : public ::testing::TestWithParam<WildcardCase> {};

TEST_P(Wildcards, MatchAsPowerShellMatches) {
  const WildcardCase& c = GetParam();
  EXPECT_EQ(WildcardPattern::Matches(c.pattern, c.text), c.matches) << c.pattern << " ~ " << c.text;
}

INSTANTIATE_TEST_SUITE_P(Table, Wildcards,
                         ::testing::Values(WildcardCase{"a*", "abc", true}, WildcardCase{"A*", "abc", true},
                                           WildcardCase{"a?c", "abc", true}, WildcardCase{"a?c", "ac", false},
                                           WildcardCase{"a[1]", "a1", true}, WildcardCase{"a[1]", "a[1]", false},
                                           WildcardCase{"a`[1`]", "a[1]", true}, WildcardCase{"[a-c]x", "Bx", true},
                                           WildcardCase{"[a-c]x", "dx", false}, WildcardCase{"*", "", true}));

TEST(Wildcards, KnowWhenAPatternHasWildcards) {
  EXPECT_TRUE(WildcardPattern::HasWildcards("a[1]"));
  EXPECT_TRUE(WildcardPattern::HasWildcards("*.txt"));
  EXPECT_FALSE(WildcardPattern::HasWildcards("a`[1`]"));
  EXPECT_FALSE(WildcardPattern::HasWildcards("a]b"));
  EXPECT_FALSE(WildcardPattern::IsValid("a[1"));
}

class GuestDrives : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(m_dir.Join("root/C/Users/alice"));
    std::filesystem::create_directories(m_dir.Join("root/C/Data/Sub"));
    zqtest::WriteFile(m_dir.Join("root/C/Data/File.txt"), "x");
  }
  GuestFileSystem Files() {
    WindowsPath profile;
    profile.components = {"Users", "alice"};
    return GuestFileSystem(m_dir.Join("root"), profile, m_dir.Join("state.json"));
  }
  zqtest::TempDir m_dir;
};

struct PathCase {
  const char* text;
  const char* expected;  // the full path, or "error"
};
void PrintTo(const PathCase& c, std::ostream* out) { *out << c.text; }

class PathReading : public GuestDrives, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathReading, ReadsPathsAsWindowsDoes) {
  GuestFileSystem files = Files();
  WindowsPath path;
  std::string error;
  const bool ok = files.Parse(GetParam().text, path, error);
  EXPECT_EQ(ok ? path.Text() : std::string("error"), GetParam().expected) << GetParam().text << " " << error;
}

INSTANTIATE_TEST_SUITE_P(Table, PathReading,
                         ::testing::Values(PathCase{"C:\\Data\\Sub", "C:\\Data\\Sub"}, PathCase{"c:/Data/Sub/", "C:\\Data\\Sub"},
                                           PathCase{"C:\\Data\\..\\x\\.\\y", "C:\\x\\y"}, PathCase{"C:\\", "C:\\"},
                                           PathCase{"D:", "D:\\"}, PathCase{"rel\\a", "C:\\Users\\alice\\rel\\a"},
                                           PathCase{"\\top", "C:\\top"}, PathCase{"C:\\name. . ", "C:\\name"},
                                           PathCase{"C:\\a|b", "error"}, PathCase{"C:\\a\"b", "error"},
                                           PathCase{"C:\\a*b", "error"}, PathCase{"C:\\a:b", "error"},
                                           PathCase{"\\\\server\\share", "error"}));

TEST_F(GuestDrives, FindsNamesWithoutRegardToCase) {
  GuestFileSystem files = Files();
  WindowsPath path;
  std::string error;
  ASSERT_TRUE(files.Parse("c:\\DATA\\file.TXT", path, error));
  auto item = files.Find(path);
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->path.Text(), "C:\\DATA\\File.txt");
  EXPECT_FALSE(item->isDirectory);
}

TEST_F(GuestDrives, ExpandsWildcardsOnlyWherePresent) {
  GuestFileSystem files = Files();
  std::vector<GuestItem> matches;
  std::string error;
  ASSERT_TRUE(files.Expand("C:\\Data\\*", matches, error));
  ASSERT_EQ(matches.size(), 2u);
  EXPECT_EQ(matches[0].path.Name(), "File.txt");
  EXPECT_EQ(matches[1].path.Name(), "Sub");
  EXPECT_FALSE(files.Expand("Q:\\*", matches, error));
  EXPECT_NE(error.find("Cannot find drive"), std::string::npos);
}

TEST_F(GuestDrives, KeepsCreationTimesItCannotSetOnDisk) {
  GuestFileSystem files = Files();
  WindowsPath path;
  std::string error;
  ASSERT_TRUE(files.Parse("C:\\Data\\File.txt", path, error));
  auto item = files.Find(path);
  ASSERT_TRUE(item && files.SetCreationTime(*item, 60, error));
  EXPECT_EQ(files.CreationTime(*item), 60);
  ASSERT_TRUE(files.Remove(*item, false, error));
  zqtest::WriteFile(m_dir.Join("root/C/Data/File.txt"), "again");
  EXPECT_NE(files.CreationTime(*files.Find(path)), 60);
}

}  // namespace
}  // namespace winguest
