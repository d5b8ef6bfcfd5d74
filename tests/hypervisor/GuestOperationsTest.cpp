#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ComponentFixture.h"

namespace {

using vminfotest::Code;
using vminfotest::Exists;
using vminfotest::MakeFolder;
using vminfotest::StatOf;
using VMInfoStructs::SGuestFile;
using zqtest::ReadFile;
using zqtest::WriteFile;

using zqtest::SetTimes;

std::vector<std::string> Names(const std::vector<SGuestFile>& entries) {
  std::vector<std::string> names;
  for (const SGuestFile& entry : entries) names.push_back(entry.name);
  return names;
}

// Leftovers of an interrupted copy would show as hidden ".name.zqrestore-..." files.
bool HasStagedLeftovers(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::string(entry->d_name).find(".zqrestore-") != std::string::npos) found = true;
  }
  ::closedir(dir);
  return found;
}

class GuestOperations : public vminfotest::ComponentFixture {
 protected:
  void SetUp() override { ::umask(022); }
};

TEST_F(GuestOperations, BrowsesAFolderWithSizeTypeTimesOwnerAndMode) {
  InventoryVMInfo& vmInfo = Connected();
  MakeFolder(UnixRoot() + "/data");
  MakeFolder(UnixRoot() + "/data/sub");
  WriteFile(UnixRoot() + "/data/b.txt", "12345");
  ASSERT_EQ(::symlink("b.txt", (UnixRoot() + "/data/link").c_str()), 0);
  ::chmod((UnixRoot() + "/data/b.txt").c_str(), 0640);
  SetTimes(UnixRoot() + "/data/b.txt", 1500000000, 1600000000);
  std::vector<SGuestFile> entries(1);  // an entry from before stays
  entries[0].name = "earlier";
  ASSERT_EQ(vmInfo.BrowseGuest(unixCtx, "/data", entries), 1) << LastText();
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"earlier", "b.txt", "link", "sub"}));
  const SGuestFile& file = entries[1];
  EXPECT_EQ(file.type, VMInfoStructs::GuestFileRegular);
  EXPECT_EQ(file.size, 5);
  EXPECT_EQ(file.modifyTime, 1600000000);
  EXPECT_EQ(file.accessTime, 1500000000);
  EXPECT_NE(file.createTime, 0);
  EXPECT_EQ(file.uid, static_cast<int32_t>(::getuid()));
  EXPECT_EQ(file.gid, static_cast<int32_t>(::getgid()));
  EXPECT_EQ(file.mode, 0640);
  EXPECT_EQ(entries[2].type, VMInfoStructs::GuestFileSymlink);
  EXPECT_EQ(entries[3].type, VMInfoStructs::GuestFileDirectory);
  EXPECT_EQ(entries[3].size, 0);
}

TEST_F(GuestOperations, BrowsingAFileYieldsThatFile) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(UnixRoot() + "/a.txt", "abc");
  SetTimes(UnixRoot() + "/a.txt", 1600000000, 1600000100);
  std::vector<SGuestFile> entries;
  ASSERT_EQ(vmInfo.BrowseGuest(unixCtx, "//a.txt", entries), 1) << LastText();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "a.txt");
  EXPECT_EQ(entries[0].size, 3);
  EXPECT_EQ(entries[0].modifyTime, 1600000100);
}

TEST_F(GuestOperations, BrowsingAMissingPathFails) {
  InventoryVMInfo& vmInfo = Connected();
  std::vector<SGuestFile> entries;
  EXPECT_EQ(vmInfo.BrowseGuest(unixCtx, "/nothing/here", entries), 0);
  EXPECT_EQ(LastText(), "Guest path [/nothing/here]: folder /nothing does not exist");
  EXPECT_EQ(vmInfo.BrowseGuest(unixCtx, "/nothing", entries), 0);
  EXPECT_EQ(LastText(), "Guest path [/nothing] does not exist");
  EXPECT_TRUE(entries.empty());
}

