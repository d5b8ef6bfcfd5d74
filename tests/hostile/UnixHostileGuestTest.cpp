// A hostile Linux guest over SSH: before a restore, a guest user plants links, folders and a full
// file system in the destination; zqrestore then restores as the guest's root login, the way an
// operator runs it. Every row states what the guest must hold afterwards, that nothing outside
// the destination changed, and what the summary says. The guest is this machine seen through a
// real OpenSSH server on a loopback address; the program runs in its own mount namespace, so the
// small file systems it mounts are seen by that server and vanish with the program. Needs root
// and sshd; skipped otherwise, except in CI (CI=true), where that is a failure.
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "e2e/RestoreHarness.h"
#include "support/FileHelpers.h"
#include "testbeds/sshd/SshdGuestEnvironment.h"

namespace {

using e2e::RestoreHarness;
using e2e::RunResult;
using zqtest::SshTestUsers;

constexpr const char* kVm = "hostile-vm";
constexpr const char* kGuid = "8a1e0000-0000-4000-8000-00000000bad1";
constexpr long long kBackupTime = 1600000000;
constexpr long long kPlantedTime = 915148800;  // 1999: older than every backed-up file
constexpr uid_t kOwner = 1234;
constexpr gid_t kGroup = 2345;

bool g_privateMounts = false;
std::string g_mountProblem;

// The plan of the fault-injection library (testbeds/faultinject), which every guest session of the
// server loads: a row writes it before its restore, and the scene removes it afterwards.
const zqtest::TempDir& FaultFolder() {
  static auto* folder = new zqtest::TempDir();
  return *folder;
}
std::string FaultPlan() { return FaultFolder().Join("plan"); }

zqtest::SshdGuestEnvironment& HostileGuestEnvironment() {
  static auto* environment = [] {
    zqtest::SshdOptions options;
    options.address = "127.0.0.7";
    options.sessionEnvironment = {std::string("LD_PRELOAD=") + ZQ_FAULT_INJECT_LIBRARY, "ZQ_FAULT_PLAN=" + FaultPlan(),
                                  "ZQ_STALE_TEMPORARY_MINUTES=0"};
    return new zqtest::SshdGuestEnvironment(options);
  }();
  return *environment;
}

using zqtest::SetTimes;

// A backed-up file: content, mode, owner and modification time.
void Backup(const std::string& path, const std::string& content, mode_t mode = 0640, uid_t uid = kOwner,
            gid_t gid = kGroup) {
  zqtest::WriteFile(path, content);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
  ASSERT_EQ(lchown(path.c_str(), uid, gid), 0);
  SetTimes(path, kBackupTime);
}

// Everything below a folder, one line per entry: kind, mode, owner, size, time and content.
std::map<std::string, std::string> g_walk;
std::string g_walkRoot;
int RecordEntry(const char* path, const struct stat* info, int, FTW*) {
  std::string line = std::to_string(info->st_mode) + " " + std::to_string(info->st_uid) + ":" +
                     std::to_string(info->st_gid) + " " + std::to_string(info->st_size) + " " +
                     std::to_string(info->st_mtime);
  if (S_ISREG(info->st_mode)) line += " " + zqtest::ReadFile(path);
  g_walk[std::string(path).substr(g_walkRoot.size())] = line;
  return 0;
}
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  g_walk.clear();
  g_walkRoot = folder;
  nftw(folder.c_str(), RecordEntry, 16, FTW_PHYS);
  return g_walk;
}

// The guest of one row: the destination, a root-only folder outside it with a secret in it, and
// the backup to restore.
struct Scene {
  zqtest::TempDir guest;
  zqtest::TempDir outside;
  zqtest::TempDir backup;
  std::string destination() const { return guest.Join("restore"); }
  std::string InDestination(const std::string& relative) const { return destination() + "/" + relative; }
  std::string secret() const { return outside.Join("secret.conf"); }
  std::string mountPoint;  // a small file system mounted at the destination, if any

  // Rules for the guest's programs during this row's restore (testbeds/faultinject/README.md).
  void Plan(const std::string& rules) { zqtest::WriteFile(FaultPlan(), rules); }

  ~Scene() {
    unlink(FaultPlan().c_str());
    if (!mountPoint.empty()) umount2(mountPoint.c_str(), MNT_DETACH);
  }
};

// The default backup: a file at the top and one in a folder.
void DefaultBackup(Scene& scene) {
  Backup(scene.backup.Join("notes.txt"), "backup notes\n");
  ASSERT_EQ(mkdir(scene.backup.Join("docs").c_str(), 0755), 0);
  Backup(scene.backup.Join("docs/report.txt"), "backup report\n");
}

