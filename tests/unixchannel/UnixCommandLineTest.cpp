// The command lines of the Unix channel, byte for byte, with a runner that records them.
#include <gtest/gtest.h>

#include <map>

#include "UnixTestDoubles.h"

namespace {

using zqtest::ScopedLogCapture;
using zqtest::ScopedRunner;
using zqtest::ScopedSettings;
using zqtest::ScriptedRunner;
using VMInfoStructs::SGuestFile;

const std::string kPlink = "/opt/zq/zqplink.exe 10.0.0.5 -l root \"bash -s\" -- < /opt/zq/zqvsa_agentless.sh ";

class UnixCommandLines : public testing::Test {
 protected:
  void SetUp() override {
    settings.Set("Base", "dBASEHOME", "/opt/zq");
    ASSERT_TRUE(channel.Init(zqtest::MakeLogin("root", "s3cret", "10.0.0.5")));
    runner->answer = [this](const std::string& command) { return Reply(command); };
  }

  ScriptedRunner::Answer Reply(const std::string& command) {
    ScriptedRunner::Answer answer;
    if (command.find("uname -a") != std::string::npos) answer.output = "Linux guest\n";
    if (command.find("--file_exists") != std::string::npos) answer.output = fileExistsAnswer;
    if (command.find("--browse_path") != std::string::npos) answer.output = browseAnswer;
    if (command.find("--change_file_attr") != std::string::npos) answer.output = attributesAnswer;
    if (copyFails && command.find("zqpscp.exe") != std::string::npos) answer.status = 1;
    return answer;
  }

  // Commands after the probe.
  std::vector<std::string> Commands() const {
    auto all = runner->Commands();
    return std::vector<std::string>(all.begin() + 1, all.end());
  }

