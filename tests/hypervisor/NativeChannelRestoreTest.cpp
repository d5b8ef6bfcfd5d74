// The native channel over the inventory-backed component, driven the way the controller drives it
// for each restored entry: create folders, copy files, apply attributes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ComponentFixture.h"
#include "guestapi/ZQVMInfoGuestAPI.h"

namespace {

using vminfotest::MakeFolder;
using vminfotest::StatOf;
using VMInfoStructs::SGuestFile;
using zqtest::ReadFile;
using zqtest::WriteFile;

using zqtest::SetTimes;

struct StagedEntry {
  const char* relative;
  bool folder;
  mode_t mode;
  long long modifyTime;
};

const StagedEntry kStagedTree[] = {
    {"etc", true, 0755, 1500000000},
    {"etc/hosts", false, 0644, 1500000100},
    {"etc/ssh", true, 0700, 1500000200},
    {"etc/ssh/sshd_config", false, 0600, 1500000300},
    {"bin", true, 0755, 1500000400},
    {"bin/tool", false, 04755, 1500000500},
};

class NativeChannelRestore : public vminfotest::ComponentFixture {
 protected:
  void SetUp() override {
    ::umask(022);
    MakeFolder(Staging());
    for (const StagedEntry& entry : kStagedTree) {
      const std::string path = Staging() + "/" + entry.relative;
      if (entry.folder) {
        MakeFolder(path);
      } else {
        WriteFile(path, std::string("content of ") + entry.relative);
      }
    }
    for (const StagedEntry& entry : kStagedTree) {
      const std::string path = Staging() + "/" + entry.relative;
      ::chmod(path.c_str(), entry.mode);
      SetTimes(path, entry.modifyTime - 50, entry.modifyTime);
    }
  }
  std::string Staging() const { return tmp.Join("ForGuestVM"); }
};

TEST_F(NativeChannelRestore, RestoresATreeIntoAUnixGuestWithTimesAndModesIntact) {
  InventoryVMInfo& vmInfo = Connected();
  ZQVMInfoGuestAPI channel(&vmInfo);
  ASSERT_EQ(channel.CreateGuestFolder(unixCtx, "//restore"), 1) << channel.GetLastGuestApiErrorDetails();
  for (const StagedEntry& entry : kStagedTree) {
    SCOPED_TRACE(entry.relative);
    const std::string staged = Staging() + "/" + entry.relative;
    const std::string guest = std::string("//restore/") + entry.relative;
    const int copied = entry.folder ? channel.CreateGuestFolder(unixCtx, guest)
                                    : channel.CopyFileToGuest(unixCtx, staged, guest, false);
    ASSERT_EQ(copied, 1) << channel.GetLastGuestApiErrorDetails();
    const struct stat header = StatOf(staged);
    SGuestFile attributes;
    attributes.modifyTime = header.st_mtime;
    attributes.accessTime = header.st_ctime;
    attributes.uid = static_cast<int32_t>(header.st_uid);
    attributes.gid = static_cast<int32_t>(header.st_gid);
    attributes.mode = static_cast<int32_t>(header.st_mode);
    ASSERT_EQ(channel.ChangeGuestFileAttributes(unixCtx, guest, attributes), 1)
        << channel.GetLastGuestApiErrorDetails();
  }
  for (const StagedEntry& entry : kStagedTree) {
    SCOPED_TRACE(entry.relative);
    const std::string restored = UnixRoot() + "/restore/" + entry.relative;
    const struct stat info = StatOf(restored);
    EXPECT_EQ(info.st_mode & 07777, entry.mode);
    EXPECT_EQ(S_ISDIR(info.st_mode), entry.folder);
    if (!entry.folder) {
      EXPECT_EQ(info.st_mtime, entry.modifyTime);
      EXPECT_EQ(ReadFile(restored), std::string("content of ") + entry.relative);
    }
  }
}

TEST_F(NativeChannelRestore, CopyKeepsTheFileTimeOnWindowsGuests) {
  // The controller applies no times through the native channel on Windows guests, so the copy
  // itself must keep them.
  InventoryVMInfo& vmInfo = Connected();
  ZQVMInfoGuestAPI channel(&vmInfo);
  ASSERT_EQ(channel.CopyDirectoryToGuest(windowsCtx, Staging(), "D:\\Restore", false), 0);
  EXPECT_NE(channel.GetLastGuestApiErrorDetails().find("drive D: does not exist"), std::string::npos);
  ASSERT_EQ(channel.CopyDirectoryToGuest(windowsCtx, Staging(), "C:\\Restore", false), 1)
      << channel.GetLastGuestApiErrorDetails();
  std::vector<SGuestFile> entries;
  ASSERT_EQ(channel.BrowseGuest(windowsCtx, "C:\\Restore\\etc\\hosts", entries), 1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].modifyTime, 1500000100);
  EXPECT_EQ(StatOf(WindowsRoot() + "/C/Restore/etc/ssh").st_mtime, 1500000200);
}

TEST_F(NativeChannelRestore, ReportsTheComponentsReasonForAFailure) {
  unixVm.PoweredOff();
  InventoryVMInfo& vmInfo = Connected();
  ZQVMInfoGuestAPI channel(&vmInfo);
  EXPECT_EQ(channel.CreateGuestFolder(unixCtx, "/restore"), 0);
  EXPECT_EQ(channel.GetLastGuestApiErrorDetails(), "VM [linux01] is not powered on; power it on for guest operations");
}

}  // namespace