TEST_F(GuestOperations, TheUnixRootListingIsOneFolderEntry) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(UnixRoot() + "/a.txt", "abc");
  for (const char* root : {"", "\\"}) {
    std::vector<SGuestFile> entries;
    ASSERT_EQ(vmInfo.BrowseGuest(unixCtx, root, entries), 1) << LastText();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "/");
    EXPECT_EQ(entries[0].type, VMInfoStructs::GuestFileDirectory);
  }
  std::vector<SGuestFile> entries;
  ASSERT_EQ(vmInfo.BrowseGuest(unixCtx, "/", entries), 1);
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"a.txt"}));
}

TEST_F(GuestOperations, TheWindowsRootListingShowsTheDrives) {
  InventoryVMInfo& vmInfo = Connected();
  MakeFolder(WindowsRoot() + "/D");
  MakeFolder(WindowsRoot() + "/e");     // not a drive letter
  MakeFolder(WindowsRoot() + "/Data");  // not a drive letter
  WriteFile(WindowsRoot() + "/F", "");  // not a folder
  std::vector<SGuestFile> entries;
  ASSERT_EQ(vmInfo.BrowseGuest(windowsCtx, "", entries), 1) << LastText();
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"C:", "D:"}));
  EXPECT_EQ(entries[0].type, VMInfoStructs::GuestFileDirectory);
}

TEST_F(GuestOperations, WindowsGuestsReportNoOwnerOrMode) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(WindowsRoot() + "/C/a.txt", "abc");
  std::vector<SGuestFile> entries;
  ASSERT_EQ(vmInfo.BrowseGuest(windowsCtx, "C:\\a.txt", entries), 1) << LastText();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].size, 3);
  EXPECT_EQ(entries[0].mode, 0);
  EXPECT_EQ(entries[0].uid, 0);
}

TEST_F(GuestOperations, BrowsingFoldersListsFoldersOnly) {
  InventoryVMInfo& vmInfo = Connected();
  MakeFolder(UnixRoot() + "/d1");
  MakeFolder(UnixRoot() + "/d2");
  WriteFile(UnixRoot() + "/f.txt", "");
  std::vector<SGuestFile> entries;
  ASSERT_EQ(vmInfo.BrowseGuestFolders(unixCtx, "/", entries), 1) << LastText();
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"d1", "d2"}));
  entries.clear();
  ASSERT_EQ(vmInfo.BrowseGuestFolders(unixCtx, "/f.txt", entries), 1);
  EXPECT_TRUE(entries.empty());
}

TEST_F(GuestOperations, CreatesAFolderWithItsParents) {
  InventoryVMInfo& vmInfo = Connected();
  ASSERT_EQ(vmInfo.CreateGuestFolder(unixCtx, "//tmp/r/a/b"), 1) << LastText();
  EXPECT_TRUE(S_ISDIR(StatOf(UnixRoot() + "/tmp/r/a/b").st_mode));
  EXPECT_EQ(vmInfo.CreateGuestFolder(unixCtx, "/tmp/r/a/b"), 1) << "an existing folder is success";
  EXPECT_EQ(vmInfo.CreateGuestFolder(unixCtx, "/"), 1);
}

TEST_F(GuestOperations, MapsWindowsPathsBelowTheDriveFolder) {
  InventoryVMInfo& vmInfo = Connected();
  ASSERT_EQ(vmInfo.CreateGuestFolder(windowsCtx, "C:\\Restore\\Users"), 1) << LastText();
  ASSERT_EQ(vmInfo.CreateGuestFolder(windowsCtx, "c:/Restore/Mixed\\Style"), 1) << LastText();
  EXPECT_TRUE(S_ISDIR(StatOf(WindowsRoot() + "/C/Restore/Users").st_mode));
  EXPECT_TRUE(S_ISDIR(StatOf(WindowsRoot() + "/C/Restore/Mixed/Style").st_mode));
}

TEST_F(GuestOperations, NeverCreatesADrive) {
  InventoryVMInfo& vmInfo = Connected();
  EXPECT_EQ(vmInfo.CreateGuestFolder(windowsCtx, "Q:\\Restore"), 0);
  EXPECT_EQ(LastText(), "Guest path [Q:\\Restore]: drive Q: does not exist in the guest");
  EXPECT_EQ(vmInfo.CreateGuestFolder(windowsCtx, "Q:\\"), 0);
  EXPECT_FALSE(Exists(WindowsRoot() + "/Q"));
}

