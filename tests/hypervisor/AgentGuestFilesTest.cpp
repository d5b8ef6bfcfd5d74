// Guest operations through a real qemu-ga on a unix socket. The agent runs on this machine, so the
// "guest" paths are paths inside the test's temporary folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "e2e/RestoreHarness.h"
#include "hypervisor/AgentGuestFiles.h"
#include "support/TestSupport.h"
#include "testbeds/qemu-ga/GuestAgentFixture.h"
#include "testbeds/sshd/SshdFixture.h"

extern const char kAgentGuestProgram[];

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
    if (command == "guest-file-write") writeLimits.push_back(timeoutSeconds);
    if (command == "guest-file-write" && ++m_writes == m_failingWrite) {
      m_atFailure();
      failure = AgentFailure::Refused;
      return VMInfoStatus::Fail(VMInfoError::GuestAgent, "No space left on device");
    }
    return m_inner.Execute(command, arguments, timeoutSeconds, result, failure);
  }

  std::vector<int> writeLimits;  // the time limit of every guest-file-write

 private:
  AgentTransport& m_inner;
  int m_failingWrite;
  std::function<void()> m_atFailure;
  int m_writes = 0;
};

// Passes every command to the real agent but answers a finished program's standard output with
// `out`, as a guest that prints what it likes would.
class RewrittenOutputTransport : public AgentTransport {
 public:
  RewrittenOutputTransport(AgentTransport& inner, std::string out) : m_inner(inner), m_out(std::move(out)) {}
  VMInfoStatus Execute(const std::string& command, const nlohmann::json& arguments, int timeoutSeconds,
                       nlohmann::json& result, AgentFailure& failure) override {
    VMInfoStatus status = m_inner.Execute(command, arguments, timeoutSeconds, result, failure);
    if (status.ok() && command == "guest-exec-status" && result.value("exited", false)) {
      std::string encoded(4 * ((m_out.size() + 2) / 3) + 1, '\0');
      const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]),
                                         reinterpret_cast<const unsigned char*>(m_out.data()), static_cast<int>(m_out.size()));
      encoded.resize(static_cast<size_t>(length));
      result["out-data"] = encoded;
    }
    return status;
  }

 private:
  AgentTransport& m_inner;
  std::string m_out;
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
  // A folder anyone may write to is never the private folder's place.
  ASSERT_EQ(::mkdir(dir.Join("open").c_str(), 0777), 0);
  ASSERT_EQ(::chmod(dir.Join("open").c_str(), 0777), 0);
  std::vector<mode_t> privateModes;
  std::vector<std::string> inTarget;
  std::vector<std::string> inOpen;
  FailingWriteTransport failing(*transport, 2, [&]() {
    for (const std::string& name : Leftovers(dir.path())) privateModes.push_back(StatOf(dir.Join(name)).st_mode & 07777);
    inTarget = Leftovers(guest);
    inOpen = Leftovers(dir.Join("open"));
  });
  AgentLimits limits = SmallChunks();
  limits.privateBases = {dir.Join("open"), dir.path()};
  limits.slowestBytesPerSecond = 1024;
  AgentGuestFiles faulty(failing, limits);
  const VMInfoStatus status = faulty.CopyFileIn(dir.Join("staged"), G("report.txt"), true);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.text().find("No space left on device"), std::string::npos) << status.text();
  EXPECT_EQ(ReadFile(G("report.txt")), "the guest's own version");
  EXPECT_EQ(failing.writeLimits, (std::vector<int>{5 + 4, 5 + 4})) << "answer limit plus 4 KiB at 1 KiB/s";
  EXPECT_EQ(privateModes, std::vector<mode_t>{0700});
  EXPECT_TRUE(inTarget.empty());
  EXPECT_TRUE(inOpen.empty());
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
  bool overwrite = true;
  const char* refusal = "not followed";  // in the refusal's text
  // The backup suffix; with one, a regular file "old" stands at restoredAs first (unless the link
  // does) and must stay there when the copy is refused.
  const char* backupSuffix = "";
};

class PlantedLinks : public AgentFiles, public testing::WithParamInterface<PlantedLink> {};

