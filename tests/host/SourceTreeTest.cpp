#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "host/SourceTree.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::string> Paths(const SourceTree& tree) {
  std::vector<std::string> paths;
  for (const SourceEntry& entry : tree.entries) paths.push_back(entry.relativePath);
  return paths;
}

const SourceEntry& EntryAt(const SourceTree& tree, const std::string& path) {
  for (const SourceEntry& entry : tree.entries) {
    if (entry.relativePath == path) return entry;
  }
  throw std::runtime_error("no entry " + path);
}

TEST(SourceTree, ListsFoldersBeforeTheirContentsInNameOrder) {
  zqtest::TempDir root;
  mkdir(root.Join("b").c_str(), 0755);
  mkdir(root.Join("b/inner").c_str(), 0755);
  zqtest::WriteFile(root.Join("b/inner/z.txt"), "z");
  zqtest::WriteFile(root.Join("b/a.txt"), "a");
  zqtest::WriteFile(root.Join("a.txt"), "top");
  mkdir(root.Join("c").c_str(), 0755);

  SourceTree tree;
  std::string error;
  ASSERT_TRUE(WalkSourceTree(root.path(), tree, error)) << error;
  EXPECT_EQ(Paths(tree), (std::vector<std::string>{"a.txt", "b", "b/a.txt", "b/inner", "b/inner/z.txt", "c"}));
  EXPECT_EQ(tree.restorableFiles, 3u);
  EXPECT_EQ(tree.restorableFolders, 3u);
  EXPECT_EQ(tree.restorableBytes, 5u);
  EXPECT_EQ(EntryAt(tree, "b").kind, EntryKind::Folder);
  EXPECT_EQ(EntryAt(tree, "a.txt").kind, EntryKind::File);
  for (const SourceEntry& entry : tree.entries) EXPECT_EQ(entry.problem, "") << entry.relativePath;
}

TEST(SourceTree, KeepsUnsupportedEntriesWithTheirReason) {
  zqtest::TempDir root;
  zqtest::WriteFile(root.Join("target"), "t");
  ASSERT_EQ(symlink("target", root.Join("link").c_str()), 0);
  mkdir(root.Join("real").c_str(), 0755);
  ASSERT_EQ(symlink("real", root.Join("linked-folder").c_str()), 0);
  ASSERT_EQ(mkfifo(root.Join("pipe").c_str(), 0600), 0);

  SourceTree tree;
  std::string error;
  ASSERT_TRUE(WalkSourceTree(root.path(), tree, error)) << error;
  EXPECT_EQ(EntryAt(tree, "link").problem, "symbolic links are not restored");
  EXPECT_EQ(EntryAt(tree, "linked-folder").problem, "symbolic links are not restored");
  EXPECT_EQ(EntryAt(tree, "pipe").problem, "named pipes are not restored");
  EXPECT_EQ(EntryAt(tree, "target").problem, "");
  // A symbolic link to a folder is not walked into.
  EXPECT_EQ(Paths(tree), (std::vector<std::string>{"link", "linked-folder", "pipe", "real", "target"}));
  EXPECT_EQ(tree.restorableFiles, 1u);
}

struct NameRow {
  const char* name;
  bool restorable;
};

void PrintTo(const NameRow& row, std::ostream* out) { *out << row.name; }

class SourceNames : public testing::TestWithParam<NameRow> {};

TEST_P(SourceNames, AreRestorableOnlyWhenThePlugInKeepsThemIntact) {
  EXPECT_EQ(NameProblem(GetParam().name).empty(), GetParam().restorable) << NameProblem(GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Rows, SourceNames,
                         testing::Values(NameRow{"plain.txt", true}, NameRow{"with space", true},
                                         NameRow{"colon:in:name", true}, NameRow{"$(touch x);`y`'\"", true},
                                         NameRow{"-leading-dash", true}, NameRow{"übergröße", true},
                                         NameRow{"back\\slash", false}, NameRow{"a ZqColonZq b", false},
                                         NameRow{"ZqColonZq", false}));

TEST(SourceTree, MarksEverythingBelowAnUnrestorableFolder) {
  zqtest::TempDir root;
  mkdir(root.Join("bad\\name").c_str(), 0755);
  mkdir(root.Join("bad\\name/sub").c_str(), 0755);
  zqtest::WriteFile(root.Join("bad\\name/sub/f"), "f");

  SourceTree tree;
  std::string error;
  ASSERT_TRUE(WalkSourceTree(root.path(), tree, error)) << error;
  ASSERT_EQ(tree.entries.size(), 3u);
  EXPECT_NE(EntryAt(tree, "bad\\name").problem.find("backslash"), std::string::npos);
  EXPECT_EQ(EntryAt(tree, "bad\\name/sub").problem, "its folder cannot be restored");
  EXPECT_EQ(EntryAt(tree, "bad\\name/sub/f").problem, "its folder cannot be restored");
  EXPECT_EQ(tree.restorableFiles, 0u);
  EXPECT_EQ(tree.restorableFolders, 0u);
}

TEST(SourceTree, ReportsAFolderWhoseContentsCannotBeRead) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
  zqtest::TempDir root;
  mkdir(root.Join("locked").c_str(), 0755);
  zqtest::WriteFile(root.Join("locked/f"), "f");
  chmod(root.Join("locked").c_str(), 0);

  SourceTree tree;
  std::string error;
  const bool walked = WalkSourceTree(root.path(), tree, error);
  chmod(root.Join("locked").c_str(), 0755);
  ASSERT_TRUE(walked) << error;
  ASSERT_EQ(tree.entries.size(), 2u);
  EXPECT_EQ(tree.entries[0].problem, "");
  EXPECT_EQ(tree.entries[1].relativePath, "locked");
  EXPECT_NE(tree.entries[1].problem.find("cannot read the folder's contents"), std::string::npos);
}

TEST(SourceTree, RefusesARootThatIsNotAFolder) {
  zqtest::TempDir dir;
  zqtest::WriteFile(dir.Join("file"), "x");
  SourceTree tree;
  std::string error;
  EXPECT_FALSE(WalkSourceTree(dir.Join("file"), tree, error));
  EXPECT_EQ(error, dir.Join("file") + ": not a folder");
  EXPECT_FALSE(WalkSourceTree(dir.Join("missing"), tree, error));
  EXPECT_EQ(error, dir.Join("missing") + ": No such file or directory");
}

TEST(SourceTree, OfAnEmptyFolderIsEmpty) {
  zqtest::TempDir root;
  SourceTree tree;
  std::string error;
  ASSERT_TRUE(WalkSourceTree(root.path(), tree, error)) << error;
  EXPECT_TRUE(tree.entries.empty());
}

}  // namespace
