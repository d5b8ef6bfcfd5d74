// Whole jobs on the hypervisor's own guest operations: Hyper-V (102) and cloud (301) VMs reached
// through our VM-information component, successful and refused at guest preparation.
#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "WholeJobFixture.h"

namespace wholejob {
namespace {

using zqtest::InventoryBuilder;

constexpr int64_t kOwner = 4321;  // numeric ids that need no account on this machine
constexpr int64_t kGroup = 5432;

// A small tree as the host stages it: a folder comes before what it holds.
std::vector<StagedEntry> NativeTree() {
  return {
      {"docs", true, "", 0750, kOwner, kGroup, 1600000000, 1600000000},
      {"docs/a.txt", false, "alpha\n", 0640, kOwner, kGroup, 1600000100, 1600000200},
      {"docs/empty", true, "", 0700, kOwner, kGroup, 1600000300, 1600000300},
      {"b.bin", false, std::string("b\0in\n", 5), 0604, kOwner, 0, 1500000000, 1500000900},
  };
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

class NativeWholeJob : public WholeJobTest {
 protected:
  // A VM of the hypervisor server with a guest file system in a new folder.
  InventoryBuilder::Vm& AddVm(const std::string& name, const std::string& guid, bool windows,
                              std::string& guestFolder) {
    guestFolder = m_site.NewFolder(name);
    auto& vm = m_site.server().AddVm(name).Guid(guid).GuestLogin(kNativeGuestUser, kNativeGuestPassword);
    if (windows) {
      mkdir((guestFolder + "/C").c_str(), 0755);
      return vm.WindowsGuest(guestFolder);
    }
    return vm.UnixGuest(guestFolder);
  }

  void ExpectStagingFolderReleased(const JobRecord& job) {
    // Below the job's ids, in a folder of this run's own.
    const std::string ids = m_site.workFolder() + "/jobresults/ZQ_JobResults/3/17/45/";
    EXPECT_EQ(job.stagingFolder.rfind(ids + "run-", 0), 0u) << job.stagingFolder;
    EXPECT_EQ(job.stagingFolder.substr(job.stagingFolder.size() - 11), "/ForGuestVM");
    EXPECT_TRUE(job.stagingReleased);
    EXPECT_FALSE(StatGuestEntry(job.stagingFolder).exists) << "the staging folder outlived the job";
  }
};

TEST_F(NativeWholeJob, ThePlugInFindsTheBuiltComponentByItsPlainName) {
  void* component = dlopen("libVMInfo.so", RTLD_LAZY);
  ASSERT_NE(component, nullptr) << "put the folder of the built libVMInfo.so on LD_LIBRARY_PATH: " << dlerror();
  Dl_info where{};
  ASSERT_NE(dladdr(dlsym(component, "CreateVMInfoObject"), &where), 0);
  EXPECT_EQ(RealPath(where.dli_fname), RealPath(ZQ_VMINFO_PATH));
  dlclose(component);
}

TEST_F(NativeWholeJob, HyperVWindowsGuestGetsEveryFileButNoFolders) {
  m_site.SetInstanceType(102);
  std::string guest;
  AddVm("files01", "7c1f5e0a-0001", true, guest);
  const std::vector<StagedEntry> tree = NativeTree();

  const JobRecord job = Run({RestoreOptions({"files01", "7c1f5e0a-0001"}), "C:\\Restore", 0}, tree);

  ASSERT_TRUE(job.jobOptionsAccepted) << testing::PrintToString(CausesOf(job));
  EXPECT_EQ(job.instanceTypeAfterOptions, 102);
  EXPECT_TRUE(m_logs.sink().Contains("Using ZQVMInfoGuestAPI interface"));
  ASSERT_TRUE(job.foldersPrepared);
  ASSERT_TRUE(job.stagingInitialised);
  ASSERT_EQ(job.entries.size(), tree.size());
  const char* const guestPaths[] = {"C:\\Restore\\docs", "C:\\Restore\\docs\\a.txt", "C:\\Restore\\docs\\empty",
                                    "C:\\Restore\\b.bin"};
  for (size_t i = 0; i < tree.size(); ++i) {
    SCOPED_TRACE(tree[i].path);
    EXPECT_TRUE(job.entries[i].restored);
    EXPECT_EQ(job.entries[i].guestPath, guestPaths[i]);
    EXPECT_FALSE(job.entries[i].skipped);
    EXPECT_FALSE(job.entries[i].attributesApplied) << "no attribute step on the native channel to Windows";
  }
  for (const StagedEntry& file : {tree[1], tree[3]}) {
    const GuestEntry entry = StatGuestEntry(guest + "/C/Restore/" + file.path);
    EXPECT_EQ(entry.content, file.content) << file.path;
    EXPECT_EQ(entry.mtime, file.mtime) << file.path;
  }
  EXPECT_FALSE(StatGuestEntry(guest + "/C/Restore/docs/empty").exists) << "Hyper-V guests get no folders";
  ExpectStagingFolderReleased(job);
  EXPECT_EQ(CausesOf(job), std::vector<Cause>{});
}

// A Hyper-V Unix guest takes each file into its holding folder. Whether a file is kept is decided
// by that file's own time in the guest, and its owner, mode and times go to the file: before this
// was fixed, a file older than the first entry of its folder was lost, and the folder got the
// file's attributes.
TEST_F(NativeWholeJob, HyperVUnixGuestDecidesAndSetsAttributesPerFile) {
  m_site.SetInstanceType(102);
  std::string guest;
  AddVm("lnx-hv", "guid-lnx-hv", false, guest);
  const std::string kept = guest + "/restore/docs/a.txt";
  std::filesystem::create_directories(guest + "/restore/docs");
  zqtest::WriteFile(kept, "the guest's newer copy\n");
  zqtest::SetFileModifyTime(kept, 1700000000);
  const std::vector<StagedEntry> tree = {
      {"docs", true, "", 0750, kOwner, kGroup, 1600000000, 1600000000},
      {"docs/a.txt", false, "alpha\n", 0640, kOwner, kGroup, 1600000100, 1600000200},
      {"docs/b.txt", false, "beta\n", 0604, kOwner, kGroup, 1500000100, 1500000200},
      {"top.txt", false, "top\n", 0644, kOwner, 0, 1400000000, 1400000300},
  };

  const JobRecord job = Run({RestoreOptions({"lnx-hv", "guid-lnx-hv"}), "/restore", 0}, tree);

  ASSERT_TRUE(job.jobOptionsAccepted) << testing::PrintToString(CausesOf(job));
  ASSERT_EQ(job.entries.size(), tree.size());
  const char* const guestPaths[] = {"//restore/", "//restore/docs", "//restore/docs", "//restore/"};
  for (size_t i = 0; i < tree.size(); ++i) EXPECT_EQ(job.entries[i].guestPath, guestPaths[i]) << tree[i].path;
  EXPECT_TRUE(job.entries[0].restored) << "Hyper-V folders succeed without a guest folder";
  EXPECT_FALSE(job.entries[1].restored);
  EXPECT_TRUE(job.entries[1].skipped) << "the guest's copy is newer";
  EXPECT_EQ(StatGuestEntry(kept).content, "the guest's newer copy\n");
  for (size_t index : {2u, 3u}) {
    const StagedEntry& file = tree[index];
    SCOPED_TRACE(file.path);
    EXPECT_TRUE(job.entries[index].restored);
    EXPECT_TRUE(job.entries[index].attributesApplied);
    const GuestEntry entry = StatGuestEntry(guest + "/restore/" + file.path);
    EXPECT_EQ(entry.content, file.content);
    EXPECT_EQ(entry.uid, file.uid);
    EXPECT_EQ(entry.gid, file.gid);
    EXPECT_EQ(entry.mode, file.mode);
    EXPECT_EQ(entry.mtime, file.mtime);
    EXPECT_EQ(entry.atime, file.ctime);
  }
  const GuestEntry folder = StatGuestEntry(guest + "/restore/docs");
  EXPECT_EQ(folder.uid, 0) << "a file's owner went to its folder";
  EXPECT_NE(folder.mode & 0100, 0) << "a file's mode went to its folder";
}

TEST_F(NativeWholeJob, HyperVGuestPreparationFailuresAreRefusedWithTheirMessages) {
  m_site.SetInstanceType(102);
  std::string guest;
  InventoryBuilder::Vm& vm = AddVm("hv-vm", "guid-hv", true, guest);
  struct Row {
    int errorCode;
    std::string errorText;
    std::string errorLine;
    Cause cause;
  };
  const std::string kText = "Guest Service Interface is disabled";
  const Row rows[] = {
      {14,
       kText,
       "Host operating system for VM [hv-vm] [guid-hv] is not supported for file level restore. Host operating system "
       "must be Windows 2012r2 or greater",
       {0x5B000129, {"hv-vm", kText}}},
      {15,
       kText,
       "VM [hv-vm] guest operating system is not supported for file level restore. VM operating system must be "
       "Windows 2008r2 SP1 or greater",
       {0x5B00012A, {"hv-vm", kText}}},
      {164,
       kText,
       "Fail to enable guest services on VM [hv-vm] [guid-hv]. Restore to the VM cannot continue.",
       {kMsgSentence,
        {"Fail to enable guest services on VM[hv-vm]. does not have Hyper-V Integration services "
         "installed."}}},
      {218,
       kText,
       "VM [hv-vm] [guid-hv] does not have Hyper-V Integration services installed.  Restore to the VM cannot continue.",
       {kMsgSentence, {"Virtual machine [hv-vm] does not have Hyper-V Integration services installed."}}},
      {219,
       kText,
       "VM [hv-vm] [guid-hv] does not have required Hyper-V Integration services.  Restore to the VM cannot continue.",
       {kMsgSentence, {"Virtual machine [hv-vm] does not have required Hyper-V Integration services. " + kText}}},
      {220,
       kText,
       "VM [hv-vm] [guid-hv] guest service is neither functional nor operating normally.  Restore to the VM cannot "
       "continue.",
       {kMsgSentence,
        {"Virtual machine [hv-vm] guest service is neither functional nor operating normally. Make sure "
         "that guest service is functional and operating normally."}}},
      {77,
       kText,
       "Fail to check status of guest file integration service inside guest VM [hv-vm] [guid-hv].  Restore to the VM "
       "cannot continue.",
       {kMsgSentence,
        {"Fail to check status of guest file integration service inside guest VM [hv-vm] Restore to "
         "the VM cannot continue."}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("guest preparation code " + std::to_string(row.errorCode));
    vm.PreparationFails(row.errorCode, row.errorText);

    const JobRecord job = Run({RestoreOptions({"hv-vm", "guid-hv"}), "C:\\Restore", 0}, NativeTree());

    EXPECT_FALSE(job.jobOptionsAccepted);
    EXPECT_FALSE(job.foldersPrepared);
    EXPECT_EQ(job.instanceTypeAfterOptions, 102) << "the connection itself succeeded";
    EXPECT_EQ(CausesOf(job), std::vector<Cause>{row.cause});
    EXPECT_TRUE(LoggedError(kGetJobOptionsOrigin, row.errorLine));
  }
  EXPECT_FALSE(StatGuestEntry(guest + "/C/Restore").exists) << "a refused job touches no guest";
}

TEST_F(NativeWholeJob, CloudInstanceGetsTheTreeWithoutAVMLookup) {
  m_site.SetInstanceType(301);
  std::string guest;
  AddVm("cloud01", "i-0a1b2c", false, guest);
  const std::vector<StagedEntry> tree = NativeTree();
  RestoreTarget target{"cloud01", "i-0a1b2c"};
  target.restoreACLs = false;

  const JobRecord job = Run({RestoreOptions(target), "/restore", 0}, tree);

  ASSERT_TRUE(job.jobOptionsAccepted) << testing::PrintToString(CausesOf(job));
  EXPECT_EQ(job.instanceTypeAfterOptions, 301);
  EXPECT_EQ(LinesHolding("Found VM ["), 0) << "cloud instances are not looked up";
  ASSERT_EQ(job.entries.size(), tree.size());
  for (size_t i = 0; i < tree.size(); ++i) {
    SCOPED_TRACE(tree[i].path);
    EXPECT_TRUE(job.entries[i].restored);
    EXPECT_EQ(job.entries[i].guestPath, "//restore/" + tree[i].path);
    EXPECT_FALSE(job.entries[i].attributesApplied) << "ACLs are off";
  }
  for (const StagedEntry& file : {tree[1], tree[3]}) {
    const GuestEntry entry = StatGuestEntry(guest + "/restore/" + file.path);
    EXPECT_EQ(entry.content, file.content) << file.path;
    EXPECT_EQ(entry.mtime, file.mtime) << file.path;
    EXPECT_EQ(entry.mode, kStagedMode) << file.path << ": without ACLs the header's mode is not applied";
  }
  EXPECT_TRUE(StatGuestEntry(guest + "/restore/docs/empty").exists);
  ExpectStagingFolderReleased(job);
  EXPECT_EQ(CausesOf(job), std::vector<Cause>{});
}

TEST_F(NativeWholeJob, CloudGuestPreparationFailuresAreRefusedWithTheirMessages) {
  m_site.SetInstanceType(301);
  std::string guest;
  InventoryBuilder::Vm& vm = AddVm("cloud-vm", "i-77", false, guest);
  struct Row {
    std::string vmName;  // a name the inventory does not know makes the component answer code 1
    int errorCode;
    std::string errorText;
    Cause cause;
  };
  const Row rows[] = {
      {"cloud-vm",
       220,
       "instance role lacks s3:PutObject",
       {kMsgSentence, {"For Instance [cloud-vm],instance role lacks s3:PutObject"}}},
      {"cloud-vm",
       164,
       "bucket zq-restore is missing",
       {kMsgSentence, {"Failed to initialize S3 bucket for Guest File restore."}}},
      {"cloud-gone", 0, "", {kMsgVMNotFound, {"cloud-gone"}}},
      {"cloud-vm",
       77,
       "the instance gave an unexpected answer",
       {kMsgSentence, {"the instance gave an unexpected answer"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.vmName + " code " + std::to_string(row.errorCode));
    vm.PreparationFails(row.errorCode, row.errorText);
    const std::string guid = row.vmName == "cloud-vm" ? "i-77" : "i-gone";

    const JobRecord job = Run({RestoreOptions({row.vmName, guid}), "/restore", 0}, NativeTree());

    EXPECT_FALSE(job.jobOptionsAccepted);
    EXPECT_FALSE(job.foldersPrepared);
    EXPECT_EQ(CausesOf(job), std::vector<Cause>{row.cause});
    EXPECT_TRUE(
        LoggedError(kGetJobOptionsOrigin, "Failed to prepare Instance [" + row.vmName + "] for guest file restore"));
  }
}

TEST_F(NativeWholeJob, RefusedServerLoginNamesServerAndUserButNoPassword) {
  m_site.SetInstanceType(102);
  std::string guest;
  AddVm("files01", "7c1f5e0a-0001", true, guest);
  RestoreTarget target{"files01", "7c1f5e0a-0001"};
  target.serverPassword = kWrongServerPassword;

  const JobRecord job = Run({RestoreOptions(target), "C:\\Restore", 55}, NativeTree());

  EXPECT_FALSE(job.jobOptionsAccepted);
  EXPECT_EQ(job.instanceTypeAfterOptions, 55) << "the instance type is written back only after a connection";
  ASSERT_EQ(job.pendingCauses.size(), 1u);
  EXPECT_EQ(job.pendingCauses[0].code, kMsgConnectFailedWithReason);
  ASSERT_EQ(job.pendingCauses[0].arguments.size(), 3u);
  EXPECT_EQ(job.pendingCauses[0].arguments[0], kServerName);
  EXPECT_EQ(job.pendingCauses[0].arguments[1], kServerUser);
  EXPECT_NE(job.pendingCauses[0].arguments[2].find("wrong user name or password"), std::string::npos);
}

TEST_F(NativeWholeJob, StoredServerPasswordCarriesAJobWhoseRequestHasNone) {
  m_site.SetInstanceType(102);
  std::string guest;
  AddVm("files01", "7c1f5e0a-0001", true, guest);
  RestoreTarget target{"files01", "7c1f5e0a-0001"};
  target.serverPassword = "";

  const JobRecord job = Run({RestoreOptions(target), "C:\\Restore", 0}, {NativeTree()[1]});

  ASSERT_TRUE(job.jobOptionsAccepted) << testing::PrintToString(CausesOf(job));
  EXPECT_TRUE(
      m_logs.sink().Contains("Setting VCenter/HyperV credentials, client [hv-server.test], user name [svc-restore]"));
  ASSERT_EQ(job.entries.size(), 1u);
  EXPECT_TRUE(job.entries[0].restored);
  EXPECT_EQ(StatGuestEntry(guest + "/C/Restore/docs/a.txt").content, "alpha\n");
}

}  // namespace
}  // namespace wholejob
