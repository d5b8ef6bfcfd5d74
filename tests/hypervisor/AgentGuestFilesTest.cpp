// Guest operations through a real qemu-ga on a unix socket. The agent runs on this machine, so the
// "guest" paths are paths inside the test's temporary folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "e2e/RestoreHarness.h"
#include "hypervisor/AgentGuestFiles.h"
#include "support/TestSupport.h"
#include "testbeds/qemu-ga/GuestAgentFixture.h"

namespace {

using VMInfoStructs::SGuestFile;
using zqtest::ReadFile;
using zqtest::WriteFile;

constexpr uid_t kGuestUser = 1000;  // an ordinary guest user, owner of planted links

using zqtest::Exists;
using zqtest::StatOf;

std::vector<std::string> Leftovers(const std::string& folder) {
  std::vector<std::string> found;
  DIR* dir = ::opendir(folder.c_str());
  while (dir != nullptr) {
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    if (std::string(entry->d_name).find(".zqrestore-") != std::string::npos) found.push_back(entry->d_name);
  }
  if (dir != nullptr) ::closedir(dir);
  return found;
}

// A link planted by an ordinary guest user.
void PlantUserLink(const std::string& target, const std::string& link) {
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
  ASSERT_EQ(::lchown(link.c_str(), kGuestUser, kGuestUser), 0);
}

// Passes every command to the real agent but fails the n-th guest-file-write, as a full disk or a
// lost connection would.
class FailingWriteTransport : public AgentTransport {
 public:
  FailingWriteTransport(AgentTransport& inner, int failingWrite, std::function<void()> atFailure)
      : m_inner(inner), m_failingWrite(failingWrite), m_atFailure(std::move(atFailure)) {}
  VMInfoStatus Execute(const std::string& command, const nlohmann::json& arguments, int timeoutSeconds,
                       nlohmann::json& result, AgentFailure& failure) override {
    if (command == "guest-file-write" && ++m_writes == m_failingWrite) {
      m_atFailure();
      failure = AgentFailure::Refused;
      return VMInfoStatus::Fail(VMInfoError::GuestAgent, "No space left on device");
    }
    return m_inner.Execute(command, arguments, timeoutSeconds, result, failure);
  }

 private:
  AgentTransport& m_inner;
  int m_failingWrite;
  std::function<void()> m_atFailure;
  int m_writes = 0;
};

class AgentFiles : public testing::Test {
 protected:
  // Private folders of the component go below the test's folder (root's, 0700, below sticky /tmp).
  AgentLimits SmallChunks() const {
    AgentLimits limits;
    limits.commandSeconds = 10;
    limits.answerSeconds = 5;
    limits.silentAgentSeconds = 2;
    limits.chunkBytes = 4096;  // several chunks for modest files
    limits.privateBases = {dir.path()};
    return limits;
  }

  void SetUp() override {
    ::umask(022);
    ASSERT_EQ(::mkdir(guest.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    std::string problem;
    ASSERT_TRUE(agent.Start(problem)) << problem;
  }

  std::string G(const std::string& relative) const { return guest + "/" + relative; }

  zqtest::TempDir dir;
  const std::string guest = dir.Join("dest");      // the restore's destination
  const std::string outside = dir.Join("outside");  // what planted links point at
  kvmtest::GuestAgent agent{dir.path()};
  std::unique_ptr<AgentTransport> transport = MakeAgentSocketTransport(agent.socketPath());
  AgentGuestFiles files{*transport, SmallChunks()};
};

TEST_F(AgentFiles, AgentThatAllowsEverythingIsReady) { EXPECT_TRUE(files.CheckAgent().ok()); }

TEST(AgentRefusal, BlockedCommandsAreNamedWithTheSettingThatAllowsThem) {
  zqtest::TempDir dir;
  kvmtest::GuestAgent agent(dir.path(), {"guest-exec", "guest-file-write"});
  std::string problem;
  ASSERT_TRUE(agent.Start(problem)) << problem;
  auto transport = MakeAgentSocketTransport(agent.socketPath());
  AgentGuestFiles files(*transport, AgentLimits());
  const VMInfoStatus status = files.CheckAgent();
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.code(), static_cast<int>(VMInfoError::GuestAgent));
  for (const char* part : {"guest-exec", "guest-file-write", "block-rpcs", "allow-rpcs"}) {
    EXPECT_NE(status.text().find(part), std::string::npos) << part << " in: " << status.text();
  }
}

TEST_F(AgentFiles, CopiesContentOfEverySizeCompletely) {
  for (const size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{3 * 4096 + 7}, size_t{300000}}) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + size) & 0xff);
    WriteFile(dir.Join("staged"), content);
    ASSERT_EQ(::chmod(dir.Join("staged").c_str(), size % 2 == 0 ? 0640 : 0755), 0);
    const std::string target = G("sub/dir/file-" + std::to_string(size));
    ASSERT_TRUE(files.CopyFileIn(dir.Join("staged"), target, true).ok());
    EXPECT_EQ(ReadFile(target), content);
    EXPECT_EQ(StatOf(target).st_mode & 07777, size % 2 == 0 ? 0640u : 0755u);
    EXPECT_TRUE(Leftovers(G("sub/dir")).empty());
  }
}