TEST_P(PlantedLinks, AreReplacedOrRefusedNeverFollowed) {
  const PlantedLink& row = GetParam();
  WriteFile(outside + "/secret.conf", "root only");
  const bool oldFile = *row.backupSuffix != '\0' && std::string(row.link) != row.restoredAs;
  if (oldFile) WriteFile(G(row.restoredAs), "old");
  files.SetBackupSuffix(row.backupSuffix);
  std::string target = row.target;
  if (target[0] == '@') target = outside + target.substr(1);
  if (row.userOwned) {
    PlantUserLink(target, G(row.link));
  } else {
    ASSERT_EQ(::symlink(target.c_str(), G(row.link).c_str()), 0);
  }
  WriteFile(dir.Join("staged"), "backup content");
  const VMInfoStatus copied = files.CopyFileIn(dir.Join("staged"), G(row.restoredAs), row.overwrite);
  EXPECT_EQ(copied.ok(), row.restored) << copied.text();
  EXPECT_EQ(ReadFile(outside + "/secret.conf"), "root only");
  if (row.restored) {
    EXPECT_EQ(ReadFile(G(row.restoredAs)), "backup content");
    if (*row.backupSuffix) {
      EXPECT_FALSE(Exists(G(std::string(row.restoredAs) + row.backupSuffix))) << "a link is not kept";
    }
  } else {
    EXPECT_NE(copied.text().find(row.refusal), std::string::npos) << copied.text();
    EXPECT_EQ(copied.code(), static_cast<int>(VMInfoError::GuestPathRefused));
    EXPECT_TRUE(Leftovers(guest).empty());
    if (oldFile) {
      EXPECT_EQ(ReadFile(G(row.restoredAs)), "old");
    }
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
                    PlantedLink{"FolderLinkOfRoot", "admin", "@", false, "admin/b.txt", true},
                    PlantedLink{"UserLinkAtTheNameWithoutOverwrite", "report.txt", "@/secret.conf", true, "report.txt",
                                false, false, "report.txt] is a link"},
                    PlantedLink{"DanglingLinkAtTheNameWithoutOverwrite", "gone.txt", "@/nothing-here", true, "gone.txt",
                                false, false, "gone.txt] is a link; it is not replaced"},
                    PlantedLink{"UserLinkAtTheBackupName", "a.txt~", "@/secret.conf", true, "a.txt", false, true,
                                "a.txt~] is a link; it is neither followed nor replaced", "~"},
                    PlantedLink{"RootsLinkAtTheBackupName", "a.txt.bak", "@/secret.conf", false, "a.txt", false, true,
                                "a.txt.bak] is a link; it is neither followed nor replaced", ".bak"},
                    PlantedLink{"DanglingLinkAtTheBackupName", "a.txt~", "@/a.txt", true, "a.txt", false, true,
                                "a.txt~] is a link", "~"},
                    PlantedLink{"LinkAtTheNameIsReplacedAndNotKept", "notes.txt", "@/secret.conf", true, "notes.txt",
                                true, true, "", "~"}),
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
      // The link itself, never what it leads to: its own owner and type.
      EXPECT_EQ(entry.type, VMInfoStructs::GuestFileSymlink);
      EXPECT_EQ(static_cast<uid_t>(entry.uid), kGuestUser);
    }
  }
  EXPECT_EQ(names, expected);
  entries.clear();
  ASSERT_TRUE(files.Browse(G("docs"), false, entries).ok());
  ASSERT_EQ(entries.size(), 1u) << "a user's link to a folder is described, not listed";
  EXPECT_EQ(entries[0].type, VMInfoStructs::GuestFileSymlink);
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