TEST_F(GuestOperations, CreatingAFolderOverAFileFails) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(UnixRoot() + "/f", "");
  EXPECT_EQ(vmInfo.CreateGuestFolder(unixCtx, "/f"), 0);
  EXPECT_EQ(LastText(), "Guest path [/f] exists and is not a folder");
  EXPECT_EQ(vmInfo.CreateGuestFolder(unixCtx, "/f/g"), 0);
  EXPECT_NE(LastText().find("/f is not a folder"), std::string::npos) << LastText();
}

TEST_F(GuestOperations, CopiesAFileWithItsModeAndTimesCreatingParents) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(tmp.Join("a.txt"), "hello");
  ::chmod(tmp.Join("a.txt").c_str(), 0751);
  SetTimes(tmp.Join("a.txt"), 1400000000, 1500000000);
  ASSERT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("a.txt"), "//tmp/r/etc/a.txt", false), 1) << LastText();
  const std::string copy = UnixRoot() + "/tmp/r/etc/a.txt";
  const struct stat info = StatOf(copy);  // before reading it changes the access time
  EXPECT_EQ(info.st_mode & 07777, 0751u);
  EXPECT_EQ(info.st_mtime, 1500000000);
  EXPECT_EQ(info.st_atime, 1400000000);
  EXPECT_EQ(ReadFile(copy), "hello");
  EXPECT_FALSE(HasStagedLeftovers(UnixRoot() + "/tmp/r/etc"));
}

TEST_F(GuestOperations, KeepsAnExistingFileUnlessToldToOverwrite) {
  InventoryVMInfo& vmInfo = Connected();
  MakeFolder(WindowsRoot() + "/C/Restore");
  WriteFile(WindowsRoot() + "/C/Restore/a.txt", "old");
  WriteFile(tmp.Join("a.txt"), "new content");
  // A kept file is not a copied one: the copy says so.
  EXPECT_EQ(vmInfo.CopyFileToGuest(windowsCtx, tmp.Join("a.txt"), "C:\\Restore\\a.txt", false), 0);
  EXPECT_NE(LastText().find("already exists and is left as it is"), std::string::npos) << LastText();
  EXPECT_EQ(ReadFile(WindowsRoot() + "/C/Restore/a.txt"), "old");
  EXPECT_EQ(vmInfo.CopyFileToGuest(windowsCtx, tmp.Join("a.txt"), "C:\\Restore\\a.txt", true), 1) << LastText();
  EXPECT_EQ(ReadFile(WindowsRoot() + "/C/Restore/a.txt"), "new content");
  EXPECT_FALSE(HasStagedLeftovers(WindowsRoot() + "/C/Restore"));
}