TEST_F(AgentFiles, FailedWriteLeavesTheGuestsFileAsItWas) {
  WriteFile(G("report.txt"), "the guest's own version");
  WriteFile(dir.Join("staged"), std::string(3 * 4096, 'n'));
  // While it fills, the content is in a private folder that only root can enter, never in the
  // target folder.
  std::vector<mode_t> privateModes;
  std::vector<std::string> inTarget;
  FailingWriteTransport failing(*transport, 2, [&]() {
    for (const std::string& name : Leftovers(dir.path())) privateModes.push_back(StatOf(dir.Join(name)).st_mode & 07777);
    inTarget = Leftovers(guest);
  });
  AgentGuestFiles faulty(failing, SmallChunks());
  const VMInfoStatus status = faulty.CopyFileIn(dir.Join("staged"), G("report.txt"), true);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.text().find("No space left on device"), std::string::npos) << status.text();
  EXPECT_EQ(ReadFile(G("report.txt")), "the guest's own version");
  EXPECT_EQ(privateModes, std::vector<mode_t>{0700});
  EXPECT_TRUE(inTarget.empty());
  EXPECT_TRUE(Leftovers(guest).empty());
  EXPECT_TRUE(Leftovers(dir.path()).empty()) << "the private folder is removed after the failure";
}

TEST_F(AgentFiles, ExistingFileIsKeptAndRefusedWithoutOverwriteAndAFolderIsNeverReplaced) {
  WriteFile(G("kept.txt"), "guest");
  ASSERT_EQ(::mkdir(G("folder.txt").c_str(), 0700), 0);
  WriteFile(dir.Join("staged"), "backup");
  const VMInfoStatus kept = files.CopyFileIn(dir.Join("staged"), G("kept.txt"), false);
  EXPECT_FALSE(kept.ok());
  EXPECT_NE(kept.text().find("already exists"), std::string::npos) << kept.text();
  EXPECT_EQ(ReadFile(G("kept.txt")), "guest");
  const VMInfoStatus status = files.CopyFileIn(dir.Join("staged"), G("folder.txt"), true);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.text().find("is a folder"), std::string::npos) << status.text();
  EXPECT_TRUE(S_ISDIR(StatOf(G("folder.txt")).st_mode));
  EXPECT_EQ(StatOf(G("folder.txt")).st_mode & 07777, 0700u);
}

// Links a guest user planted below the destination, each with what a restore must do there.
struct PlantedLink {
  const char* name;
  const char* link;        // below the destination
  const char* target;      // "@" stands for the outside folder
  bool userOwned;
  const char* restoredAs;  // the file the restore writes, below the destination
  bool restored;           // false: refused, nothing written anywhere
};

class PlantedLinks : public AgentFiles, public testing::WithParamInterface<PlantedLink> {};