// A digest of a regular file only: a link at the name, a folder or nothing answer "no file".
TEST_F(AgentFiles, DigestsAreOfRegularFilesOnlyAndNeverThroughALink) {
  WriteFile(G("f"), "abc");
  WriteFile(outside + "/secret.conf", "abc");
  ASSERT_EQ(::symlink((outside + "/secret.conf").c_str(), G("link").c_str()), 0);
  ASSERT_EQ(::mkdir(G("folder").c_str(), 0755), 0);
  std::string digest;
  ASSERT_TRUE(files.Sha256(G("f"), digest).ok());
  EXPECT_EQ(digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  for (const char* none : {"link", "folder", "missing"}) {
    digest = "left over";
    ASSERT_TRUE(files.Sha256(G(none), digest).ok()) << none;
    EXPECT_EQ(digest, "") << none;
  }
}

// What the guest program printed is outside input: only one digest or "-" is taken.
TEST_F(AgentFiles, ADigestAnswerInAnyOtherFormFails) {
  WriteFile(G("f"), "abc");
  const std::string digest(64, 'a');
  for (const std::string& out : {digest.substr(1) + "\n", digest + "a\n", digest.substr(1) + "g\n", digest + "\n-\n",
                                 std::string("\n")}) {
    RewrittenOutputTransport rewritten(*transport, out);
    AgentGuestFiles rewrittenFiles(rewritten, SmallChunks());
    std::string answer = "left over";
    EXPECT_FALSE(rewrittenFiles.Sha256(G("f"), answer).ok()) << out;
    EXPECT_EQ(answer, "") << out;
  }
  RewrittenOutputTransport upper(*transport, std::string(64, 'A') + "\n");
  AgentGuestFiles upperFiles(upper, SmallChunks());
  std::string answer;
  ASSERT_TRUE(upperFiles.Sha256(G("f"), answer).ok());
  EXPECT_EQ(answer, digest);
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

// The backup is the replaced file itself (same inode: owner, mode, times and content), made in the
// one guest program of the write; a folder or a plain file at the backup name is told apart.
TEST_F(AgentFiles, BackupIsTheReplacedFileKeptInTheSameGuestProgram) {
  files.SetBackupSuffix("~");
  ASSERT_EQ(::mkdir(G("sub").c_str(), 0755), 0);
  WriteFile(G("sub/a.txt"), "old a");
  ASSERT_EQ(::chown(G("sub/a.txt").c_str(), kGuestUser, kGuestUser), 0);
  ASSERT_EQ(::chmod(G("sub/a.txt").c_str(), 0640), 0);
  zqtest::SetTimes(G("sub/a.txt"), 1400000000);
  const ino_t old = StatOf(G("sub/a.txt")).st_ino;
  WriteFile(G("sub/a.txt~"), "stale backup");
  WriteFile(dir.Join("staged"), "new a");
  ASSERT_TRUE(files.CopyFileIn(dir.Join("staged"), G("sub/a.txt"), true).ok());
  EXPECT_EQ(files.counters().programs, 1u);
  EXPECT_EQ(ReadFile(G("sub/a.txt")), "new a");
  const struct stat kept = StatOf(G("sub/a.txt~"));
  EXPECT_EQ(kept.st_ino, old);
  EXPECT_EQ(kept.st_nlink, 1u);
  EXPECT_EQ(kept.st_uid, kGuestUser);
  EXPECT_EQ(kept.st_mode & 07777, 0640u);
  EXPECT_EQ(kept.st_mtime, 1400000000);
  EXPECT_EQ(ReadFile(G("sub/a.txt~")), "old a");
  EXPECT_TRUE(Leftovers(G("sub")).empty());

  // A folder at the backup name refuses the copy; the file stays as it was.
  ASSERT_EQ(::mkdir(G("sub/b.txt.bak").c_str(), 0755), 0);
  WriteFile(G("sub/b.txt"), "old b");
  files.SetBackupSuffix(".bak");
  const VMInfoStatus refused = files.CopyFileIn(dir.Join("staged"), G("sub/b.txt"), true);
  EXPECT_EQ(refused.code(), static_cast<int>(VMInfoError::GuestPathRefused)) << refused.text();
  EXPECT_NE(refused.text().find("b.txt.bak] is a folder"), std::string::npos) << refused.text();
  EXPECT_EQ(ReadFile(G("sub/b.txt")), "old b");
  EXPECT_TRUE(std::filesystem::is_empty(G("sub/b.txt.bak")));
  EXPECT_TRUE(Leftovers(G("sub")).empty());

  // A new file leaves no backup; without a suffix none is kept.
  ASSERT_TRUE(files.CopyFileIn(dir.Join("staged"), G("sub/c.txt"), true).ok());
  EXPECT_FALSE(Exists(G("sub/c.txt.bak")));
  files.SetBackupSuffix("");
  ASSERT_TRUE(files.CopyFileIn(dir.Join("staged"), G("sub/b.txt"), true).ok());
  EXPECT_TRUE(std::filesystem::is_empty(G("sub/b.txt.bak")));
}

TEST_F(AgentFiles, NewSmallFileTakesOneGuestProgramAndAttributesItAlreadyHasNone) {
  AgentLimits limits = SmallChunks();
  limits.staleTemporaryMinutes = 0;
  AgentGuestFiles files(*transport, limits);
  // A temporary file an earlier restore left goes in the same program.
  ASSERT_EQ(::mkdir(G("sub").c_str(), 0755), 0);
  WriteFile(G("sub/.zqrestore-0123456789abcdef.part"), "left by a stopped guest");
  WriteFile(dir.Join("staged"), "small");
  ASSERT_EQ(::chmod(dir.Join("staged").c_str(), 0640), 0);
  const timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.Join("staged").c_str(), times, 0), 0);
  ASSERT_TRUE(files.CopyFileIn(dir.Join("staged"), G("sub/new.txt"), false).ok());
  EXPECT_EQ(files.counters().programs, 1u);
  EXPECT_FALSE(Exists(G("sub/.zqrestore-0123456789abcdef.part")));
  const std::vector<AgentGuestFiles::Notice> notices = files.TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].text.find(".zqrestore-0123456789abcdef.part"), std::string::npos) << notices[0].text;
  EXPECT_EQ(StatOf(G("sub/new.txt")).st_mode & 07777, 0640u);
  EXPECT_EQ(StatOf(G("sub/new.txt")).st_atime, 1500000000);
  EXPECT_EQ(StatOf(G("sub/new.txt")).st_mtime, 1600000000);
  SGuestFile same;
  same.mode = 0640;
  same.accessTime = 1500000000;
  same.modifyTime = 1600000000;
  ASSERT_TRUE(files.ChangeAttributes(G("sub/new.txt"), same).ok());
  EXPECT_EQ(files.counters().programs, 1u) << "what the write gave the file is not sent again";
  SGuestFile owned = same;
  owned.uid = 1234;
  owned.gid = 2345;
  ASSERT_TRUE(files.ChangeAttributes(G("sub/new.txt"), owned).ok());
  EXPECT_EQ(files.counters().programs, 2u);
  EXPECT_EQ(StatOf(G("sub/new.txt")).st_uid, 1234u);
  EXPECT_EQ(StatOf(G("sub/new.txt")).st_gid, 2345u);
  EXPECT_EQ(StatOf(G("sub/new.txt")).st_mode & 07777, 0640u);
}

