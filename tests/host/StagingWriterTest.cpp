#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "host/FolderSource.h"
#include "host/StagingWriter.h"
#include "support/TestSupport.h"

namespace {

// Times with fractions of a second, which the writer keeps.
void SetTimes(const std::string& path, time_t accessed, time_t modified) {
  zqtest::SetTimes(path, timespec{accessed, 250000000}, timespec{modified, 500000000});
}

using zqtest::StatOf;

SourceEntry EntryFor(const std::string& root, const std::string& relative) {
  SourceEntry entry;
  entry.relativePath = relative;
  lstat((root + "/" + relative).c_str(), &entry.info);
  entry.kind = S_ISDIR(entry.info.st_mode) ? EntryKind::Folder : S_ISREG(entry.info.st_mode) ? EntryKind::File
                                                                                               : EntryKind::Unsupported;
  return entry;
}

// A source whose every file holds the content of one file: the staged name is the test's to choose.
class FolderSourceThatGives : public SourceReader {
 public:
  explicit FolderSourceThatGives(std::string file) : m_file(std::move(file)) {}
  std::string Kind() const override { return "file"; }
  bool Walk(const std::string&, SourceTree&, std::string&) override { return true; }
  bool CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) override {
    SourceEntry same = entry;
    same.relativePath = m_file.substr(m_file.rfind('/') + 1);
    FolderSource folder = FolderSource::ForWalkedRoot(m_file.substr(0, m_file.rfind('/')));
    return folder.CopyContent(same, out, info, error);
  }

 private:
  std::string m_file;
};

class StagingWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(writer.CreateRoot(error)) << error;
  }
  zqtest::TempDir source;
  zqtest::TempDir parent;
  StagingWriter writer{source.path(), parent.Join("ForGuestVM")};
};

TEST_F(StagingWriterTest, CreatesAFreshStagingFolderForTheOwnerOnly) {
  EXPECT_EQ(StatOf(writer.stagingRoot()).st_mode & 07777, 0700u);
  std::string error;
  EXPECT_FALSE(writer.CreateRoot(error)) << "a staging folder serves one job only";
  EXPECT_NE(error.find("exists already"), std::string::npos) << error;
}

TEST_F(StagingWriterTest, RefusesAParentOthersCanWriteTo) {
  zqtest::TempDir other;
  ASSERT_EQ(chmod(other.path().c_str(), 0777), 0);
  StagingWriter shared{source.path(), other.Join("ForGuestVM")};
  std::string error;
  EXPECT_FALSE(shared.CreateRoot(error));
  EXPECT_NE(error.find("can be changed by other users"), std::string::npos) << error;
  struct stat info {};
  EXPECT_NE(lstat(other.Join("ForGuestVM").c_str(), &info), 0);
}

TEST_F(StagingWriterTest, CopiesAFileWithItsContentModeAndTimes) {
  zqtest::WriteFile(source.Join("data.bin"), std::string("binary\0content", 14));
  chmod(source.Join("data.bin").c_str(), 0640);
  SetTimes(source.Join("data.bin"), 1500000000, 1400000000);

  struct stat info {};
  std::string error;
  const SourceEntry entry = EntryFor(source.path(), "data.bin");
  ASSERT_TRUE(writer.Stage(entry, info, error)) << error;
  const std::string staged = writer.StagedPath(entry);
  EXPECT_EQ(staged, writer.stagingRoot() + "/data.bin");
  const struct stat stagedInfo = StatOf(staged);  // before reading it changes the access time
  EXPECT_EQ(zqtest::ReadFile(staged), std::string("binary\0content", 14));
  EXPECT_EQ(stagedInfo.st_mode & 07777, 0640u);
  EXPECT_EQ(stagedInfo.st_mtim.tv_sec, 1400000000);
  EXPECT_EQ(stagedInfo.st_mtim.tv_nsec, 500000000);
  EXPECT_EQ(stagedInfo.st_atim.tv_sec, 1500000000);
  EXPECT_EQ(info.st_size, 14);
  EXPECT_EQ(info.st_mtime, 1400000000);
}