struct Counts {
  int restoredFiles;
  int kept;
  int failed;
};

struct ThreatRow {
  const char* name;
  int instanceType;
  std::function<void(Scene&)> plant;    // what the guest user prepared, and the backup
  Counts counts;                        // the summary afterwards
  std::function<void(Scene&)> check;    // what the guest holds afterwards
  const char* said = "";                // what the output must say, if anything
};

void PrintTo(const ThreatRow& row, std::ostream* out) { *out << row.name; }

// The restored file is a regular file with the backed-up content, owner, mode and time.
void ExpectRestored(const std::string& path, const std::string& content, mode_t mode = 0640, uid_t uid = kOwner,
                    gid_t gid = kGroup) {
  const struct stat info = zqtest::StatOf(path);
  EXPECT_TRUE(S_ISREG(info.st_mode)) << path;
  EXPECT_EQ(zqtest::ReadFile(path), content) << path;
  EXPECT_EQ(info.st_mode & 07777, mode) << path;
  EXPECT_EQ(info.st_uid, uid) << path;
  EXPECT_EQ(info.st_gid, gid) << path;
  EXPECT_EQ(info.st_mtime, kBackupTime) << path;
}

void PlantLink(const std::string& target, const std::string& link) {
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
  SetTimes(link, kPlantedTime);
}

// A tmpfs of `kilobytes` at the destination, private to this program's mount namespace.
bool MountSmallFileSystem(Scene& scene, int kilobytes) {
  if (!g_privateMounts) return false;
  const std::string options = "size=" + std::to_string(kilobytes) + "k,mode=0755";
  if (mount("tmpfs", scene.destination().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    g_mountProblem = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    return false;
  }
  scene.mountPoint = scene.destination();
  return true;
}

// Fills the file system of `folder` until fewer than `kilobytes` are free.
void FillUntilFree(const std::string& folder, int kilobytes) {
  int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  std::string block(4096, 'f');
  for (;;) {
    std::string free;
    ASSERT_EQ(zqtest::RunBounded("df -k --output=avail " + folder + " | tail -1", 10, free), 0);
    if (std::atoll(free.c_str()) < kilobytes) break;
    if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) break;
  }
  close(fd);
}

const std::string kOriginal(100 * 1024, 'o');

// A disk that cannot keep what it was given: every fsync of a new file in the destination fails
// with `error`. The original stays byte for byte, no temporary file is left, and the entry fails
// with the system's words for the cause.
ThreatRow LostWrite(const char* name, const char* error, const char* cause) {
  return {name, 601,
          [error](Scene& s) {
            zqtest::WriteFile(s.InDestination("big.dat"), kOriginal);
            SetTimes(s.InDestination("big.dat"), kPlantedTime);
            Backup(s.backup.Join("big.dat"), std::string(3000, 'n'));
            Backup(s.backup.Join("new.dat"), "new\n");
            s.Plan(std::string("fail fsync ") + error + " " + s.destination() + "/\n");
          },
          {0, 0, 2},
          [](Scene& s) {
            EXPECT_TRUE(zqtest::ReadFile(s.InDestination("big.dat")) == kOriginal) << "the original is intact";
            struct stat info {};
            EXPECT_NE(lstat(s.InDestination("new.dat").c_str(), &info), 0) << "no new file without its bytes";
            for (const auto& [path, line] : Snapshot(s.destination())) {
              EXPECT_EQ(path.find(".zqrestore-"), std::string::npos) << "temporary file left: " << path;
            }
          },
          cause};
}

// "docs" exists; for the time of each chdir into it by `program`, it is a link to the outside folder.
ThreatRow SwappedFolder(const char* name, const char* program, Counts counts, const char* said) {
  return {name, 601,
          [program](Scene& s) {
            DefaultBackup(s);
            ASSERT_EQ(mkdir(s.InDestination("docs").c_str(), 0755), 0);
            s.Plan("swap " + s.InDestination("docs") + " " + s.outside.path() + " " + program + "\n");
          },
          counts,
          [counts](Scene& s) {
            ExpectRestored(s.InDestination("notes.txt"), "backup notes\n");
            EXPECT_TRUE(S_ISDIR(zqtest::StatOf(s.InDestination("docs")).st_mode));
            struct stat info {};
            if (counts.failed == 0) {
              ExpectRestored(s.InDestination("docs/report.txt"), "backup report\n");
            } else {
              EXPECT_NE(lstat(s.InDestination("docs/report.txt").c_str(), &info), 0);
            }
          },
          said};
}