TEST_F(AgentFiles, LongListingIsPagedAndStaleTemporaryFilesOfOursAreRemoved) {
  std::set<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    const std::string name = std::to_string(i) + std::string(200, 'n');
    WriteFile(G(name), "x");
    expected.insert(name);
  }
  WriteFile(G(".zqrestore-0123456789abcdef.part"), "left by a stopped guest");
  WriteFile(G(".zqrestore-users-own.part"), "a user's file of that name");
  ASSERT_EQ(::chown(G(".zqrestore-users-own.part").c_str(), kGuestUser, kGuestUser), 0);
  PlantUserLink(outside, G(".zqrestore-link.part"));
  expected.insert(".zqrestore-users-own.part");
  expected.insert(".zqrestore-link.part");
  AgentLimits limits = SmallChunks();
  limits.listingPageBytes = 16384;  // the listing is about 90 KiB
  limits.staleTemporaryMinutes = 0;
  AgentGuestFiles paging(*transport, limits);
  std::vector<SGuestFile> entries;
  ASSERT_TRUE(paging.Browse(guest, false, entries).ok());
  std::set<std::string> names;
  for (const SGuestFile& entry : entries) names.insert(entry.name);
  EXPECT_EQ(names, expected);
  EXPECT_EQ(paging.counters().programs, 4u) << "list, private folder, list into it, its removal";
  EXPECT_FALSE(Exists(G(".zqrestore-0123456789abcdef.part")));
  const std::vector<AgentGuestFiles::Notice> notices = paging.TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].text.find(".zqrestore-0123456789abcdef.part"), std::string::npos) << notices[0].text;
  EXPECT_TRUE(Leftovers(dir.path()).empty()) << "the private folder is removed";

  limits.maxListingBytes = 32768;
  AgentGuestFiles bounded(*transport, limits);
  entries.clear();
  const VMInfoStatus status = bounded.Browse(guest, false, entries);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.text().find("larger than"), std::string::npos) << status.text();
  EXPECT_TRUE(entries.empty());
}