// A replaced file is kept under the suffix (the old file itself); anything but a plain file at the
// backup name refuses the copy and leaves the old file; a suffix that names another folder is refused.
TEST_F(GuestOperations, KeepsAReplacedFileUnderTheBackupSuffixOnly) {
  InventoryVMInfo& vmInfo = Connected();
  const std::string folder = UnixRoot() + "/srv";
  MakeFolder(folder);
  WriteFile(folder + "/a.txt", "old");
  const ino_t oldInode = StatOf(folder + "/a.txt").st_ino;
  WriteFile(tmp.Join("a.txt"), "new content");
  EXPECT_EQ(vmInfo.SetBackupSuffix("~"), 1);
  ASSERT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("a.txt"), "/srv/a.txt", true), 1) << LastText();
  EXPECT_EQ(ReadFile(folder + "/a.txt"), "new content");
  EXPECT_EQ(ReadFile(folder + "/a.txt~"), "old");
  EXPECT_EQ(StatOf(folder + "/a.txt~").st_ino, oldInode);

  MakeFolder(folder + "/a.txt.dir");
  ASSERT_EQ(::symlink((folder + "/a.txt~").c_str(), (folder + "/a.txt.lnk").c_str()), 0);
  for (const char* suffix : {".dir", ".lnk"}) {
    EXPECT_EQ(vmInfo.SetBackupSuffix(suffix), 1);
    WriteFile(tmp.Join("a.txt"), "refused");
    EXPECT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("a.txt"), "/srv/a.txt", true), 0) << suffix;
    EXPECT_NE(LastText().find("by the backup, and the file is not copied"), std::string::npos) << LastText();
    EXPECT_EQ(ReadFile(folder + "/a.txt"), "new content") << suffix;
  }
  EXPECT_EQ(ReadFile(folder + "/a.txt~"), "old");
  // A link at the name is replaced by the copy; it is no file of the guest's to keep as a backup.
  ASSERT_EQ(::symlink("a.txt", (folder + "/b.txt").c_str()), 0);
  EXPECT_EQ(vmInfo.SetBackupSuffix("~"), 1);
  WriteFile(tmp.Join("b.txt"), "b");
  EXPECT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("b.txt"), "/srv/b.txt", true), 1) << LastText();
  EXPECT_EQ(ReadFile(folder + "/b.txt"), "b");
  struct stat backup {};
  EXPECT_NE(::lstat((folder + "/b.txt~").c_str(), &backup), 0) << "a link was kept as a backup";
  for (const std::string& suffix : std::vector<std::string>{"/x", "..", std::string(33, 'x')}) {
    EXPECT_EQ(vmInfo.SetBackupSuffix(suffix), 0) << suffix;
  }
  EXPECT_FALSE(HasStagedLeftovers(folder));
}

TEST_F(GuestOperations, HashesRegularFilesOnlyWithoutFollowingALink) {
  InventoryVMInfo& vmInfo = Connected();
  MakeFolder(UnixRoot() + "/srv");
  WriteFile(UnixRoot() + "/srv/f", "abc");
  ASSERT_EQ(::symlink("f", (UnixRoot() + "/srv/link").c_str()), 0);
  std::vector<std::string> digests;
  ASSERT_EQ(vmInfo.HashGuestFiles(unixCtx, {"/srv/f", "/srv/link", "/srv", "/srv/missing"}, digests), 1)
      << LastText();
  EXPECT_EQ(digests, (std::vector<std::string>{"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
                                                "", "", ""}));
  EXPECT_EQ(vmInfo.HashGuestFiles(unixCtx, std::vector<std::string>(17, "/srv/f"), digests), 0);
  EXPECT_TRUE(digests.empty());
  EXPECT_EQ(vmInfo.HashGuestFiles(unixCtx, std::vector<std::string>(16, "/srv/f"), digests), 1);
  EXPECT_EQ(vmInfo.HashGuestFiles(unixCtx, {}, digests), 0) << "an empty request is no answer";
}

TEST_F(GuestOperations, RefusesToCopyAFileOverAFolder) {
  InventoryVMInfo& vmInfo = Connected();
  MakeFolder(UnixRoot() + "/etc");
  WriteFile(tmp.Join("hosts"), "127.0.0.1 localhost\n");
  EXPECT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("hosts"), "//etc", true), 0);
  EXPECT_NE(LastText().find("is a folder"), std::string::npos) << LastText();
  EXPECT_FALSE(Exists(UnixRoot() + "/etc/hosts"));
}

TEST_F(GuestOperations, CopyFailsForAMissingLocalFileOrAGuestFolderInTheWay) {
  InventoryVMInfo& vmInfo = Connected();
  EXPECT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("missing"), "/a", true), 0);
  EXPECT_NE(LastText().find("cannot be read: No such file or directory"), std::string::npos) << LastText();
  MakeFolder(UnixRoot() + "/d");
  MakeFolder(UnixRoot() + "/d/a.txt");
  WriteFile(tmp.Join("a.txt"), "x");
  EXPECT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("a.txt"), "/d", true), 0);
  EXPECT_FALSE(Exists(UnixRoot() + "/a"));
}