TEST_P(PlantedLinks, AreReplacedOrRefusedNeverFollowed) {
  const PlantedLink& row = GetParam();
  WriteFile(outside + "/secret.conf", "root only");
  std::string target = row.target;
  if (target[0] == '@') target = outside + target.substr(1);
  if (row.userOwned) {
    PlantUserLink(target, G(row.link));
  } else {
    ASSERT_EQ(::symlink(target.c_str(), G(row.link).c_str()), 0);
  }
  WriteFile(dir.Join("staged"), "backup content");
  const VMInfoStatus copied = files.CopyFileIn(dir.Join("staged"), G(row.restoredAs), true);
  EXPECT_EQ(copied.ok(), row.restored) << copied.text();
  EXPECT_EQ(ReadFile(outside + "/secret.conf"), "root only");
  if (row.restored) {
    EXPECT_EQ(ReadFile(G(row.restoredAs)), "backup content");
  } else {
    EXPECT_NE(copied.text().find("not followed"), std::string::npos) << copied.text();
    EXPECT_FALSE(Exists(outside + "/a.txt"));
    EXPECT_FALSE(files.CreateFolder(G(std::string(row.link) + "/made")).ok());
    EXPECT_FALSE(Exists(outside + "/made"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    AgentFiles, PlantedLinks,
    testing::Values(PlantedLink{"FileLinkingOutside", "notes.txt", "@/secret.conf", true, "notes.txt", true},
                    PlantedLink{"DanglingLink", "gone.txt", "@/nothing-here", true, "gone.txt", true},
                    PlantedLink{"FolderLinkingOutside", "docs", "@", true, "docs/a.txt", false},
                    PlantedLink{"FolderLinkOfRoot", "admin", "@", false, "admin/b.txt", true}),
    [](const testing::TestParamInfo<PlantedLink>& info) { return std::string(info.param.name); });

TEST_F(AgentFiles, BrowseCarriesEveryNameAndTellsLinksFromTheirTargets) {
  std::set<std::string> expected;
  for (const std::string& name : e2e::RestorableHostileNames()) {
    WriteFile(G(name), "x");
    expected.insert(name);
  }
  PlantUserLink(outside, G("docs"));
  expected.insert("docs");
  std::vector<SGuestFile> entries;
  ASSERT_TRUE(files.Browse(guest, false, entries).ok());
  std::set<std::string> names;
  for (const SGuestFile& entry : entries) {
    names.insert(entry.name);
    if (entry.name == "docs") {
      EXPECT_EQ(entry.type, VMInfoStructs::GuestFileSymlink);
    }
  }
  EXPECT_EQ(names, expected);
  entries.clear();
  ASSERT_TRUE(files.Browse(guest, true, entries).ok());
  EXPECT_TRUE(entries.empty()) << "no folders, the link to one included";
}

TEST_F(AgentFiles, BrowseOfAFileDescribesItAndAMissingPathIsAFailure) {
  WriteFile(G("a.txt"), "12345");
  ASSERT_EQ(::chmod(G("a.txt").c_str(), 0640), 0);
  const timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, G("a.txt").c_str(), times, 0), 0);
  std::vector<SGuestFile> entries;
  ASSERT_TRUE(files.Browse(G("a.txt"), false, entries).ok());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "a.txt");
  EXPECT_EQ(entries[0].type, VMInfoStructs::GuestFileRegular);
  EXPECT_EQ(entries[0].size, 5);
  EXPECT_EQ(entries[0].mode, 0640);
  EXPECT_EQ(entries[0].accessTime, 1500000000);
  EXPECT_EQ(entries[0].modifyTime, 1600000000);
  entries.clear();
  EXPECT_FALSE(files.Browse(G("missing.txt"), false, entries).ok());
  EXPECT_FALSE(files.Browse(G("../dest/a.txt"), false, entries).ok());
  EXPECT_TRUE(entries.empty());
  ASSERT_TRUE(files.Browse("", false, entries).ok());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "/");
}