TEST_F(StagingWriterTest, DropsSetIdBitsAndKeepsAStagedFileReadable) {
  zqtest::WriteFile(source.Join("tool"), "x");
  chmod(source.Join("tool").c_str(), 06011);
  struct stat info {};
  std::string error;
  const SourceEntry entry = EntryFor(source.path(), "tool");
  ASSERT_TRUE(writer.Stage(entry, info, error)) << error;
  EXPECT_EQ(StatOf(writer.StagedPath(entry)).st_mode & 07777, 0411u);
  // The header still carries the source's bits.
  EXPECT_EQ(MakeFileHeader(info).mode, 06011);
}

TEST_F(StagingWriterTest, CreatesAFolderThatStaysWritableForItsContents) {
  mkdir(source.Join("ro").c_str(), 0755);
  chmod(source.Join("ro").c_str(), 0555);
  SetTimes(source.Join("ro"), 1300000000, 1200000000);
  struct stat info {};
  std::string error;
  const SourceEntry entry = EntryFor(source.path(), "ro");
  ASSERT_TRUE(writer.Stage(entry, info, error)) << error;
  const struct stat staged = StatOf(writer.StagedPath(entry));
  EXPECT_TRUE(S_ISDIR(staged.st_mode));
  EXPECT_EQ(staged.st_mode & 07777, 0755u);
  EXPECT_EQ(staged.st_mtime, 1200000000);
  EXPECT_EQ(MakeFileHeader(info).mode, 0555);
  chmod(source.Join("ro").c_str(), 0755);
}

TEST_F(StagingWriterTest, ReplacesAFileLeftByAnEarlierRun) {
  zqtest::WriteFile(source.Join("f"), "new");
  zqtest::WriteFile(writer.stagingRoot() + "/f", "old and longer");
  struct stat info {};
  std::string error;
  const SourceEntry entry = EntryFor(source.path(), "f");
  ASSERT_TRUE(writer.Stage(entry, info, error)) << error;
  EXPECT_EQ(zqtest::ReadFile(writer.StagedPath(entry)), "new");
}