TEST_F(AgentFiles, FrozenAgentFailsTheRemainingEntriesAtOnceWithItsReason) {
  AgentLimits limits = SmallChunks();
  limits.answerSeconds = 1;
  AgentGuestFiles patient(*transport, limits);
  WriteFile(dir.Join("staged"), "x");
  ASSERT_TRUE(patient.CopyFileIn(dir.Join("staged"), G("before.txt"), true).ok());
  agent.Freeze();
  const VMInfoStatus first = patient.CopyFileIn(dir.Join("staged"), G("after-1.txt"), true);
  EXPECT_FALSE(first.ok());
  const uint64_t commandsSent = patient.counters().commands;
  for (int entry = 2; entry <= 4; ++entry) {
    const VMInfoStatus later = patient.CopyFileIn(dir.Join("staged"), G("after-" + std::to_string(entry) + ".txt"), true);
    EXPECT_FALSE(later.ok());
    EXPECT_NE(later.text().find("stopped answering earlier"), std::string::npos) << later.text();
  }
  EXPECT_EQ(patient.counters().commands, commandsSent) << "nothing more is sent to a frozen agent";
}

TEST_F(AgentFiles, AgentThatFailsTwiceInARowIsTakenAsGone) {
  WriteFile(dir.Join("staged"), "x");
  agent.Kill();
  EXPECT_FALSE(files.CopyFileIn(dir.Join("staged"), G("a.txt"), true).ok());
  EXPECT_EQ(files.counters().commands, 1u);
  const VMInfoStatus second = files.CopyFileIn(dir.Join("staged"), G("b.txt"), true);
  EXPECT_FALSE(second.ok());
  EXPECT_EQ(files.counters().commands, 2u);
  EXPECT_EQ(second.text().find("stopped answering earlier"), std::string::npos) << "one failure alone is no verdict";
  const VMInfoStatus third = files.CopyFileIn(dir.Join("staged"), G("c.txt"), true);
  EXPECT_NE(third.text().find("stopped answering earlier"), std::string::npos) << third.text();
  EXPECT_EQ(files.counters().commands, 2u);
}

// A guest user's move at the worst moment for the guest program: right after the program's stat
// of a given name returns, or right before it enters a folder, the user swaps that entry. The
// program runs directly (not through the agent) with a stat in front of the real one, and a cd
// function in front of bash's own (BASH_ENV), that make the move once.
struct RacedMove {
  const char* name;
  const char* setUp;      // shell commands in the destination folder, before the program runs
  const char* statSees;   // the move is made after the stat (or before the cd, "cd ...") whose
                          // arguments hold this word
  const char* move;       // shell commands in the destination folder
  const char* operation;  // the program's operation and arguments, before the path's names
  const char* input;      // the content on standard input
  const char* refusal;    // in the program's message
};

class RacedMoves : public AgentFiles, public testing::WithParamInterface<RacedMove> {};

TEST_P(RacedMoves, AreNoticedAndNothingOutsideChanges) {
  const RacedMove& row = GetParam();
  WriteFile(outside + "/secret.conf", "root only");
  ASSERT_EQ(::chmod((outside + "/secret.conf").c_str(), 0600), 0);
  WriteFile(dir.Join("program.sh"), kAgentGuestProgram);
  ASSERT_EQ(::mkdir(dir.Join("shim").c_str(), 0755), 0);
  const std::string sees = row.statSees;
  const bool atCd = sees.compare(0, 3, "cd ") == 0;
  const std::string move = "if [[ \" $* \" == *'" + (atCd ? sees.substr(3) : sees) + "'* && ! -e " + dir.Join("moved") +
                           " ]]; then touch " + dir.Join("moved") + "; (builtin cd " + guest + " && " + row.move +
                           ") >/dev/null 2>&1; fi\n";
  WriteFile(dir.Join("shim/stat"), "#!/bin/bash\n/usr/bin/stat \"$@\"\nrc=$?\n" + (atCd ? "" : move) + "exit $rc\n");
  WriteFile(dir.Join("hook.sh"), atCd ? "cd() {\n" + move + "builtin cd \"$@\"\n}\n" : "");
  ASSERT_EQ(::chmod(dir.Join("shim/stat").c_str(), 0755), 0);
  std::string output;
  ASSERT_EQ(zqtest::RunBounded("cd " + guest + " && " + row.setUp, 10, output), 0) << output;
  const std::string names = guest.substr(1);
  std::string spaced = names;
  for (char& c : spaced) c = c == '/' ? ' ' : c;
  const int status = zqtest::RunBounded("printf '" + std::string(row.input) + "' | BASH_ENV=" + dir.Join("hook.sh") +
                                            " PATH=" + dir.Join("shim") +
                                            ":/usr/bin:/bin bash " + dir.Join("program.sh") + " " + row.operation + " " +
                                            spaced + " shared a.txt",
                                        10, output);
  EXPECT_EQ(Exists(dir.Join("moved")), std::string(row.move) != ":") << "the move was (not) made";
  EXPECT_NE(status, 0) << output;
  EXPECT_NE(output.find(row.refusal), std::string::npos) << output;
  EXPECT_EQ(ReadFile(outside + "/secret.conf"), "root only");
  EXPECT_EQ(StatOf(outside + "/secret.conf").st_mode & 07777, 0600u);
  EXPECT_FALSE(Exists(outside + "/a.txt"));
  EXPECT_TRUE(Leftovers(guest + "/shared").empty());
  EXPECT_EQ(StatOf(outside + "/users-tool").st_mode & 07777, 0755u);
  EXPECT_EQ(StatOf(outside + "/users-tool").st_uid, kGuestUser);
}