// The restored notes.txt: for the time of each open of it by `program` (the open that applies
// its attributes), it is a hard link to the root-only file outside the destination.
ThreatRow SwappedFile(const char* name, const char* program, Counts counts, const char* said) {
  return {name, 601,
          [program](Scene& s) {
            Backup(s.backup.Join("notes.txt"), "backup notes\n");
            s.Plan("swap-open " + s.InDestination("notes.txt") + " " + s.secret() + " " + program + "\n");
          },
          counts,
          [counts](Scene& s) {
            EXPECT_EQ(zqtest::ReadFile(s.InDestination("notes.txt")), "backup notes\n");
            if (counts.failed == 0) ExpectRestored(s.InDestination("notes.txt"), "backup notes\n");
          },
          said};
}

const ThreatRow kThreats[] = {
    // Replace-or-keep: a link at the file's name is neither a file as new (kept) nor written
    // through; the entry fails naming it, and the link stays as the guest user made it.
    {"FileLinkingOutsideFailsNotWrittenThroughNorKept", 601,
     [](Scene& s) {
       DefaultBackup(s);
       PlantLink(s.secret(), s.InDestination("notes.txt"));
     },
     {1, 0, 1},
     [](Scene& s) { EXPECT_TRUE(S_ISLNK(zqtest::StatOf(s.InDestination("notes.txt")).st_mode)); }},
    {"DanglingLinkFailsAndItsTargetIsNeverCreated", 601,
     [](Scene& s) {
       DefaultBackup(s);
       PlantLink(s.outside.Join("missing"), s.InDestination("notes.txt"));
       SetTimes(s.InDestination("notes.txt"), kBackupTime + 1000);  // dated after the backup
     },
     {1, 0, 1},
     [](Scene& s) {
       EXPECT_TRUE(S_ISLNK(zqtest::StatOf(s.InDestination("notes.txt")).st_mode));
       struct stat info {};
       EXPECT_NE(lstat(s.outside.Join("missing").c_str(), &info), 0);
     }},
    {"FolderLinkingOutsideFailsItsEntries", 601,
     [](Scene& s) {
       DefaultBackup(s);
       PlantLink(s.outside.path(), s.InDestination("docs"));
     },
     {1, 0, 2},
     [](Scene& s) {
       ExpectRestored(s.InDestination("notes.txt"), "backup notes\n");
       EXPECT_TRUE(S_ISLNK(zqtest::StatOf(s.InDestination("docs")).st_mode));
     }},
    {"FolderWhereAFileIsRestoredIsLeftAlone", 601,
     [](Scene& s) {
       DefaultBackup(s);
       ASSERT_EQ(mkdir(s.InDestination("notes.txt").c_str(), 0755), 0);
       ASSERT_EQ(chmod(s.InDestination("notes.txt").c_str(), 0755), 0);
       SetTimes(s.InDestination("notes.txt"), kPlantedTime);
     },
     {1, 0, 1},
     [](Scene& s) {
       const struct stat info = zqtest::StatOf(s.InDestination("notes.txt"));
       EXPECT_TRUE(S_ISDIR(info.st_mode));
       EXPECT_EQ(info.st_mode & 07777, 0755u) << "no attribute stamped on the guest's folder";
       EXPECT_EQ(info.st_uid, 0u);
       EXPECT_EQ(info.st_mtime, kPlantedTime);
       ExpectRestored(s.InDestination("docs/report.txt"), "backup report\n");
     }},
    {"FullFileSystemKeepsTheOriginalByteForByte", 601,
     [](Scene& s) {
       if (!MountSmallFileSystem(s, 512)) GTEST_SKIP() << "no private tmpfs: " << g_mountProblem;
       zqtest::WriteFile(s.InDestination("big.dat"), kOriginal);
       SetTimes(s.InDestination("big.dat"), kPlantedTime);
       FillUntilFree(s.destination(), 200);
       Backup(s.backup.Join("big.dat"), std::string(300 * 1024, 'n'));
     },
     {0, 0, 1},
     [](Scene& s) {
       EXPECT_TRUE(zqtest::ReadFile(s.InDestination("big.dat")) == kOriginal) << "the original is intact";
       for (const auto& [path, line] : Snapshot(s.destination())) {
         EXPECT_EQ(path.find(".zqrestore-"), std::string::npos) << "temporary file left: " << path;
       }
     }},
    {"IdsAbove2To31AreAppliedWithTimesAndMode", 601,
     [](Scene& s) { Backup(s.backup.Join("notes.txt"), "backup notes\n", 0604, 3000000000u, 4294967294u); },
     {1, 0, 0},
     [](Scene& s) { ExpectRestored(s.InDestination("notes.txt"), "backup notes\n", 0604, 3000000000u, 4294967294u); }},
    {"DestinationThatIsALinkIsTheOperatorsChoice", 601,
     [](Scene& s) {
       DefaultBackup(s);
       ASSERT_EQ(rmdir(s.destination().c_str()), 0);
       ASSERT_EQ(mkdir(s.guest.Join("real").c_str(), 0755), 0);
       ASSERT_EQ(symlink(s.guest.Join("real").c_str(), s.destination().c_str()), 0);
     },
     {2, 0, 0},
     [](Scene& s) {
       ExpectRestored(s.guest.Join("real/notes.txt"), "backup notes\n");
       ExpectRestored(s.guest.Join("real/docs/report.txt"), "backup report\n");
     }},
    LostWrite("FailedFsyncKeepsTheOriginalAndSaysWhy", "EIO", "Input/output error"),
    LostWrite("FsyncWithoutSpaceKeepsTheOriginal", "ENOSPC", "No space left on device"),
    LostWrite("FsyncOverQuotaKeepsTheOriginal", "EDQUOT", "Disk quota exceeded"),
    // While one guest program enters "docs", after its look at it, "docs" is a link to the outside
    // folder. The Perl loop sees the change and leaves each request to the helper script, which
    // writes the file in place; the helper script sees it and fails the entry.
    SwappedFolder("FolderSwappedWhileThePerlLoopEntersItIsLeftToTheScript", "perl", {2, 1, 0}, ""),
    SwappedFolder("FolderSwappedWhileTheHelperScriptEntersItFailsItsEntry", "bash", {1, 1, 1},
                  "was replaced while it was entered"),
    // The temporary name, guessed and taken first by a hard link to a root-only file: it is never
    // opened, and nothing is written at all.
    {"TemporaryNameTakenByAHardLinkToAFileOutsideIsNotOpened", 601,
     [](Scene& s) {
       Backup(s.backup.Join("notes.txt"), "backup notes\n");
       s.Plan("plant " + s.InDestination(".zqrestore-") + " " + s.secret() + " hardlink\n");
     },
     {0, 0, 1},
     [](Scene& s) {
       struct stat info {};
       EXPECT_NE(lstat(s.InDestination("notes.txt").c_str(), &info), 0);
     },
     "cannot create a new file"},
    // Between the look at the restored file and its open for the attributes, it is replaced by a
    // hard link to a root-only file. Raced in the Perl loop only, the Perl loop leaves the
    // attributes to the script; raced everywhere, neither applies any.
    SwappedFile("FileSwappedWhileThePerlLoopOpensItForItsAttributesIsLeftToTheScript", "perl", {1, 0, 0}, ""),
    SwappedFile("FileSwappedWhileOpenedForItsAttributesGetsNone", "", {0, 0, 1}, "was replaced while it was opened"),
    {"NameTakenOverRightAfterTheRenameIsReported", 601,
     [](Scene& s) {
       Backup(s.backup.Join("notes.txt"), "backup notes\n");
       s.Plan("replace-after-rename " + s.InDestination("notes.txt") + "\n");
     },
     {0, 0, 1},
     [](Scene& s) { EXPECT_EQ(zqtest::ReadFile(s.InDestination("notes.txt")), ""); },
     "was replaced by something else while it was written"},
    // The old file's owner may not write the folder: the new file is the backup's owner's with the
    // staged mode at its rename, never the old owner's.
    {"OldOwnerNeverHoldsTheNewFile", 601,
     [](Scene& s) {
       const std::string old = s.InDestination("notes.txt");
       zqtest::WriteFile(old, "old notes\n");
       ASSERT_EQ(chown(old.c_str(), 4321, 4321) | chmod(old.c_str(), 0666), 0);
       SetTimes(old, kPlantedTime);
       Backup(s.backup.Join("notes.txt"), "backup notes\n");
       s.Plan("count rename " + s.destination() + "/.zqrestore- " + FaultFolder().Join("renames") + "\n");
     },
     {1, 0, 0},
     [](Scene& s) {
       ExpectRestored(s.InDestination("notes.txt"), "backup notes\n");
       const std::string renames = zqtest::ReadFile(FaultFolder().Join("renames"));
       unlink(FaultFolder().Join("renames").c_str());
       EXPECT_NE(renames.find(".tmp " + std::to_string(kOwner) + ":" + std::to_string(kGroup) + " 640\n"),
                 std::string::npos)
           << renames;
       EXPECT_EQ(renames.find("4321"), std::string::npos) << renames;
     }},
    // A temporary file of ours left by an interrupted restore goes with the next write (any age is stale here).
    {"StaleTemporaryFileOfOursIsRemovedByTheNextRun", 601,
     [](Scene& s) {
       DefaultBackup(s);
       zqtest::WriteFile(s.InDestination(".zqrestore-0123456789abcdef01.tmp"), "left");
       zqtest::WriteFile(s.InDestination(".zqrestore-users-own.tmp"), "a user's file");
     },
     {2, 0, 0},
     [](Scene& s) {
       EXPECT_FALSE(zqtest::Exists(s.InDestination(".zqrestore-0123456789abcdef01.tmp")));
       EXPECT_TRUE(zqtest::Exists(s.InDestination(".zqrestore-users-own.tmp")));
     }},
    {"HyperVGuestGetsEachFileAtItsOwnPath", 102,
     [](Scene& s) {
       Backup(s.backup.Join("notes.txt"), "backup notes\n");
       ASSERT_EQ(mkdir(s.backup.Join("etc").c_str(), 0755), 0);
       Backup(s.backup.Join("etc/hosts"), "backup hosts\n");
       Backup(s.backup.Join("etc/other"), "backup other\n");
     },
     {3, 0, 0},
     [](Scene& s) {
       ExpectRestored(s.InDestination("notes.txt"), "backup notes\n");
       ExpectRestored(s.InDestination("etc/hosts"), "backup hosts\n");
       ExpectRestored(s.InDestination("etc/other"), "backup other\n");
     }},
};

