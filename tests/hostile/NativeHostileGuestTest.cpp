// A hostile guest, a hostile proxy neighbour and hostile staged names, against whole jobs of the
// reference host (RestoreJob, StagingWriter, its summary counts) driving the real controller over
// the native channel and our VM-information component. The guest is a folder on this machine; an
// "outside" folder inside the guest (its /etc) and one next to the job stand for what no restore
// may touch. Every row checks the guest's files afterwards and the summary's counts.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "controller/VSAgentlessRestoreToVM.h"
#include "guestapi/ZQVMInfoGuestAPI.h"
#include "host/RestoreJob.h"
#include "platform/CNyPath.h"
#include "hypervisor/ComponentFixture.h"

namespace {

using vminfotest::Exists;
using vminfotest::MakeFolder;
using vminfotest::StatOf;
using zqtest::ReadFile;
using zqtest::WriteFile;

constexpr const char* kClient = "proxy-hostile";
constexpr long long kBackedUp = 1500000000;  // modification time of every source entry
constexpr long long kBackedUpAccess = 1400000000;
constexpr long long kPlanted = 946684800;  // 2000-01-01: planted links look older than the backup
constexpr const char* kShadow = "root:secret-hash:19000::::::\n";

// GetJobOptions of a job that the checks accepted: the component connected, the native channel made.
class NativeController : public CVSAgentlessRestoreToVM {
 public:
  NativeController(IVMInfo* vmInfo, const GuestCtx& ctx, bool restoreACLs)
      : m_vmInfoToUse(vmInfo), m_ctxToUse(ctx), m_acls(restoreACLs) {}
  bool GetJobOptions(TMMsg::RestoreOption*) override {
    m_pVMInfo = m_vmInfoToUse;
    m_pGuestAPI = std::make_unique<ZQVMInfoGuestAPI>(m_vmInfoToUse);
    m_guestCtx = m_ctxToUse;
    m_restoreACLs = m_acls;
    m_restoreToVMActive = true;
    return true;
  }

 private:
  IVMInfo* m_vmInfoToUse;
  GuestCtx m_ctxToUse;
  bool m_acls;
};

struct Counts {
  uint64_t restored, kept, failed;
};

class NativeHostileGuest : public vminfotest::ComponentFixture {
 public:  // the rows' steps use these
  void SetUp() override {
    ::umask(022);
    settings.Set("JobResults", kClient, JobResults());
    MakeFolder(JobResults());
    MakeFolder(Source());
    MakeFolder(Guest("etc"));
    WriteFile(Guest("etc/shadow"), kShadow);
    ::chmod(Guest("etc/shadow").c_str(), 0600);
    MakeFolder(Guest("restore"));
  }

  std::string Guest(const std::string& relative) const { return UnixRoot() + "/" + relative; }
  std::string Source(const std::string& relative = "") const {
    return tmp.Join("source") + (relative.empty() ? "" : "/" + relative);
  }
  std::string JobResults() const { return tmp.Join("jobresults"); }