INSTANTIATE_TEST_SUITE_P(
    AgentFiles, RacedMoves,
    testing::Values(
        RacedMove{"FolderOnTheWayBecomesALink", "mkdir shared && touch ../outside/users-tool && chown 1000 ../outside/users-tool && chmod 0755 ../outside/users-tool",
                  "cd ./shared", "mv shared shared.real && ln -s ../outside shared", "put yes 0644 - - 1 - 60 -", "x",
                  "was replaced while it was entered"},
        RacedMove{"TemporaryFileBecomesALink", "mkdir shared && touch ../outside/users-tool && chown 1000 ../outside/users-tool && chmod 0755 ../outside/users-tool",
                  "/proc/self/fd/", "cd shared && for t in .zqrestore-*.part; do rm -f \"$t\" && ln -s ../../outside/secret.conf \"$t\"; done",
                  "put yes 0644 - - 1 - 60 -", "x", "was replaced by something else"},
        RacedMove{"EntryBecomesAUsersProgramBeforeItsAttributes",
                  "mkdir shared && echo old > shared/a.txt && touch ../outside/users-tool && chown 1000 ../outside/users-tool && chmod 0755 ../outside/users-tool",
                  "./a.txt", "mv shared/a.txt shared/a.old && ln ../outside/users-tool shared/a.txt",
                  "attr 0 0 04755 - -", "", "was replaced while it was opened"},
        RacedMove{"FileSwappedBeforeItsDigestIsNotRead",
                  "mkdir shared && echo old > shared/a.txt && touch ../outside/users-tool && chown 1000 ../outside/users-tool && chmod 0755 ../outside/users-tool",
                  "./a.txt", "mv shared/a.txt shared/a.old && ln ../outside/secret.conf shared/a.txt", "sha256", "",
                  "was replaced while it was opened"},
        RacedMove{"FileSwappedBeforeItsBackupIsNeitherKeptNorReplaced",
                  "mkdir shared && echo old > shared/a.txt && touch ../outside/users-tool && chown 1000 ../outside/users-tool && chmod 0755 ../outside/users-tool",
                  "./a.txt", "mv shared/a.txt shared/a.old && ln ../outside/secret.conf shared/a.txt",
                  "put yes 0644 - - 1 - 60 +~", "x", "was replaced while its backup was made"},
        RacedMove{"BackupSuffixWithAFolderSeparatorIsRefused",
                  "mkdir shared && echo old > shared/a.txt && touch ../outside/users-tool && chown 1000 ../outside/users-tool && chmod 0755 ../outside/users-tool",
                  "no such word", ":", "put yes 0644 - - 1 - 60 +/../x", "x", "Bad arguments for a write"},
        RacedMove{"ContentCutShortIsNeverPutInPlace", "mkdir shared && touch ../outside/users-tool && chown 1000 ../outside/users-tool && chmod 0755 ../outside/users-tool",
                  "no such word", ":", "put yes 0644 - - 5 - 60 -", "x", "received 1 of 5 bytes"}),
    [](const testing::TestParamInfo<RacedMove>& info) { return std::string(info.param.name); });

}  // namespace