class UnixHostileGuest : public testing::TestWithParam<ThreatRow> {};

TEST_P(UnixHostileGuest, LeavesTheGuestIntactAndReportsTheTruth) {
  REQUIRE_SSHD_GUEST(HostileGuestEnvironment());
  const ThreatRow& row = GetParam();
  Scene scene;
  ASSERT_EQ(mkdir(scene.destination().c_str(), 0755), 0);
  ASSERT_EQ(chmod(scene.outside.path().c_str(), 0700), 0);
  zqtest::WriteFile(scene.secret(), "root secret\n");
  ASSERT_EQ(chmod(scene.secret().c_str(), 0600), 0);
  row.plant(scene);
  if (testing::Test::IsSkipped() || testing::Test::HasFatalFailure()) return;
  const auto outsideBefore = Snapshot(scene.outside.path());

  RestoreHarness harness(row.instanceType);
  harness.AddSshGuest(kVm, kGuid, HostileGuestEnvironment().server());
  if (row.instanceType != 601) harness.Set("VirtualServer", "UseZQGuestAPI", "true");
  const RunResult result = harness.Restore(
      harness.Job(kVm, kGuid, scene.destination(), SshTestUsers::kRootUser, SshTestUsers::RootPassword()),
      scene.backup.path(), 300);

  EXPECT_EQ(result.summary["restoredFiles"], row.counts.restoredFiles) << result.output;
  EXPECT_EQ(result.summary["kept"], row.counts.kept) << result.output;
  EXPECT_EQ(result.summary["failed"], row.counts.failed) << result.output;
  row.check(scene);
  EXPECT_NE(result.output.find(row.said), std::string::npos) << result.output;
  EXPECT_EQ(Snapshot(scene.outside.path()), outsideBefore) << "nothing outside the destination changed";
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
}

INSTANTIATE_TEST_SUITE_P(Threats, UnixHostileGuest, testing::ValuesIn(kThreats),
                         [](const testing::TestParamInfo<ThreatRow>& info) { return std::string(info.param.name); });

}  // namespace

// The mount namespace comes first, while the program has a single thread. It is cut off from the
// machine's (private), then shared again inside, so that a file system mounted here later reaches
// the sshd, whose own namespace is a slave of this one.
int main(int argc, char** argv) {
  if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      mount(nullptr, "/", nullptr, MS_REC | MS_SHARED, nullptr) == 0) {
    g_privateMounts = true;
  } else {
    g_mountProblem = std::string("no private mount namespace: ") + std::strerror(errno);
  }
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(&HostileGuestEnvironment());
  return RUN_ALL_TESTS();
}