TEST_F(StagingWriterTest, RefusesASourceFileReplacedByASymbolicLink) {
  zqtest::WriteFile(source.Join("f"), "content");
  const SourceEntry entry = EntryFor(source.path(), "f");
  unlink(source.Join("f").c_str());
  zqtest::WriteFile(source.Join("secret"), "not to be staged");
  ASSERT_EQ(symlink("secret", source.Join("f").c_str()), 0);
  struct stat info {};
  std::string error;
  EXPECT_FALSE(writer.Stage(entry, info, error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  EXPECT_NE(lstat(writer.StagedPath(entry).c_str(), &info), 0) << "nothing is left behind";
}

TEST_F(StagingWriterTest, ReleaseRemovesAStagedFileButNotAFolder) {
  mkdir(source.Join("d").c_str(), 0755);
  zqtest::WriteFile(source.Join("d/f"), "x");
  struct stat info {};
  std::string error;
  const SourceEntry folder = EntryFor(source.path(), "d");
  const SourceEntry file = EntryFor(source.path(), "d/f");
  ASSERT_TRUE(writer.Stage(folder, info, error)) << error;
  ASSERT_TRUE(writer.Stage(file, info, error)) << error;
  writer.Release(file);
  writer.Release(folder);
  writer.Release(file);  // already gone: fine
  EXPECT_NE(lstat(writer.StagedPath(file).c_str(), &info), 0);
  EXPECT_EQ(lstat(writer.StagedPath(folder).c_str(), &info), 0);
  ASSERT_TRUE(writer.RemoveRoot(error)) << error;
  EXPECT_NE(lstat(writer.stagingRoot().c_str(), &info), 0);
}

TEST(FileHeader, CarriesModeOwnerGroupAndTimesOfTheSource) {
  struct stat info {};
  info.st_mode = S_IFREG | 04755;
  info.st_uid = 1001;
  info.st_gid = 2002;
  info.st_mtim.tv_sec = 1600000000;
  info.st_ctim.tv_sec = 1600000500;
  const CXFileHeader header = MakeFileHeader(info);
  EXPECT_EQ(header.mode, 04755);
  EXPECT_EQ(header.uid, 1001);
  EXPECT_EQ(header.gid, 2002);
  EXPECT_EQ(header.mtime, 1600000000);
  EXPECT_EQ(header.ctime, 1600000500);
}

}  // namespace

namespace staged_names {

struct NameRow {
  const char* name;
  std::string relativePath;
  bool stageable;
};

void PrintTo(const NameRow& row, std::ostream* out) { *out << row.name; }

class StagedNames : public StagingWriterTest, public testing::WithParamInterface<NameRow> {};

// Names that would land outside the staging folder (or nowhere) are refused before anything is
// created; the entry is a file whose content the source would give.
TEST_P(StagedNames, LandOnlyBelowTheStagingFolder) {
  zqtest::WriteFile(source.Join("f"), "content");
  mkdir((writer.stagingRoot() + "/sub").c_str(), 0700);
  SourceEntry entry = EntryFor(source.path(), "f");
  entry.relativePath = GetParam().relativePath;
  FolderSourceThatGives content(source.Join("f"));
  StagingWriter named(content, writer.stagingRoot());
  struct stat info {};
  std::string error;
  EXPECT_EQ(named.Stage(entry, info, error), GetParam().stageable) << error;
  if (!GetParam().stageable) {
    EXPECT_NE(error, "");
  }
  EXPECT_FALSE(zqtest::Exists(parent.Join("zq-escape"))) << "written outside the staging folder";
  EXPECT_FALSE(zqtest::Exists("/zq-escape"));
}

INSTANTIATE_TEST_SUITE_P(Rows, StagedNames,
                         testing::Values(NameRow{"Plain", "sub/zq-escape", true}, NameRow{"Empty", "", false},
                                         NameRow{"Absolute", "/zq-escape", false},
                                         NameRow{"UpAndOut", "../zq-escape", false},
                                         NameRow{"UpFromBelow", "sub/../../zq-escape", false},
                                         NameRow{"EmptyPart", "sub//zq-escape", false},
                                         NameRow{"DotPart", "./zq-escape", false},
                                         NameRow{"Nul", std::string("zq-escape\0x", 11), false}),
                         [](const testing::TestParamInfo<NameRow>& row) { return std::string(row.param.name); });

}  // namespace staged_names

TEST_F(StagingWriterTest, DoesNotFollowALinkPlantedInTheStagingFolder) {
  zqtest::TempDir outside;
  ASSERT_EQ(symlink(outside.path().c_str(), (writer.stagingRoot() + "/d").c_str()), 0);
  zqtest::WriteFile(source.Join("f"), "content");
  SourceEntry entry = EntryFor(source.path(), "f");
  entry.relativePath = "d/f";
  FolderSourceThatGives content(source.Join("f"));
  StagingWriter named(content, writer.stagingRoot());
  struct stat info {};
  std::string error;
  EXPECT_FALSE(named.Stage(entry, info, error));
  EXPECT_NE(error.find("cannot enter the staged folder"), std::string::npos) << error;
  EXPECT_FALSE(zqtest::Exists(outside.Join("f"))) << "staged through the link";
  SourceEntry folder = EntryFor(source.path(), "f");
  folder.kind = EntryKind::Folder;
  folder.relativePath = "d/sub";
  EXPECT_FALSE(named.Stage(folder, info, error));
  EXPECT_FALSE(zqtest::Exists(outside.Join("sub"))) << "a folder made through the link";
}