TEST_F(AgentFiles, AttributesAreAppliedWithLargeIdsAndNeverThroughALink) {
  WriteFile(G("a.txt"), "x");
  SGuestFile attributes;
  attributes.uid = static_cast<int32_t>(3000000000u);
  attributes.gid = static_cast<int32_t>(3000000001u);
  attributes.mode = 04750;
  attributes.accessTime = 1590006017;
  attributes.modifyTime = 1600000000;
  ASSERT_TRUE(files.ChangeAttributes(G("a.txt"), attributes).ok());
  const struct stat info = StatOf(G("a.txt"));
  EXPECT_EQ(info.st_uid, 3000000000u);
  EXPECT_EQ(info.st_gid, 3000000001u);
  EXPECT_EQ(info.st_mode & 07777, 04750u);
  EXPECT_EQ(info.st_atime, 1590006017);
  EXPECT_EQ(info.st_mtime, 1600000000);

  SGuestFile timesOnly;
  timesOnly.modifyTime = 1700000000;
  ASSERT_TRUE(files.ChangeAttributes(G("a.txt"), timesOnly).ok());
  EXPECT_EQ(StatOf(G("a.txt")).st_mtime, 1700000000);
  EXPECT_EQ(StatOf(G("a.txt")).st_mode & 07777, 04750u) << "a change of times alone keeps the mode";
  EXPECT_EQ(StatOf(G("a.txt")).st_uid, 3000000000u);

  WriteFile(outside + "/secret.conf", "root only");
  ASSERT_EQ(::chmod((outside + "/secret.conf").c_str(), 0600), 0);
  PlantUserLink(outside + "/secret.conf", G("notes.txt"));
  const VMInfoStatus status = files.ChangeAttributes(G("notes.txt"), attributes);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.text().find("is a link"), std::string::npos) << status.text();
  EXPECT_EQ(StatOf(outside + "/secret.conf").st_mode & 07777, 0600u);
  EXPECT_EQ(StatOf(outside + "/secret.conf").st_uid, 0u);
}

TEST_F(AgentFiles, FoldersAreCreatedOneByOneAndDeletedWithoutFollowingLinks) {
  ASSERT_TRUE(files.CreateFolder(G("a/b c/d")).ok());
  EXPECT_TRUE(S_ISDIR(StatOf(G("a/b c/d")).st_mode));
  EXPECT_TRUE(files.CreateFolder(G("a/b c/d")).ok()) << "an existing folder is success";
  WriteFile(G("a/file"), "x");
  EXPECT_FALSE(files.CreateFolder(G("a/file")).ok());
  EXPECT_FALSE(files.CreateFolder(G("a/file/under")).ok());

  WriteFile(outside + "/keep.txt", "keep");
  PlantUserLink(outside, G("a/b c/d/out"));
  ASSERT_TRUE(files.DeleteFolder(G("a")).ok());
  EXPECT_FALSE(Exists(G("a")));
  EXPECT_EQ(ReadFile(outside + "/keep.txt"), "keep");
  EXPECT_FALSE(files.DeleteFolder("/").ok());
}

TEST_F(AgentFiles, CopyOutBringsTheGuestsFileBackWhole) {
  std::string content(10000, 'q');
  content[5000] = '\0';
  WriteFile(G("data.bin"), content);
  ASSERT_TRUE(files.CopyFileOut(G("data.bin"), dir.Join("back.bin")).ok());
  EXPECT_EQ(ReadFile(dir.Join("back.bin")), content);
}

TEST_F(AgentFiles, ProgramsAndAgentsThatStopAnsweringFailWithinTheTimeLimit) {
  AgentLimits limits = SmallChunks();
  limits.commandSeconds = 1;
  AgentGuestFiles impatient(*transport, limits);
  GuestProgramResult result;
  auto started = std::chrono::steady_clock::now();
  const VMInfoStatus status = impatient.RunProgram({"sleep", "5"}, result);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.text().find("did not end within 1 seconds"), std::string::npos) << status.text();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));

  WriteFile(dir.Join("staged"), "x");
  agent.Kill();
  started = std::chrono::steady_clock::now();
  for (int entry = 0; entry < 3; ++entry) {
    EXPECT_FALSE(files.CopyFileIn(dir.Join("staged"), G("after.txt"), true).ok());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_FALSE(Exists(G("after.txt")));
}

}  // namespace