TEST_F(GuestOperations, AHyperVComponentCopiesIntoTheFolderAUnixGuestPathNames) {
  InventoryVMInfo& vmInfo = Connected(VSInstanceHyperV);
  WriteFile(tmp.Join("hosts"), "127.0.0.1 localhost\n");
  ASSERT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("hosts"), "//tmp/r/etc", false), 1) << LastText();
  EXPECT_EQ(ReadFile(UnixRoot() + "/tmp/r/etc/hosts"), "127.0.0.1 localhost\n");
  MakeFolder(WindowsRoot() + "/C/r");
  ASSERT_EQ(vmInfo.CopyFileToGuest(windowsCtx, tmp.Join("hosts"), "C:\\r\\hosts.txt", false), 1) << LastText();
  EXPECT_EQ(ReadFile(WindowsRoot() + "/C/r/hosts.txt"), "127.0.0.1 localhost\n");
}

TEST_F(GuestOperations, RefusesToCopyAFifoWithoutWaitingForIt) {
  InventoryVMInfo& vmInfo = Connected();
  ASSERT_EQ(::mkfifo(tmp.Join("fifo").c_str(), 0600), 0);
  EXPECT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("fifo"), "/fifo", true), 0);
  EXPECT_NE(LastText().find("cannot be copied"), std::string::npos) << LastText();
  EXPECT_FALSE(Exists(UnixRoot() + "/fifo"));
  // Nor is a FIFO in the guest replaced.
  ASSERT_EQ(::mkfifo((UnixRoot() + "/pipe").c_str(), 0600), 0);
  WriteFile(tmp.Join("pipe"), "x");
  EXPECT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("pipe"), "/pipe", true), 0);
  EXPECT_NE(LastText().find("exists and is not a regular file"), std::string::npos) << LastText();
  EXPECT_TRUE(S_ISFIFO(StatOf(UnixRoot() + "/pipe").st_mode));
}

TEST_F(GuestOperations, CopiesTreesWithoutFollowingLinkedFolders) {
  InventoryVMInfo& vmInfo = Connected();
  const std::string local = tmp.Join("tree");
  MakeFolder(local);
  WriteFile(tmp.Join("target.txt"), "linked file");
  ASSERT_EQ(::symlink(tmp.Join("target.txt").c_str(), (local + "/file-link").c_str()), 0);
  ASSERT_EQ(vmInfo.CopyDirectoryToGuest(unixCtx, local, "/t1", false), 1) << LastText();
  EXPECT_EQ(ReadFile(UnixRoot() + "/t1/file-link"), "linked file");
  ASSERT_EQ(::symlink(tmp.path().c_str(), (local + "/up").c_str()), 0);
  EXPECT_EQ(vmInfo.CopyDirectoryToGuest(unixCtx, local, "/t2", false), 0);
  EXPECT_NE(LastText().find("is a link to a folder and is not copied"), std::string::npos) << LastText();
  // The depth bound, at and one past it: 256 folders below the tree's top are copied, 257 are not.
  std::string deep = tmp.Join("deep");
  MakeFolder(deep);
  for (int level = 0; level < 256; ++level) MakeFolder(deep += "/d");
  EXPECT_EQ(vmInfo.CopyDirectoryToGuest(unixCtx, tmp.Join("deep"), "/t3", false), 1) << LastText();
  MakeFolder(deep + "/d");
  EXPECT_EQ(vmInfo.CopyDirectoryToGuest(unixCtx, tmp.Join("deep"), "/t4", false), 0);
  EXPECT_NE(LastText().find("is nested too deeply"), std::string::npos) << LastText();
}