  void SourceFile(const std::string& relative, const std::string& content) {
    WriteFile(Source(relative), content);
    const timespec times[2] = {{kBackedUpAccess, 0}, {kBackedUp, 0}};
    ::utimensat(AT_FDCWD, Source(relative).c_str(), times, 0);
  }
  void SourceFolder(const std::string& relative) { MakeFolder(Source(relative)); }
  static void MakeFolders(const std::string& path) {
    ASSERT_FALSE(CNyDirectory::Create(path.c_str(), true).IsError()) << path;
  }
  static void PlantLink(const std::string& target, const std::string& path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    const timespec times[2] = {{kPlanted, 0}, {kPlanted, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }

  JobFile Job(bool overwriteAlways) const {
    JobFile job;
    job.vmName = "linux01";
    job.vmGuid = "4201-unix";
    job.serverName = kServer;
    job.server = {kAdmin, kAdminPassword};
    job.guest = {"root", kGuestPassword};
    job.destination = "/restore";
    job.unixGuest = true;
    job.overwriteAlways = overwriteAlways;
    job.clientName = kClient;
    job.ids.initIdA = 3;
    job.ids.initIdB = 17;
    job.ids.initIdC = 45;
    return job;
  }

  // One whole job of the reference host over the source folder.
  RestoreReport RunJob(bool overwriteAlways = false, bool restoreACLs = true) {
    InventoryVMInfo& vmInfo = Connected();
    SourceTree tree;
    std::string error;
    EXPECT_TRUE(WalkSourceTree(Source(), tree, error)) << error;
    const JobFile job = Job(overwriteAlways);
    RestoreJobSettings jobSettings;
    jobSettings.sourceRoot = Source();
    RestoreJob restore(job, tree, jobSettings);
    return restore.Run([&]() -> ControllerPtr {
      return std::make_unique<NativeController>(&vmInfo, unixCtx, restoreACLs);
    });
  }

  static void ExpectCounts(const RestoreReport& report, const Counts& expected) {
    const RestoreCounts& counts = report.counts;
    EXPECT_EQ(counts.restoredFiles + counts.restoredFolders, expected.restored);
    EXPECT_EQ(counts.kept, expected.kept);
    EXPECT_EQ(counts.failed, expected.failed);
  }

  // Nothing outside the destination changed: the guest's /etc holds its shadow file as it was.
  void ExpectOutsideUntouched() {
    EXPECT_EQ(ReadFile(Guest("etc/shadow")), kShadow);
    const struct stat shadow = StatOf(Guest("etc/shadow"));
    EXPECT_EQ(shadow.st_mode & 07777, 0600u);
    EXPECT_NE(shadow.st_mtime, kBackedUp);
    std::vector<VMInfoStructs::SGuestFile> entries;
    EXPECT_EQ(Connected().BrowseGuest(unixCtx, "/etc", entries), 1);
    EXPECT_EQ(entries.size(), 1u) << "only the shadow file in the guest's /etc";
  }
};

// ---- The guest's own file system ------------------------------------------------------------

struct GuestRow {
  const char* name;
  std::function<void(NativeHostileGuest&)> plant;   // what a guest user left in the destination
  std::function<void(NativeHostileGuest&)> source;  // the backed-up tree
  bool overwriteAlways;
  Counts expected;
  std::function<void(NativeHostileGuest&)> check;  // the guest afterwards
};

void PrintTo(const GuestRow& row, std::ostream* out) { *out << row.name; }

class GuestThreats : public NativeHostileGuest, public ::testing::WithParamInterface<GuestRow> {};

TEST_P(GuestThreats, LeaveTheGuestIntactAndTheSummaryTrue) {
  const GuestRow& row = GetParam();
  row.plant(*this);
  row.source(*this);
  const RestoreReport report = RunJob(row.overwriteAlways);
  EXPECT_EQ(report.outcome, JobOutcome::Completed) << report.detail;
  ExpectCounts(report, row.expected);
  row.check(*this);
  ExpectOutsideUntouched();
}

void RestoredFile(NativeHostileGuest& t, const std::string& relative, const std::string& content) {
  const std::string path = t.Guest("restore/" + relative);
  const struct stat info = StatOf(path);
  EXPECT_TRUE(S_ISREG(info.st_mode)) << relative << " is no regular file";
  EXPECT_EQ(ReadFile(path), content);
  EXPECT_EQ(info.st_mtime, kBackedUp);
  EXPECT_EQ(info.st_uid, ::getuid());
  EXPECT_EQ(info.st_mode & 07777, 0644u);
}

const GuestRow kGuestRows[] = {
    // Replace-or-keep: a link is not a file as new as the backup's; the entry fails naming it, and
    // nothing is written through it.
    {"FileLinkToAFileOutsideFailsNotWrittenThroughNorKept",
     [](NativeHostileGuest& t) { NativeHostileGuest::PlantLink("../etc/shadow", t.Guest("restore/notes.txt")); },
     [](NativeHostileGuest& t) { t.SourceFile("notes.txt", "my notes\n"); }, false, {0, 0, 1},
     [](NativeHostileGuest& t) { EXPECT_TRUE(S_ISLNK(StatOf(t.Guest("restore/notes.txt")).st_mode)); }},
    {"FileLinkIsReplacedAlsoWithOverwriteAlways",
     [](NativeHostileGuest& t) { NativeHostileGuest::PlantLink("../etc/shadow", t.Guest("restore/notes.txt")); },
     [](NativeHostileGuest& t) { t.SourceFile("notes.txt", "my notes\n"); }, true, {1, 0, 0},
     [](NativeHostileGuest& t) { RestoredFile(t, "notes.txt", "my notes\n"); }},
    {"FolderLinkToAFolderOutsideFailsItsEntries",
     [](NativeHostileGuest& t) { NativeHostileGuest::PlantLink("../etc", t.Guest("restore/docs")); },
     [](NativeHostileGuest& t) {
       t.SourceFolder("docs");
       t.SourceFile("docs/a.txt", "alpha\n");
     },
     false, {0, 0, 2},
     [](NativeHostileGuest& t) { EXPECT_TRUE(S_ISLNK(StatOf(t.Guest("restore/docs")).st_mode)); }},
    {"DanglingLinkFailsAndItsTargetIsNeverMade",
     [](NativeHostileGuest& t) { NativeHostileGuest::PlantLink("../etc/cron.d/evil", t.Guest("restore/job.txt")); },
     [](NativeHostileGuest& t) { t.SourceFile("job.txt", "nightly\n"); }, false, {0, 0, 1},
     [](NativeHostileGuest& t) { EXPECT_FALSE(Exists(t.Guest("etc/cron.d"))); }},
    {"DanglingLinkIsReplacedWithOverwriteAlways",
     [](NativeHostileGuest& t) { NativeHostileGuest::PlantLink("../etc/cron.d/evil", t.Guest("restore/job.txt")); },
     [](NativeHostileGuest& t) { t.SourceFile("job.txt", "nightly\n"); }, true, {1, 0, 0},
     [](NativeHostileGuest& t) {
       RestoredFile(t, "job.txt", "nightly\n");
       EXPECT_FALSE(Exists(t.Guest("etc/cron.d")));
     }},
    {"FolderWhereAFileIsRestoredFailsAndStaysAsItWas",
     [](NativeHostileGuest& t) {
       MakeFolder(t.Guest("restore/report.txt"));
       ::chmod(t.Guest("restore/report.txt").c_str(), 0711);
     },
     [](NativeHostileGuest& t) { t.SourceFile("report.txt", "final\n"); }, false, {0, 0, 1},
     [](NativeHostileGuest& t) {
       const struct stat info = StatOf(t.Guest("restore/report.txt"));
       EXPECT_TRUE(S_ISDIR(info.st_mode));
       EXPECT_EQ(info.st_mode & 07777, 0711u) << "the guest's folder was stamped";
       EXPECT_FALSE(Exists(t.Guest("restore/report.txt/report.txt")));
     }},
    {"FolderWhereAFileIsRestoredFailsAlsoWithOverwriteAlways",
     [](NativeHostileGuest& t) { MakeFolder(t.Guest("restore/report.txt")); },
     [](NativeHostileGuest& t) { t.SourceFile("report.txt", "final\n"); }, true, {0, 0, 1},
     [](NativeHostileGuest& t) { EXPECT_TRUE(S_ISDIR(StatOf(t.Guest("restore/report.txt")).st_mode)); }},
    {"ExistingFolderIsKeptWithItsOwnModeAndItsNewFileRestored",
     [](NativeHostileGuest& t) {
       MakeFolder(t.Guest("restore/docs"));
       ::chmod(t.Guest("restore/docs").c_str(), 0700);
     },
     [](NativeHostileGuest& t) {
       t.SourceFolder("docs");
       ::chmod(t.Source("docs").c_str(), 0755);
       t.SourceFile("docs/a.txt", "alpha\n");
     },
     false, {1, 1, 0},
     [](NativeHostileGuest& t) {
       EXPECT_EQ(StatOf(t.Guest("restore/docs")).st_mode & 07777, 0700u);
       RestoredFile(t, "docs/a.txt", "alpha\n");
     }},
    {"NewerGuestFileIsKeptUntouched",
     [](NativeHostileGuest& t) {
       WriteFile(t.Guest("restore/a.txt"), "guest edit\n");
       zqtest::SetFileModifyTime(t.Guest("restore/a.txt"), kBackedUp + 100);
     },
     [](NativeHostileGuest& t) { t.SourceFile("a.txt", "backup\n"); }, false, {0, 1, 0},
     [](NativeHostileGuest& t) { EXPECT_EQ(ReadFile(t.Guest("restore/a.txt")), "guest edit\n"); }},
    // A killed copy's temporary file goes with the next copy into its folder; one that may still be
    // written, another user's, a second name of a file and names not of ours stay.
    {"StaleTemporaryFileOfOursIsRemovedByTheNextCopy",
     [](NativeHostileGuest& t) {
       for (const char* name : {".big.bin.zqrestore-874aeb51", ".b.zqrestore-00000001", ".c.zqrestore-00000002",
                                ".d.zqrestore-00000003", ".e.zqrestore-0000004", "f.zqrestore-00000005"}) {
         WriteFile(t.Guest(std::string("restore/") + name), "left\n");
         zqtest::SetFileModifyTime(t.Guest(std::string("restore/") + name), kBackedUp);
       }
       zqtest::SetFileModifyTime(t.Guest("restore/.b.zqrestore-00000001"), ::time(nullptr));
       ASSERT_EQ(::chown(t.Guest("restore/.c.zqrestore-00000002").c_str(), 65534, 65534), 0);
       ASSERT_EQ(::link(t.Guest("restore/.d.zqrestore-00000003").c_str(), t.Guest("restore/d2").c_str()), 0);
     },
     [](NativeHostileGuest& t) { t.SourceFile("a.txt", "backup\n"); }, false, {1, 0, 0},
     [](NativeHostileGuest& t) {
       EXPECT_FALSE(Exists(t.Guest("restore/.big.bin.zqrestore-874aeb51")));
       for (const char* name : {".b.zqrestore-00000001", ".c.zqrestore-00000002", ".d.zqrestore-00000003",
                                ".e.zqrestore-0000004", "f.zqrestore-00000005"}) {
         EXPECT_TRUE(Exists(t.Guest(std::string("restore/") + name))) << name;
       }
     }},
};
INSTANTIATE_TEST_SUITE_P(Rows, GuestThreats, ::testing::ValuesIn(kGuestRows),
                         [](const ::testing::TestParamInfo<GuestRow>& info) { return std::string(info.param.name); });

// The destination as the job names it may be a link: the operator chose it.
TEST_F(NativeHostileGuest, DestinationThatIsALinkIsFollowed) {
  ASSERT_EQ(::rmdir(Guest("restore").c_str()), 0);
  MakeFolder(Guest("data"));
  ASSERT_EQ(::symlink("data", Guest("restore").c_str()), 0);
  SourceFile("a.txt", "alpha\n");
  const RestoreReport report = RunJob();
  ExpectCounts(report, {1, 0, 0});
  EXPECT_EQ(ReadFile(Guest("data/a.txt")), "alpha\n");
}

TEST_F(NativeHostileGuest, RestoredFileCarriesTheBackedUpAccessTime) {
  SourceFile("a.txt", "alpha\n");
  const RestoreReport report = RunJob(false, false);
  ExpectCounts(report, {1, 0, 0});
  EXPECT_EQ(StatOf(Guest("restore/a.txt")).st_atime, kBackedUpAccess);
  EXPECT_EQ(StatOf(Guest("restore/a.txt")).st_mtime, kBackedUp);
}

// A guest user swaps a link in for a folder of the destination, again and again, while files are
// copied into it and their attributes applied: no write and no attribute change lands outside.
TEST_F(NativeHostileGuest, LinkSwappedInDuringTheRestoreNeverLeadsOutside) {
  std::unique_ptr<IVMInfo> vmInfo(Connected().ScopeToDestination("//restore"));
  GuestCtx ctx = unixCtx;
  MakeFolder(Guest("restore/docs"));
  SourceFile("a.txt", "alpha\n");
  std::atomic<bool> stop{false};
  std::thread swapper([&]() {
    const std::string docs = Guest("restore/docs");
    const std::string aside = Guest("restore/docs.aside");
    while (!stop.load()) {
      if (::rename(docs.c_str(), aside.c_str()) != 0) continue;
      ::symlink("../etc", docs.c_str());
      ::unlink(docs.c_str());
      ::rename(aside.c_str(), docs.c_str());
    }
  });
  VMInfoStructs::SGuestFile attributes;
  attributes.uid = static_cast<int32_t>(::getuid());
  attributes.gid = static_cast<int32_t>(::getgid());
  attributes.mode = 0777;
  attributes.modifyTime = kBackedUp;
  int landed = 0;
  for (int round = 0; round < 300; ++round) {
    landed += vmInfo->CopyFileToGuest(ctx, Source("a.txt"), "//restore/docs/a.txt", true);
    vmInfo->ChangeGuestFileAttributes(ctx, "//restore/docs/a.txt", attributes);
    vmInfo->CreateGuestFolder(ctx, "//restore/docs/sub");
  }
  stop = true;
  swapper.join();
  EXPECT_GT(landed, 0) << "the copies that found the real folder landed there";
  ExpectOutsideUntouched();
}

// The destination on a small file system that the new content does not fit: the copy fails and the
// guest's original survives byte for byte. The file system is a tmpfs mounted in a private mount
// namespace of a child process, so nothing of the machine changes.
TEST_F(NativeHostileGuest, FullFileSystemLeavesTheOriginalIntact) {
  std::unique_ptr<IVMInfo> vmInfo(Connected().ScopeToDestination("//restore"));
  GuestCtx ctx = unixCtx;
  const std::string original(100 * 1024, 'o');
  WriteFile(Source("big.bin"), std::string(300 * 1024, 'n'));
  const std::string target = Guest("restore/big.bin");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // 2: no namespace here (the test is skipped); 1: the guest's file was damaged; 3: the copy
    // claimed success; 0: as it should be.
    if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ::_exit(2);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(2);
    if (::mount("tmpfs", Guest("restore").c_str(), "tmpfs", 0, "size=256k") != 0) ::_exit(2);
    WriteFile(target, original);
    const int copied = vmInfo->CopyFileToGuest(ctx, Source("big.bin"), "//restore/big.bin", true);
    if (ReadFile(target) != original) ::_exit(1);
    std::vector<VMInfoStructs::SGuestFile> entries;
    vmInfo->BrowseGuest(ctx, "//restore", entries);
    if (entries.size() != 1) ::_exit(1);  // no temporary file left behind
    ::_exit(copied ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no private mount namespace available";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the original was damaged or a temporary left; 3: success reported";
  ExpectOutsideUntouched();
}

// ---- The proxy: a staging chain planted by another local user ------------------------------

struct StagingRow {
  const char* name;
  std::function<void(NativeHostileGuest&, const std::string& victim)> plant;
  bool needsRoot;  // planting a folder of another owner
};

void PrintTo(const StagingRow& row, std::ostream* out) { *out << row.name; }

class PlantedStaging : public NativeHostileGuest, public ::testing::WithParamInterface<StagingRow> {};

TEST_P(PlantedStaging, RefusesTheJobAndTouchesNothing) {
  const StagingRow& row = GetParam();
  if (row.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "needs root to plant a folder of another owner";
  const std::string victim = tmp.Join("victim");
  MakeFolder(victim);
  WriteFile(victim + "/secret.conf", "secret\n");
  ::chmod((victim + "/secret.conf").c_str(), 0600);
  row.plant(*this, victim);
  SourceFile("secret.conf", "restored\n");

  const RestoreReport report = RunJob(true);
  EXPECT_EQ(report.outcome, JobOutcome::Refused);
  EXPECT_EQ(report.failedStep, "InitStagingFolder");
  ExpectCounts(report, {0, 0, 0});
  EXPECT_EQ(ReadFile(victim + "/secret.conf"), "secret\n");
  EXPECT_EQ(StatOf(victim + "/secret.conf").st_mode & 07777, 0600u);
  EXPECT_FALSE(Exists(victim + "/ZQ_JobResults")) << "folders were made through the link";
  EXPECT_FALSE(Exists(Guest("restore/secret.conf")));
}

const StagingRow kStagingRows[] = {
    {"LinkAtTheJobResultsFolder", [](NativeHostileGuest& t, const std::string& victim) {
       ASSERT_EQ(::rmdir(t.JobResults().c_str()), 0);
       ASSERT_EQ(::symlink(victim.c_str(), t.JobResults().c_str()), 0);
     }, false},
    {"LinkInTheChain", [](NativeHostileGuest& t, const std::string& victim) {
       MakeFolder(t.JobResults() + "/ZQ_JobResults");
       ASSERT_EQ(::symlink(victim.c_str(), (t.JobResults() + "/ZQ_JobResults/3").c_str()), 0);
     }, false},
    {"GroupWritablePart", [](NativeHostileGuest& t, const std::string&) {
       NativeHostileGuest::MakeFolders(t.JobResults() + "/ZQ_JobResults/3");
       ::chmod((t.JobResults() + "/ZQ_JobResults/3").c_str(), 0775);
     }, false},
    {"PartOfAnotherOwner", [](NativeHostileGuest& t, const std::string&) {
       MakeFolder(t.JobResults() + "/ZQ_JobResults");
       ASSERT_EQ(::chown((t.JobResults() + "/ZQ_JobResults").c_str(), 54321, 54321), 0);
     }, true},
};
INSTANTIATE_TEST_SUITE_P(Rows, PlantedStaging, ::testing::ValuesIn(kStagingRows),
                         [](const ::testing::TestParamInfo<StagingRow>& info) { return std::string(info.param.name); });

// What earlier runs of the job left below its ids (a staging folder of the old layout, a link in
// its place, a dead run's folder holding a link) neither blocks the next run nor leads it outside.
TEST_F(NativeHostileGuest, LeftoversOfEarlierRunsNeitherBlockNorLeadOutside) {
  const std::string victim = tmp.Join("victim");
  MakeFolder(victim);
  WriteFile(victim + "/secret.conf", "secret\n");
  const std::string ids = JobResults() + "/ZQ_JobResults/3/17/45";
  MakeFolders(ids + "/ForGuestVM");
  ASSERT_EQ(::symlink(victim.c_str(), (ids + "/run-1-0000000000000001").c_str()), 0);
  MakeFolders(ids + "/run-2-0000000000000002/ForGuestVM");
  ASSERT_EQ(::symlink(victim.c_str(), (ids + "/run-2-0000000000000002/ForGuestVM/secret.conf").c_str()), 0);
  SourceFile("secret.conf", "restored\n");

  const RestoreReport report = RunJob(true);
  EXPECT_EQ(report.outcome, JobOutcome::Completed) << report.detail;
  ExpectCounts(report, {1, 0, 0});
  EXPECT_EQ(ReadFile(victim + "/secret.conf"), "secret\n");
  EXPECT_TRUE(S_ISLNK(StatOf(ids + "/run-1-0000000000000001").st_mode)) << "a link is no run folder of ours";
  EXPECT_FALSE(Exists(ids + "/run-2-0000000000000002"));
  EXPECT_TRUE(zqtest::IsDirectory(ids + "/ForGuestVM"));
  EXPECT_EQ(ReadFile(Guest("restore/secret.conf")), "restored\n");
}

// ---- Names a host may stage -----------------------------------------------------------------

// A host that stages such names gets one refusal each; nothing is written into the guest outside
// the destination and nothing outside the staging folder is deleted.
TEST_F(NativeHostileGuest, StagedNamesThatLeaveTheDestinationAreRefused) {
  const char* const kNames[] = {"..\\..\\etc\\cron.d\\evil", "..\\victim.txt", "a\\..\\..\\victim.txt", ".\\x",
                                "a\\\\b", "sub/../../victim.txt"};
  InventoryVMInfo& vmInfo = Connected();
  FSRInitData initData;
  initData.initIdA = 3;
  initData.initIdB = 17;
  initData.initIdC = 45;
  FSRInitDataVer2 initDataVer2;
  initDataVer2.instanceType = VSInstanceVMware;
  FSRSetParams setParams;
  setParams.destinationPath = strdup("/restore");
  ZQRstJobClient jobClient;
  ZQJobCtrlClient jobControl(1);
  {
    NativeController controller(&vmInfo, unixCtx, true);
    controller.Init(&initData, &initDataVer2, &setParams, &jobClient, &jobControl, kClient);
    ASSERT_TRUE(controller.GetJobOptions(nullptr));
    ASSERT_TRUE(controller.GenerateGuestAndStagingFolders());
    ASSERT_TRUE(controller.InitStagingFolder());
    const std::string staging = setParams.destinationPath;
    ASSERT_EQ(::mkdir(staging.c_str(), 0700), 0);
    MakeFolder(staging + "/sub");
    const std::string victim = staging + "/../victim.txt";
    WriteFile(victim, "next to the staging folder\n");
    for (const char* name : kNames) {
      SCOPED_TRACE(name);
      const std::string staged = staging + "/" + name;
      if (std::string(name).find('/') == std::string::npos) WriteFile(staged, "evil\n");
      CXFileHeader header;
      header.mode = 0644;
      std::string guestPath;
      bool skipped = false;
      bool attributesApplied = false;
      EXPECT_FALSE(controller.RestoreToVM(staged.c_str(), 0, 0, &header, guestPath, skipped, attributesApplied));
      EXPECT_FALSE(skipped);
    }
    EXPECT_EQ(ReadFile(victim), "next to the staging folder\n");
    EXPECT_TRUE(controller.DeInitStagingFolder());
  }
  std::free(setParams.destinationPath);
  EXPECT_FALSE(Exists(Guest("etc/cron.d")));
  EXPECT_FALSE(Exists(Guest("victim.txt")));
  EXPECT_FALSE(Exists(Guest("x")));
  std::vector<VMInfoStructs::SGuestFile> entries;
  EXPECT_EQ(vmInfo.BrowseGuest(unixCtx, "/restore", entries), 1);
  EXPECT_TRUE(entries.empty()) << entries.front().name;
  ExpectOutsideUntouched();
}

}  // namespace
