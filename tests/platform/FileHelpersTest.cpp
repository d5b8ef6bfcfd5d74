#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/CNyPath.h"
#include "platform/FXFile.h"
#include "platform/EvEvent.h"
#include "platform/PrivateFolderChain.h"
#include "platform/ProxyInputFile.h"
#include "platform/ProxyOutputFile.h"
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

// The chain of a job's folders on this machine, one row per way another local user could steer it:
// base/a/b is opened (or made) and each row prepares it first. A refused chain names the reason.
struct ChainRow {
  const char* name;
  std::function<void(const std::string& base)> prepare;
  std::vector<std::string> names;
  bool create;
  const char* refusal;  // part of the error; nullptr: the chain opens
  const char* baseSuffix = "";  // added to the base's name as the chain is opened ("/")
};
void PrintTo(const ChainRow& row, std::ostream* out) { *out << row.name; }

void MakeFolder(const std::string& path, mode_t mode, uid_t owner = geteuid()) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
  ASSERT_EQ(lchown(path.c_str(), owner, static_cast<gid_t>(-1)), 0) << path;
}

class PrivateFolderChainRows : public ::testing::TestWithParam<ChainRow> {};

TEST_P(PrivateFolderChainRows, OpensOnlyAChainNoOtherUserCanChange) {
  const ChainRow& row = GetParam();
  TempDir root;
  const std::string base = root.Join("base");
  MakeFolder(base, 0700);
  ASSERT_NO_FATAL_FAILURE(row.prepare(base));
  std::string error;
  const int fd = PrivateFolderChain::Open(base + row.baseSuffix, row.names, row.create, error);
  if (fd >= 0) ::close(fd);
  if (row.refusal == nullptr) {
    EXPECT_GE(fd, 0) << error;
    // What the chain made is the user's alone.
    struct stat info {};
    if (row.create) {
      ASSERT_EQ(stat((base + "/a").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0700u);
    }
  } else {
    EXPECT_EQ(fd, -1);
    EXPECT_NE(error.find(row.refusal), std::string::npos) << error;
  }
}

const uid_t kOtherUser = 1234;

INSTANTIATE_TEST_SUITE_P(
    Rows, PrivateFolderChainRows,
    ::testing::Values(
        ChainRow{"PrivateFoldersOpen", [](const std::string& b) { MakeFolder(b + "/a", 0700); MakeFolder(b + "/a/b", 0755); },
                 {"a", "b"}, false, nullptr},
        ChainRow{"MissingFoldersAreMadePrivate", [](const std::string&) {}, {"a", "b"}, true, nullptr},
        ChainRow{"MissingFolderWithoutCreateIsAFailure", [](const std::string&) {}, {"a"}, false, "cannot open"},
        ChainRow{"LinkInTheChainIsNotFollowed",
                 [](const std::string& b) {
                   MakeFolder(b + "/elsewhere", 0700);
                   ASSERT_EQ(symlink((b + "/elsewhere").c_str(), (b + "/a").c_str()), 0);
                 },
                 {"a"}, false, "is a link or not a folder"},
        ChainRow{"GroupMayWrite", [](const std::string& b) { MakeFolder(b + "/a", 0770); }, {"a"}, false,
                 "can be changed by other users"},
        ChainRow{"OthersMayWrite", [](const std::string& b) { MakeFolder(b + "/a", 0703); }, {"a"}, false,
                 "can be changed by other users"},
        ChainRow{"OthersMayWriteButTheStickyBitHoldsThem",
                 [](const std::string& b) { MakeFolder(b + "/a", 01777); }, {"a"}, false, nullptr},
        ChainRow{"BaseOthersMayWrite", [](const std::string& b) { ASSERT_EQ(chmod(b.c_str(), 0777), 0); }, {}, false,
                 "can be changed by other users"},
        ChainRow{"AnotherUsersFolder",
                 [](const std::string& b) {
                   if (geteuid() != 0) GTEST_SKIP() << "giving a folder away needs root";
                   MakeFolder(b + "/a", 0700, kOtherUser);
                 },
                 {"a"}, false, "belongs to user id 1234"},
        ChainRow{"AnotherUsersFolderMadeBeforeTheCreate",
                 [](const std::string& b) {
                   if (geteuid() != 0) GTEST_SKIP() << "giving a folder away needs root";
                   MakeFolder(b + "/a", 0700, kOtherUser);
                 },
                 {"a"}, true, "belongs to user id 1234"},
        ChainRow{"AFileWhereAFolderShouldBe", [](const std::string& b) { WriteFile(b + "/a", "x"); }, {"a"}, false,
                 "is a link or not a folder"},
        ChainRow{"BaseIsALinkEvenNamedWithASlash",
                 [](const std::string& b) {
                   ASSERT_EQ(rename(b.c_str(), (b + "-real").c_str()), 0);
                   ASSERT_EQ(symlink((b + "-real").c_str(), b.c_str()), 0);
                 },
                 {}, false, "is a link or not a folder", "/"},
        ChainRow{"ClimbingName", [](const std::string& b) { MakeFolder(b + "/a", 0700); }, {"a", ".."}, false,
                 "is not a plain name"},
        ChainRow{"NameWithASlash", [](const std::string& b) { MakeFolder(b + "/a", 0700); MakeFolder(b + "/a/b", 0700); },
                 {"a/b"}, false, "is not a plain name"}),
    [](const ::testing::TestParamInfo<ChainRow>& info) { return std::string(info.param.name); });


// Files written on this machine outside the staging folder (the --log file, the installation's log,
// the summary), one row per way another local user could plant something at the name. The folder
// out/ is sticky and open to all, as /tmp is, unless the row changes it; victim is a file outside
// it that a planted link points at, and must stay untouched. The Read rows read the name through
// ProxyInputFile in a role, at most 64 bytes, and expect the "line" the row put there.
enum class OutputWrite { Append, Whole, InstallationLog, PrivateUpdate, ReadState, ReadSecret, ReadConfig, ReadData };
struct OutputRow {
  const char* name;
  OutputWrite write;
  std::function<void(const std::string& out, const std::string& victim)> prepare;
  const char* refusal;  // part of the error; nullptr: the file is written
};
void PrintTo(const OutputRow& row, std::ostream* out) { *out << row.name; }

constexpr const char* kVictimContent = "belongs to someone else\n";

// Writes "line" to out/<name> the row's way; false with `error` when refused.
bool WriteOutput(OutputWrite write, const std::string& out, const std::string& name, std::string& error) {
  using ProxyInputFile::Role;
  if (write >= OutputWrite::ReadState) {
    const Role roles[] = {Role::State, Role::Secret, Role::Config, Role::Data};
    std::string text;
    const Role role = roles[static_cast<int>(write) - static_cast<int>(OutputWrite::ReadState)];
    if (!ProxyInputFile::ReadText(out + "/" + name, role, 64, text, error)) return false;
    error = "read [" + text + "]";
    return text == "line\n";
  }
  switch (write) {
    case OutputWrite::Append: {
      const int fd = ProxyOutputFile::OpenForAppend(out + "/" + name, error);
      if (fd < 0) return false;
      const bool written = ::write(fd, "line\n", 5) == 5;
      ::close(fd);
      return written;
    }
    case OutputWrite::Whole:
      return ProxyOutputFile::WriteWhole(out + "/" + name, "line\n", error);
    case OutputWrite::PrivateUpdate: {
      const int fd = ProxyOutputFile::OpenPrivateForUpdate(out + "/" + name, error);
      const bool written = fd >= 0 && ::pwrite(fd, "line\n", 5, 0) == 5;
      if (fd >= 0) ::close(fd);
      return written;
    }
    case OutputWrite::InstallationLog: {
      zqtest::ScopedSettings settings;
      settings.Set("Log", "Directory", out);
      const std::shared_ptr<LogSink> previous = SetLogSink(nullptr);  // the installation's file sink
      ::testing::internal::CaptureStderr();
      EvEvent().Error("origin", "line");
      error = ::testing::internal::GetCapturedStderr();
      SetLogSink(previous);
      return error.find("log file not written") == std::string::npos;
    }
    default:
      return false;
  }
}

class ProxyOutputFileRows : public ::testing::TestWithParam<OutputRow> {};

TEST_P(ProxyOutputFileRows, NeverWritesThroughWhatAnotherUserPlanted) {
  const OutputRow& row = GetParam();
  TempDir root;
  const std::string out = root.Join("out");
  const std::string victim = root.Join("victim");
  WriteFile(victim, kVictimContent);
  MakeFolder(out, 01777);
  const std::string name = row.write == OutputWrite::InstallationLog ? "VSAgentlessRestoreToVM.log" : "x.log";
  ASSERT_NO_FATAL_FAILURE(row.prepare(out, victim));
  if (IsSkipped()) return;
  std::string error;
  const bool written = WriteOutput(row.write, out, name, error);
  EXPECT_EQ(zqtest::ReadFile(victim), kVictimContent) << "the file outside was changed";
  if (row.refusal == nullptr) {
    EXPECT_TRUE(written) << error;
    const std::string content = zqtest::ReadFile(out + "/" + name);
    EXPECT_EQ(content.substr(content.size() - std::min<size_t>(content.size(), 5)), "line\n");
  } else {
    EXPECT_FALSE(written);
    EXPECT_NE(error.find(row.refusal), std::string::npos) << error;
  }
  // No temporary file is left beside the name, whether the write succeeded or not.
  DIR* folder = opendir(out.c_str());
  if (folder == nullptr) return;  // the row took the folder away
  while (const dirent* entry = readdir(folder)) {
    const std::string entryName = entry->d_name;
    EXPECT_TRUE(entryName == "." || entryName == ".." || entryName[0] != '.') << entryName;
  }
  closedir(folder);
}

void PlantLink(const std::string& target, const std::string& at) {
  ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at;
  ASSERT_EQ(lchown(at.c_str(), kOtherUser, static_cast<gid_t>(-1)), 0) << at;
}

// A file "line" with `mode`, given to `owner`; only root gives files away (and only root's Config
// files are checked).
void PlantFileOf(uid_t owner, const std::string& path, mode_t mode) {
  if (geteuid() != 0 && owner != geteuid()) GTEST_SKIP() << "giving a file away needs root";
  WriteFile(path, "line\n");
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
  ASSERT_EQ(chown(path.c_str(), owner, static_cast<gid_t>(-1)), 0) << path;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProxyOutputFileRows,
    ::testing::Values(
        OutputRow{"LogIsAppendedInASharedStickyFolder", OutputWrite::Append,
                  [](const std::string&, const std::string&) {}, nullptr},
        OutputRow{"LogLinkToAFileOutside", OutputWrite::Append,
                  [](const std::string& out, const std::string& victim) { PlantLink(victim, out + "/x.log"); },
                  "it is a link, and zqrestore never writes through a link"},
        OutputRow{"LogHardLinkToAFileOutside", OutputWrite::Append,
                  [](const std::string& out, const std::string& victim) {
                    ASSERT_EQ(link(victim.c_str(), (out + "/x.log").c_str()), 0);
                  },
                  "it has other hard links"},
        OutputRow{"LogFileOfAnotherUser", OutputWrite::Append,
                  [](const std::string& out, const std::string&) {
                    if (geteuid() != 0) GTEST_SKIP() << "giving a file away needs root";
                    WriteFile(out + "/x.log", "");
                    ASSERT_EQ(chown((out + "/x.log").c_str(), kOtherUser, static_cast<gid_t>(-1)), 0);
                  },
                  "it belongs to user id 1234"},
        OutputRow{"LogFifoDoesNotHoldTheJob", OutputWrite::Append,
                  [](const std::string& out, const std::string&) {
                    ASSERT_EQ(mkfifo((out + "/x.log").c_str(), 0666), 0);
                  },
                  "it is not a plain file"},
        OutputRow{"LogFolderWritableByOthers", OutputWrite::Append,
                  [](const std::string& out, const std::string&) { ASSERT_EQ(chmod(out.c_str(), 0777), 0); },
                  "can be changed by other users"},
        OutputRow{"LogFolderIsALink", OutputWrite::Append,
                  [](const std::string& out, const std::string&) {
                    ASSERT_EQ(rename(out.c_str(), (out + "-real").c_str()), 0);
                    ASSERT_EQ(symlink((out + "-real").c_str(), out.c_str()), 0);
                  },
                  "is a link or not a folder"},
        OutputRow{"InstallationLogLinkToAFileOutside", OutputWrite::InstallationLog,
                  [](const std::string& out, const std::string& victim) {
                    PlantLink(victim, out + "/VSAgentlessRestoreToVM.log");
                  },
                  "[Log] Directory: cannot write"},
        OutputRow{"InstallationLogFolderWritableByOthers", OutputWrite::InstallationLog,
                  [](const std::string& out, const std::string&) { ASSERT_EQ(chmod(out.c_str(), 0757), 0); },
                  "can be changed by other users"},
        OutputRow{"InstallationLogIsAppended", OutputWrite::InstallationLog,
                  [](const std::string& out, const std::string&) { ASSERT_EQ(chmod(out.c_str(), 0700), 0); }, nullptr},
        OutputRow{"SummaryLinkToAFileOutside", OutputWrite::Whole,
                  [](const std::string& out, const std::string& victim) { PlantLink(victim, out + "/x.log"); },
                  "it is a link, and zqrestore never writes through a link"},
        OutputRow{"SummaryReplacesAHardLinkedFileLeavingTheOtherName", OutputWrite::Whole,
                  [](const std::string& out, const std::string& victim) {
                    ASSERT_EQ(link(victim.c_str(), (out + "/x.log").c_str()), 0);
                  },
                  nullptr},
        OutputRow{"SummaryFolderWritableByOthers", OutputWrite::Whole,
                  [](const std::string& out, const std::string&) { ASSERT_EQ(chmod(out.c_str(), 0777), 0); },
                  "can be changed by other users"},
        OutputRow{"SummaryOverAFolder", OutputWrite::Whole,
                  [](const std::string& out, const std::string&) { MakeFolder(out + "/x.log", 0700); },
                  "it is a folder"},
        OutputRow{"LockLinkToAFileOutside", OutputWrite::PrivateUpdate,
                  [](const std::string& out, const std::string& victim) { PlantLink(victim, out + "/x.log"); },
                  "it is a link, and zqrestore never writes through a link"},
        OutputRow{"LockFileOthersMayRead", OutputWrite::PrivateUpdate,
                  [](const std::string& out, const std::string&) {
                    WriteFile(out + "/x.log", "");
                    ASSERT_EQ(chmod((out + "/x.log").c_str(), 0640), 0);
                  },
                  "its mode is 0640, and this file must be the running user's alone (0600)"},
        OutputRow{"SummaryInAMissingFolder", OutputWrite::Whole,
                  [](const std::string& out, const std::string&) { ASSERT_EQ(rmdir(out.c_str()), 0); },
                  "does not exist"},
        OutputRow{"StateIsReadInASharedStickyFolder", OutputWrite::ReadState,
                  [](const std::string& out, const std::string&) { WriteFile(out + "/x.log", "line\n"); }, nullptr},
        OutputRow{"StateLinkToAFileOutside", OutputWrite::ReadState,
                  [](const std::string& out, const std::string& victim) { PlantLink(victim, out + "/x.log"); },
                  "is a link; zqrestore reads it only under its own name"},
        OutputRow{"StateHardLinkToAFileOutside", OutputWrite::ReadState,
                  [](const std::string& out, const std::string& v) { ASSERT_EQ(link(v.c_str(), (out + "/x.log").c_str()), 0); },
                  "has other hard links"},
        OutputRow{"StateOfAnotherUser", OutputWrite::ReadState,
                  [](const std::string& out, const std::string&) { PlantFileOf(kOtherUser, out + "/x.log", 0600); },
                  "belongs to user id 1234, not to the user running the plan"},
        OutputRow{"StateFolderWritableByOthers", OutputWrite::ReadState,
                  [](const std::string& out, const std::string&) {
                    WriteFile(out + "/x.log", "line\n");
                    ASSERT_EQ(chmod(out.c_str(), 0777), 0);
                  },
                  "can be changed by other users"},
        OutputRow{"StateFolderIsALink", OutputWrite::ReadState,
                  [](const std::string& out, const std::string&) {
                    WriteFile(out + "/x.log", "line\n");
                    ASSERT_EQ(rename(out.c_str(), (out + "-real").c_str()), 0);
                    ASSERT_EQ(symlink((out + "-real").c_str(), out.c_str()), 0);
                  },
                  "which is a link or not a folder"},
        OutputRow{"StateFifoDoesNotHoldThePlan", OutputWrite::ReadState,
                  [](const std::string& out, const std::string&) { ASSERT_EQ(mkfifo((out + "/x.log").c_str(), 0600), 0); },
                  "is not a plain file"},
        OutputRow{"StateLargerThanTheLimit", OutputWrite::ReadState,
                  [](const std::string& out, const std::string&) { WriteFile(out + "/x.log", std::string(65, 'x')); },
                  "is larger than 64 bytes"},
        OutputRow{"SecretIsReadWhenPrivate", OutputWrite::ReadSecret,
                  [](const std::string& out, const std::string&) { PlantFileOf(geteuid(), out + "/x.log", 0600); },
                  nullptr},
        OutputRow{"SecretGroupMayRead", OutputWrite::ReadSecret,
                  [](const std::string& out, const std::string&) { PlantFileOf(geteuid(), out + "/x.log", 0640); },
                  "is open to other users (mode 0640)"},
        OutputRow{"ConfigOthersMayWriteAsRoot", OutputWrite::ReadConfig,
                  [](const std::string& out, const std::string&) { PlantFileOf(0, out + "/x.log", 0646); },
                  "may be changed by other users (mode 0646)"},
        OutputRow{"ConfigInAFolderOthersMayChangeAsRoot", OutputWrite::ReadConfig,
                  [](const std::string& out, const std::string&) {
                    PlantFileOf(0, out + "/x.log", 0644);
                    ASSERT_EQ(chmod(out.c_str(), 0777), 0);
                  },
                  "where other users may replace it (mode 0777, no sticky bit)"},
        OutputRow{"ConfigOfRootIsReadAsRoot", OutputWrite::ReadConfig,
                  [](const std::string& out, const std::string&) { PlantFileOf(0, out + "/x.log", 0644); }, nullptr},
        OutputRow{"DataLinkToAFileOutside", OutputWrite::ReadData,
                  [](const std::string& out, const std::string& victim) { PlantLink(victim, out + "/x.log"); },
                  "is a link"}),
    [](const ::testing::TestParamInfo<OutputRow>& info) { return std::string(info.param.name); });

}  // namespace