TEST_F(GuestOperations, CopiesATreeWithTimesAndModesIntact) {
  InventoryVMInfo& vmInfo = Connected();
  const std::string local = tmp.Join("tree");
  MakeFolder(local);
  MakeFolder(local + "/sub");
  WriteFile(local + "/sub/f.sh", "#!/bin/sh\n");
  WriteFile(local + "/top.txt", "top");
  ::chmod((local + "/sub/f.sh").c_str(), 0755);
  ::chmod((local + "/sub").c_str(), 0750);
  SetTimes(local + "/sub/f.sh", 1300000000, 1310000000);
  SetTimes(local + "/top.txt", 1320000000, 1330000000);
  SetTimes(local + "/sub", 1340000000, 1350000000);
  ASSERT_EQ(vmInfo.CopyDirectoryToGuest(unixCtx, local, "/restore/tree", false), 1) << LastText();
  const std::string copy = UnixRoot() + "/restore/tree";
  EXPECT_EQ(ReadFile(copy + "/sub/f.sh"), "#!/bin/sh\n");
  EXPECT_EQ(StatOf(copy + "/sub/f.sh").st_mode & 07777, 0755u);
  EXPECT_EQ(StatOf(copy + "/sub/f.sh").st_mtime, 1310000000);
  EXPECT_EQ(StatOf(copy + "/top.txt").st_mtime, 1330000000);
  EXPECT_EQ(StatOf(copy + "/sub").st_mode & 07777, 0750u);
  EXPECT_EQ(StatOf(copy + "/sub").st_mtime, 1350000000);
  EXPECT_EQ(StatOf(copy + "/sub").st_atime, 1340000000);
}

TEST_F(GuestOperations, CopiesAFileBackFromTheGuest) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(UnixRoot() + "/a.txt", "guest data");
  SetTimes(UnixRoot() + "/a.txt", 1600000000, 1600000500);
  ASSERT_EQ(vmInfo.CopyFileFromGuest(unixCtx, "/a.txt", tmp.Join("back.txt")), 1) << LastText();
  EXPECT_EQ(ReadFile(tmp.Join("back.txt")), "guest data");
  EXPECT_EQ(StatOf(tmp.Join("back.txt")).st_mtime, 1600000500);
  EXPECT_EQ(vmInfo.CopyFileFromGuest(unixCtx, "/", tmp.Join("back2.txt")), 0);
  EXPECT_EQ(LastText(), "Guest path [/] is not a regular file");
}

TEST_F(GuestOperations, ChangesTimesOwnerGroupAndModeOnUnixGuests) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(UnixRoot() + "/a.txt", "x");
  SGuestFile attributes;
  attributes.accessTime = 1234567890;
  attributes.modifyTime = 1234567999;
  attributes.mode = 0104755;  // file-type bits above the low twelve are ignored
  const bool root = ::geteuid() == 0;
  attributes.uid = root ? 1234 : static_cast<int32_t>(::getuid());
  attributes.gid = root ? 5678 : static_cast<int32_t>(::getgid());
  ASSERT_EQ(vmInfo.ChangeGuestFileAttributes(unixCtx, "/a.txt", attributes), 1) << LastText();
  const struct stat info = StatOf(UnixRoot() + "/a.txt");
  EXPECT_EQ(info.st_atime, 1234567890);
  EXPECT_EQ(info.st_mtime, 1234567999);
  EXPECT_EQ(info.st_mode & 07777, 04755u);
  EXPECT_EQ(static_cast<int32_t>(info.st_uid), attributes.uid);
  EXPECT_EQ(static_cast<int32_t>(info.st_gid), attributes.gid);
}

TEST_F(GuestOperations, LeavesATimeOfZeroAsItIs) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(UnixRoot() + "/a.txt", "x");
  SetTimes(UnixRoot() + "/a.txt", 1500000000, 1500000001);
  SGuestFile attributes;
  attributes.uid = static_cast<int32_t>(::getuid());
  attributes.gid = static_cast<int32_t>(::getgid());
  attributes.mode = 0600;
  attributes.modifyTime = 1700000000;
  ASSERT_EQ(vmInfo.ChangeGuestFileAttributes(unixCtx, "/a.txt", attributes), 1) << LastText();
  EXPECT_EQ(StatOf(UnixRoot() + "/a.txt").st_atime, 1500000000);
  EXPECT_EQ(StatOf(UnixRoot() + "/a.txt").st_mtime, 1700000000);
}

TEST_F(GuestOperations, ChangesOnlyTimesOnWindowsGuests) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(WindowsRoot() + "/C/a.txt", "x");
  ::chmod((WindowsRoot() + "/C/a.txt").c_str(), 0644);
  SGuestFile attributes;
  attributes.modifyTime = 1600000000;
  attributes.accessTime = 1600000001;
  attributes.mode = 0;
  attributes.uid = 4321;
  ASSERT_EQ(vmInfo.ChangeGuestFileAttributes(windowsCtx, "C:\\a.txt", attributes), 1) << LastText();
  const struct stat info = StatOf(WindowsRoot() + "/C/a.txt");
  EXPECT_EQ(info.st_mtime, 1600000000);
  EXPECT_EQ(info.st_atime, 1600000001);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(info.st_uid, ::getuid());
}

