#include <sys/stat.h>

#include <algorithm>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/CNyPath.h"
#include "platform/FXFile.h"
#include "support/TestSupport.h"

namespace {

using zqtest::TempDir;
using zqtest::WriteFile;

TEST(FileHelpers, FileTimesAreNeverZeroAndFollowTheFile) {
  TempDir dir;
  const std::string path = dir.Join("f");
  WriteFile(path, "x");
  zqtest::SetFileModifyTime(path, 1500000000);
  long created = 0, modified = 0, accessed = 0;
  ASSERT_FALSE(FXFile::GetFileTimes(path, &created, &modified, &accessed).IsError());
  EXPECT_EQ(modified, 1500000000);
  EXPECT_EQ(accessed, 1500000000);
  EXPECT_GT(created, 0);
  long untouched = 7;
  EXPECT_TRUE(FXFile::GetFileTimes(dir.Join("missing"), &untouched, &untouched, &untouched).IsError());
  EXPECT_EQ(untouched, 7);
}

TEST(FileHelpers, SizeAndRemove) {
  TempDir dir;
  const std::string path = dir.Join("f");
  WriteFile(path, "12345");
  long long size = 0;
  ASSERT_FALSE(FXFile::ZQGetFileSize(path, size).IsError());
  EXPECT_EQ(size, 5);
  EXPECT_FALSE(FXFile::RemoveFile(path).IsError());
  CNyError again = FXFile::RemoveFile(path);
  EXPECT_TRUE(again.IsError());
  EXPECT_NE(again.AsString().find(path), std::string::npos);
}

TEST(FileHelpers, SplitParentPathRows) {
  struct Row {
    const char* path;
    bool ok;
    const char* parent;
    const char* leaf;
  } rows[] = {{"/a/b/c", true, "/a/b", "c"}, {"/c", true, "/", "c"}, {"/a/b/", true, "/a", "b"},
              {"c", false, "", ""},          {"/", false, "", ""},  {"", false, "", ""}};
  for (const Row& row : rows) {
    std::string parent = "?", leaf = "?";
    CNyError error = FXPath::SplitParentPath(row.path, parent, leaf);
    EXPECT_EQ(!error.IsError(), row.ok) << row.path;
    if (row.ok) {
      EXPECT_EQ(parent, row.parent) << row.path;
      EXPECT_EQ(leaf, row.leaf) << row.path;
    }
  }
}

TEST(FileHelpers, StringReplaceTrimSplit) {
  std::string text = "a/b/c/d";
  FXString::ReplaceAll(text, "/", "\\", 2);
  EXPECT_EQ(text, "a/b\\c\\d");
  std::string unchanged = "abc";
  FXString::ReplaceAll(unchanged, "", "x", 0);
  FXString::ReplaceAll(unchanged, "a", "x", 10);
  EXPECT_EQ(unchanged, "abc");
  std::string trailing = "/x/y//\\";
  FXString::TrimRight(trailing, "/\\");
  EXPECT_EQ(trailing, "/x/y");
  std::string all = "///";
  FXString::TrimRight(all, "/");
  EXPECT_EQ(all, "");
  EXPECT_EQ(FXString::Split("a/b//c", "/"), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(FXString::Split("a/b//c", "/", FXString::SkipEmpty), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(FXString::Split("", ","), (std::vector<std::string>{""}));
  EXPECT_EQ(FXString::Split("x,", ","), (std::vector<std::string>{"x", ""}));
}

TEST(FileHelpers, CreateWithParentsAndRemoveWithContentsWithoutFollowingLinks) {
  TempDir dir;
  TempDir outside;
  WriteFile(outside.Join("keep"), "precious");
  const std::string deep = dir.Join("a/b/c");
  ASSERT_FALSE(CNyDirectory::Create(deep.c_str(), true).IsError());
  ASSERT_FALSE(CNyDirectory::Create(deep.c_str(), true).IsError()) << "an existing folder is success";
  EXPECT_TRUE(CNyDirectory::Create(dir.Join("x/y").c_str(), false).IsError());
  WriteFile(deep + "/file", "data");
  ASSERT_EQ(symlink(outside.path().c_str(), dir.Join("a/link").c_str()), 0);
  ASSERT_FALSE(CNyDirectory::Remove(dir.Join("a"), true, true).IsError());
  struct stat info {};
  EXPECT_NE(stat(dir.Join("a").c_str(), &info), 0);
  EXPECT_EQ(zqtest::ReadFile(outside.Join("keep")), "precious");
  EXPECT_FALSE(CNyDirectory::Remove(dir.Join("a"), true, true).IsError()) << "a missing folder is success";
}

TEST(FileHelpers, DirectoryReaderAndClassification) {
  TempDir dir;
  WriteFile(dir.Join("f"), "");
  ASSERT_FALSE(CNyDirectory::Create(dir.Join("d").c_str(), false).IsError());
  ZQDirectory reader;
  ASSERT_EQ(reader.open(dir.path()), 0);
  std::vector<std::string> names;
  while (const char* name = reader.read()) names.push_back(name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "d", "f"}));
  CNyError error;
  EXPECT_TRUE(CNyPath::IsDirectory(dir.Join("d"), error));
  EXPECT_FALSE(error.IsError());
  EXPECT_FALSE(CNyPath::IsDirectory(dir.Join("f"), error));
  EXPECT_FALSE(CNyPath::IsDirectory(dir.Join("missing"), error));
  EXPECT_TRUE(error.IsError());
  EXPECT_NE(reader.open(dir.Join("missing")), 0);
  EXPECT_EQ(CNyPath::Append("/a", "b"), "/a/b");
  EXPECT_EQ(CNyPath::Append("/a/", "b"), "/a/b");
  EXPECT_EQ(CNyPath::Append("C:\\x\\", "b"), "C:\\x\\b");
}

}  // namespace