  ScopedSettings settings;
  ScopedLogCapture capture;
  std::shared_ptr<ScriptedRunner> runner = std::make_shared<ScriptedRunner>();
  ScopedRunner installed{runner};
  zqtest::StubVMInfo vmInfo{VSInstanceNoNativeGuestOps};
  ZQUnixGuestAPI channel{&vmInfo};
  GuestCtx ctx;
  std::string fileExistsAnswer = "File doesn't exist\n";
  std::string browseAnswer;
  std::string attributesAnswer;
  bool copyFails = false;
};

TEST_F(UnixCommandLines, ProbeRunsUnameThroughThePlinkTool) {
  EXPECT_EQ(runner->Commands().at(0), "/opt/zq/zqplink.exe 10.0.0.5 -l root uname -a");
}

struct ScriptRow {
  const char* name;
  std::function<int(ZQUnixGuestAPI&, const GuestCtx&)> operation;
  std::string expected;
};

void PrintTo(const ScriptRow& row, std::ostream* out) { *out << row.name; }

const std::vector<ScriptRow> kScriptRows = {
    {"Browse",
     [](ZQUnixGuestAPI& c, const GuestCtx& ctx) {
       std::vector<SGuestFile> entries;
       return c.BrowseGuest(ctx, "/var/log", entries);
     },
     kPlink + "\"--browse_path\" \"'/var/log'\""},
    {"ListDirs",
     [](ZQUnixGuestAPI& c, const GuestCtx& ctx) {
       std::vector<SGuestFile> entries;
       return c.BrowseGuestFolders(ctx, "/home/a b", entries);
     },
     kPlink + "\"--list_dirs\" \"'/home/a b'\""},
    {"CreateDir", [](ZQUnixGuestAPI& c, const GuestCtx& ctx) { return c.CreateGuestFolder(ctx, "/restore/x"); },
     kPlink + "\"--create_dir\" \"'/restore/x/./'\""},
    {"DeleteDir",
     [](ZQUnixGuestAPI& c, const GuestCtx& ctx) {
       std::string path = "/restore/x";
       return c.DeleteDirectoryInGuest(ctx, path);
     },
     kPlink + "\"--delete_dir\" \"'/restore/x'\""},
    {"ChangeAttributes",
     [](ZQUnixGuestAPI& c, const GuestCtx& ctx) {
       SGuestFile attributes;
       attributes.accessTime = 1700000000;
       attributes.modifyTime = 1600000000;
       attributes.uid = 1000;
       attributes.gid = 100;
       attributes.mode = 0100644;
       return c.ChangeGuestFileAttributes(ctx, "/restore/a.txt", attributes);
     },
     kPlink + "\"--change_file_attr\" \"'/restore/a.txt'\" 1700000000 1600000000 1000 100 644"},
    {"ChangeAttributesModeZero",
     [](ZQUnixGuestAPI& c, const GuestCtx& ctx) { return c.ChangeGuestFileAttributes(ctx, "/r", SGuestFile()); },
     kPlink + "\"--change_file_attr\" \"'/r'\" 0 0 0 0 0"},
    {"HostilePathQuotedForBothShells",
     [](ZQUnixGuestAPI& c, const GuestCtx& ctx) { return c.CreateGuestFolder(ctx, "/r/it's $(x) `y` \"z\" \\"); },
     kPlink + "\"--create_dir\" \"'/r/it'\\\\''s \\$(x) \\`y\\` \\\"z\\\" \\\\/./'\""},
};

class UnixScriptCommandLines : public UnixCommandLines, public testing::WithParamInterface<ScriptRow> {};

TEST_P(UnixScriptCommandLines, MatchByteForByte) {
  EXPECT_EQ(GetParam().operation(channel, ctx), 1);
  ASSERT_EQ(Commands().size(), 1u);
  EXPECT_EQ(Commands()[0], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, UnixScriptCommandLines, testing::ValuesIn(kScriptRows),
                         [](const testing::TestParamInfo<ScriptRow>& info) { return std::string(info.param.name); });

// Below the destination the helper script and the copy tool get the marker "/./", which ends the
// part of the path where links are followed.
struct MarkRow {
  const char* name;
  std::string destination;
  std::string path;
  std::string expected;
};

void PrintTo(const MarkRow& row, std::ostream* out) { *out << row.name; }

const std::vector<MarkRow> kMarkRows = {
    {"BelowTheDestination", "//data/r", "//data/r/etc/hosts", "'//data/r/./etc/hosts'"},
    {"DestinationWithTrailingSlash", "//data/r/", "//data/r/etc", "'//data/r/./etc'"},
    {"DestinationItself", "//data/r", "//data/r", "'//data/r/./'"},
    {"DotPartsOfTheDestinationDropped", "/data/./r/.", "/data/r/a", "'/data/r/./a'"},
    {"RootDestination", "//", "///etc/x", "'/.///etc/x'"},
    {"SiblingWithTheSamePrefix", "/data/r", "/data/rx/a", "'/data/rx/a'"},
    {"OutsideTheDestination", "/data/r", "/etc/x", "'/etc/x'"},
};

class MarkedPaths : public UnixCommandLines, public testing::WithParamInterface<MarkRow> {};

TEST_P(MarkedPaths, CarryTheDestinationMarker) {
  ASSERT_EQ(channel.InitStagingFolder(1, "/stage", GetParam().destination), 1);
  std::vector<SGuestFile> entries;
  channel.BrowseGuest(ctx, GetParam().path, entries);
  EXPECT_EQ(Commands().at(0), kPlink + "\"--browse_path\" \"" + GetParam().expected + "\"");
}

INSTANTIATE_TEST_SUITE_P(Rows, MarkedPaths, testing::ValuesIn(kMarkRows),
                         [](const testing::TestParamInfo<MarkRow>& info) { return std::string(info.param.name); });

TEST_F(UnixCommandLines, CopyBelowTheDestinationMarksTheTarget) {
  ASSERT_EQ(channel.InitStagingFolder(1, "/stage", "//data"), 1);
  EXPECT_EQ(channel.CopyFileToGuest(ctx, "/stage/a.txt", "//data/a.txt", true), 1);
  EXPECT_EQ(Commands().at(1), "/opt/zq/zqpscp.exe  '/stage/a.txt' root@10.0.0.5:/'//data/./a.txt'");
}

TEST_F(UnixCommandLines, IdsGoAsUnsigned32BitNumbers) {
  SGuestFile attributes;
  attributes.uid = -2;
  attributes.gid = static_cast<int32_t>(0x80000000u);
  EXPECT_EQ(channel.ChangeGuestFileAttributes(ctx, "/r", attributes), 1);
  EXPECT_EQ(Commands().at(0), kPlink + "\"--change_file_attr\" \"'/r'\" 0 0 4294967294 2147483648 0");
}

// A copy is limited by inactivity and a helper command by its total time, also where the base
// folder's name needs quoting on the command line.
TEST_F(UnixCommandLines, CopiesGetTheInactivityLimitWhateverTheBaseFolder) {
  settings.Set("SSH", "CommandTimeLimit", "600");
  settings.Set("SSH", "CopyInactivityLimit", "60");
  for (const char* base : {"/opt/zq", "/opt/zq restore's"}) {
    SCOPED_TRACE(base);
    settings.Set("Base", "dBASEHOME", base);
    ZQUnixGuestAPI copier{&vmInfo};
    ASSERT_TRUE(copier.Init(zqtest::MakeLogin("root", "s3cret", "10.0.0.5")));
    runner->Clear();
    EXPECT_EQ(copier.CopyFileToGuest(ctx, "/stage/a.txt", "/data/a.txt", true), 1);
    const std::vector<std::string> limits = runner->Limits();
    ASSERT_EQ(limits.size(), 2u);
    EXPECT_EQ(limits[0], "total 600");  // the parent folder
    EXPECT_EQ(limits[1].rfind("quiet ", 0), 0u) << limits[1];
  }
}

// A login other than root keeps the owner: the change did not do all it was asked, and says why.
TEST_F(UnixCommandLines, AnOwnerThatCouldNotBeSetFailsTheAttributeChange) {
  attributesAnswer = "owner not set: login backup is not root\n";
  EXPECT_EQ(channel.ChangeGuestFileAttributes(ctx, "/r", SGuestFile()), 0);
  EXPECT_NE(channel.GetLastGuestApiErrorDetails().find("login [backup] is not root"), std::string::npos);
}

TEST_F(UnixCommandLines, CopyWithOverwriteCreatesTheParentThenCopies) {
  EXPECT_EQ(channel.CopyFileToGuest(ctx, "/stage/a.txt", "/data/a.txt", true), 1);
  EXPECT_EQ(Commands(), (std::vector<std::string>{
                            kPlink + "\"--create_parent_dir\" \"'/data/a.txt'\"",
                            "/opt/zq/zqpscp.exe  '/stage/a.txt' root@10.0.0.5:/'/data/a.txt'",
                        }));
}

TEST_F(UnixCommandLines, CopyWithoutOverwriteKeepsAnExistingGuestFileAndSaysSo) {
  fileExistsAnswer = "File exists\n";
  EXPECT_EQ(channel.CopyFileToGuest(ctx, "/stage/a.txt", "/data/a.txt", false), 0);
  EXPECT_NE(channel.GetLastGuestApiErrorDetails().find("kept without copying"), std::string::npos);
  EXPECT_EQ(Commands(), (std::vector<std::string>{
                            kPlink + "\"--create_parent_dir\" \"'/data/a.txt'\"",
                            kPlink + "\"--file_exists\" \"'/data/a.txt'\"",
                        }));
}

TEST_F(UnixCommandLines, CopyWithoutOverwriteCopiesAMissingGuestFile) {
  EXPECT_EQ(channel.CopyFileToGuest(ctx, "/stage/a.txt", "/data/a.txt", false), 1);
  ASSERT_EQ(Commands().size(), 3u);
  EXPECT_EQ(Commands()[2], "/opt/zq/zqpscp.exe  '/stage/a.txt' root@10.0.0.5:/'/data/a.txt'");
}

TEST_F(UnixCommandLines, CopyQuotesBothPathsForTheProxyShell) {
  EXPECT_EQ(channel.CopyFileToGuest(ctx, "/stage/it's", "/data/$(x) it's", true), 1);
  EXPECT_EQ(Commands().back(), "/opt/zq/zqpscp.exe  '/stage/it'\\''s' root@10.0.0.5:/'/data/$(x) it'\\''s'");
}

TEST_F(UnixCommandLines, CopyFailsWhenTheParentCannotBeCreated) {
  runner->answer = [](const std::string& command) {
    ScriptedRunner::Answer answer;
    if (command.find("--create_parent_dir") != std::string::npos) answer.status = 1;
    return answer;
  };
  EXPECT_EQ(channel.CopyFileToGuest(ctx, "/stage/a.txt", "/data/a.txt", true), 0);
  EXPECT_EQ(Commands().size(), 1u);
  EXPECT_TRUE(capture.sink().Contains("Failed to create parent dir for /data/a.txt"));
}

TEST_F(UnixCommandLines, PathWithANulByteIsRefusedWithoutRunningAnything) {
  std::string path("/data/a\0b", 9);
  EXPECT_EQ(channel.CreateGuestFolder(ctx, path), 0);
  EXPECT_EQ(channel.CopyFileToGuest(ctx, "/stage/a.txt", path, true), 0);
  EXPECT_TRUE(Commands().empty());
  EXPECT_NE(channel.GetLastGuestApiErrorDetails().find("NUL byte"), std::string::npos);
}

TEST_F(UnixCommandLines, RootBrowseRunsNothing) {
  for (const std::string path : {"", "\\"}) {
    std::vector<SGuestFile> entries;
    EXPECT_EQ(channel.BrowseGuest(ctx, path, entries), 1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "/");
    EXPECT_EQ(entries[0].type, VMInfoStructs::GuestFileDirectory);
  }
  EXPECT_TRUE(Commands().empty());
}

TEST_F(UnixCommandLines, PasswordNeverAppearsOnACommandLine) {
  std::vector<SGuestFile> entries;
  channel.BrowseGuest(ctx, "/data", entries);
  channel.CopyFileToGuest(ctx, "/stage/a", "/data/a", false);
  channel.ChangeGuestFileAttributes(ctx, "/data/a", SGuestFile());
  ASSERT_GE(runner->Commands().size(), 5u);
  for (const std::string& command : runner->Commands()) EXPECT_EQ(command.find("s3cret"), std::string::npos) << command;
}

// The guest probe over the address list.
class UnixProbe : public testing::Test {
 protected:
  void SetUp() override { settings.Set("Base", "dBASEHOME", "/opt/zq"); }

  // Answers each probe by its address: "dead" fails, others print `answers[address]`.
  void AnswerByAddress(std::map<std::string, std::string> answers) {
    runner->answer = [answers](const std::string& command) {
      ScriptedRunner::Answer answer{255, ""};
      for (const auto& [address, text] : answers) {
        if (command.find(" " + address + " -l ") != std::string::npos) answer = {0, text};
      }
      return answer;
    };
  }

  ScopedSettings settings;
  ScopedLogCapture capture;
  std::shared_ptr<ScriptedRunner> runner = std::make_shared<ScriptedRunner>();
  ScopedRunner installed{runner};
  zqtest::StubVMInfo vmInfo{VSInstanceNoNativeGuestOps};
  ZQUnixGuestAPI channel{&vmInfo};
};

TEST_F(UnixProbe, SkipsADeadAddressAndEmptyPiecesAndKeepsTheOneThatAnswered) {
  AnswerByAddress({{"10.0.0.2", "Linux guest 6.1\n"}});
  EXPECT_TRUE(channel.Init(zqtest::MakeLogin("root", "pw", ",10.0.0.1,,10.0.0.2")));
  EXPECT_EQ(runner->Commands(), (std::vector<std::string>{"/opt/zq/zqplink.exe 10.0.0.1 -l root uname -a",
                                                          "/opt/zq/zqplink.exe 10.0.0.2 -l root uname -a"}));
  std::vector<SGuestFile> entries;
  channel.BrowseGuest(GuestCtx(), "/x", entries);
  EXPECT_NE(runner->Commands().back().find("zqplink.exe 10.0.0.2 -l root \"bash -s\""), std::string::npos);
}

TEST_F(UnixProbe, AcceptsLinuxSpelledWithACapital) {
  AnswerByAddress({{"10.0.0.1", "Linux host 5.10.0 x86_64 GNU/Linux"}});
  EXPECT_TRUE(channel.Init(zqtest::MakeLogin("root", "pw", "10.0.0.1")));
}

TEST_F(UnixProbe, StopsAtTheFirstAnswerThatIsNotLinux) {
  AnswerByAddress({{"10.0.0.1", "FreeBSD host 13.2"}, {"10.0.0.2", "Linux"}});
  EXPECT_FALSE(channel.Init(zqtest::MakeLogin("root", "pw", "10.0.0.1,10.0.0.2")));
  EXPECT_EQ(runner->Commands().size(), 1u);
  EXPECT_TRUE(capture.sink().Contains("cmd /opt/zq/zqplink.exe 10.0.0.1 -l root uname -a\nresp FreeBSD host 13.2"));
}

TEST_F(UnixProbe, FailsWhenNoAddressAnswers) {
  AnswerByAddress({});
  EXPECT_FALSE(channel.Init(zqtest::MakeLogin("root", "pw", "10.0.0.1,10.0.0.2")));
  EXPECT_EQ(runner->Commands().size(), 2u);
  EXPECT_FALSE(channel.Init(zqtest::MakeLogin("root", "pw", "")));
  EXPECT_EQ(runner->Commands().size(), 2u);
}

TEST_F(UnixProbe, VMwareGuestIsRefusedWithoutAnyCommand) {
  zqtest::StubVMInfo vmware{VSInstanceVMware};
  ZQUnixGuestAPI vmwareChannel{&vmware};
  EXPECT_FALSE(vmwareChannel.Init(zqtest::MakeLogin("root", "pw", "10.0.0.1")));
  EXPECT_EQ(vmware.instanceTypeCalls, 1);
  EXPECT_TRUE(runner->Commands().empty());
  EXPECT_TRUE(capture.sink().Records().empty());
}

TEST_F(UnixProbe, NeedsTheBaseFolder) {
  settings.Erase("Base", "dBASEHOME");
  EXPECT_FALSE(channel.Init(zqtest::MakeLogin("root", "pw", "10.0.0.1")));
  EXPECT_TRUE(capture.sink().Contains("Failed to get ZQPI_BASEHOME"));
  EXPECT_TRUE(runner->Commands().empty());
}

TEST_F(UnixProbe, QuotesAnUnusualUserAndBaseFolderForTheProxyShell) {
  settings.Set("Base", "dBASEHOME", "/opt/my tools");
  AnswerByAddress({{"10.0.0.1", "Linux"}});
  EXPECT_TRUE(channel.Init(zqtest::MakeLogin("a;b", "pw", "10.0.0.1")));
  EXPECT_EQ(runner->Commands().at(0), "'/opt/my tools/zqplink.exe' 10.0.0.1 -l 'a;b' uname -a");
}

TEST(UnixChannel, IsACommandChannel) {
  ZQUnixGuestAPI channel{nullptr};
  EXPECT_TRUE(channel.IsZqGuestAPI());
}

// A copy ensures its folder with "--create_parent_dir" only while the channel does not know the
// folder to exist: made or ensured by its own commands, or listed as a folder by a browse.
struct KnownFolderRow {
  const char* name;
  std::function<void(ZQUnixGuestAPI&, const GuestCtx&, std::string& browseAnswer, bool& copyFails)> steps;
  size_t expectEnsures;
};
void PrintTo(const KnownFolderRow& row, std::ostream* out) { *out << row.name; }

class KnownFolders : public UnixCommandLines, public testing::WithParamInterface<KnownFolderRow> {};

TEST_P(KnownFolders, EnsureAFolderOnlyWhileItIsNotKnown) {
  GetParam().steps(channel, ctx, browseAnswer, copyFails);
  size_t ensures = 0;
  for (const std::string& command : Commands()) ensures += command.find("--create_parent_dir") != std::string::npos;
  EXPECT_EQ(ensures, GetParam().expectEnsures);
}

void CopyTo(ZQUnixGuestAPI& channel, const GuestCtx& ctx, const std::string& guestFile) {
  channel.CopyFileToGuest(ctx, "/stage/f", guestFile, false);
}

void Browse(ZQUnixGuestAPI& channel, const GuestCtx& ctx, const std::string& path) {
  std::vector<SGuestFile> entries;
  channel.BrowseGuest(ctx, path, entries);
}

const KnownFolderRow kKnownFolderRows[] = {
    {"FilesOfOneFolderEnsureItOnce",
     [](ZQUnixGuestAPI& channel, const GuestCtx& ctx, std::string&, bool&) {
       for (const char* file : {"/data/a", "/data/b", "/data/c"}) CopyTo(channel, ctx, file);
     },
     1},
    {"FolderTheChannelMadeIsNotEnsured",
     [](ZQUnixGuestAPI& channel, const GuestCtx& ctx, std::string&, bool&) {
       channel.CreateGuestFolder(ctx, "/data/sub/");
       CopyTo(channel, ctx, "/data/sub/a");
     },
     0},
    {"FolderListedByABrowseIsNotEnsured",
     [](ZQUnixGuestAPI& channel, const GuestCtx& ctx, std::string& browseAnswer, bool&) {
       browseAnswer = "sub/4096/directory/1/1/0/0/16877\nfile/1/regular file/1/1/0/0/33188\n";
       Browse(channel, ctx, "/data");
       CopyTo(channel, ctx, "/data/sub/a");
       CopyTo(channel, ctx, "/data/file/a");
     },
     1},
    {"FailedCopyEnsuresTheFolderAgain",
     [](ZQUnixGuestAPI& channel, const GuestCtx& ctx, std::string&, bool& copyFails) {
       copyFails = true;
       CopyTo(channel, ctx, "/data/a");
       copyFails = false;
       CopyTo(channel, ctx, "/data/b");
     },
     2},
    {"DeletedFolderIsEnsuredAgain",
     [](ZQUnixGuestAPI& channel, const GuestCtx& ctx, std::string&, bool&) {
       channel.CreateGuestFolder(ctx, "/data/sub");
       std::string deleted = "/data/sub";
       channel.DeleteDirectoryInGuest(ctx, deleted);
       CopyTo(channel, ctx, "/data/sub/a");
     },
     1},
    {"OnlyRecentFoldersAreKept",
     [](ZQUnixGuestAPI& channel, const GuestCtx& ctx, std::string&, bool&) {
       for (int i = 0; i < 100; ++i) channel.CreateGuestFolder(ctx, "/data/d" + std::to_string(i));
       CopyTo(channel, ctx, "/data/d0/a");
       CopyTo(channel, ctx, "/data/d99/a");
     },
     1},
};
INSTANTIATE_TEST_SUITE_P(Rows, KnownFolders, testing::ValuesIn(kKnownFolderRows),
                         [](const testing::TestParamInfo<KnownFolderRow>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