TEST_F(GuestOperations, ChangingAttributesOfAMissingPathFails) {
  InventoryVMInfo& vmInfo = Connected();
  SGuestFile attributes;
  EXPECT_EQ(vmInfo.ChangeGuestFileAttributes(unixCtx, "/none", attributes), 0);
  EXPECT_EQ(LastText(), "Guest path [/none] does not exist");
}

TEST_F(GuestOperations, DeletesAFolderWithEverythingInIt) {
  InventoryVMInfo& vmInfo = Connected();
  const std::string outside = tmp.Join("outside");
  MakeFolder(outside);
  WriteFile(outside + "/keep.txt", "keep");
  MakeFolder(UnixRoot() + "/d");
  MakeFolder(UnixRoot() + "/d/e");
  WriteFile(UnixRoot() + "/d/e/f.txt", "x");
  ASSERT_EQ(::symlink(outside.c_str(), (UnixRoot() + "/d/out").c_str()), 0);
  std::string path = "/d";
  ASSERT_EQ(vmInfo.DeleteDirectoryInGuest(unixCtx, path), 1) << LastText();
  EXPECT_EQ(path, "/d");
  EXPECT_FALSE(Exists(UnixRoot() + "/d"));
  EXPECT_EQ(ReadFile(outside + "/keep.txt"), "keep");
}

TEST_F(GuestOperations, NeverDeletesTheRootOrADrive) {
  InventoryVMInfo& vmInfo = Connected();
  MakeFolder(UnixRoot() + "/tmp");
  for (std::string path : {"/", "//", "/tmp/.."}) {
    EXPECT_EQ(vmInfo.DeleteDirectoryInGuest(unixCtx, path), 0) << path;
    EXPECT_EQ(LastCode(), Code(VMInfoError::GuestPathRefused));
  }
  for (std::string path : {"C:\\", "C:", "C:\\Windows\\.."}) {
    MakeFolder(WindowsRoot() + "/C/Windows");
    EXPECT_EQ(vmInfo.DeleteDirectoryInGuest(windowsCtx, path), 0) << path;
    EXPECT_NE(LastText().find("is the root of the guest or of a drive"), std::string::npos) << LastText();
  }
  EXPECT_TRUE(Exists(WindowsRoot() + "/C/Windows"));
}

TEST_F(GuestOperations, DeletesOnlyFoldersThatExist) {
  InventoryVMInfo& vmInfo = Connected();
  WriteFile(UnixRoot() + "/f", "");
  std::string file = "/f";
  std::string missing = "/missing";
  EXPECT_EQ(vmInfo.DeleteDirectoryInGuest(unixCtx, file), 0);
  EXPECT_EQ(LastText(), "Guest path [/f] is not a folder");
  EXPECT_EQ(vmInfo.DeleteDirectoryInGuest(unixCtx, missing), 0);
  EXPECT_EQ(LastText(), "Guest path [/missing] does not exist");
  EXPECT_TRUE(Exists(UnixRoot() + "/f"));
}

TEST_F(GuestOperations, GivesTheGuestsTempFolder) {
  InventoryVMInfo& vmInfo = Connected();
  std::string folder;
  ASSERT_EQ(vmInfo.GetGuestTempFolder(unixCtx, folder), 1) << LastText();
  EXPECT_EQ(folder, "/tmp");
  EXPECT_TRUE(S_ISDIR(StatOf(UnixRoot() + "/tmp").st_mode));
  ASSERT_EQ(vmInfo.GetGuestTempFolder(windowsCtx, folder), 1) << LastText();
  EXPECT_EQ(folder, "C:\\Windows\\Temp");
  EXPECT_TRUE(S_ISDIR(StatOf(WindowsRoot() + "/C/Windows/Temp").st_mode));
}

}  // namespace
