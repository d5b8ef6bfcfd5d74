#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "ComponentFixture.h"
#include "hypervisor/GuestPathResolver.h"

namespace {

using vminfotest::Code;
using vminfotest::Exists;
using vminfotest::MakeFolder;
using vminfotest::StatOf;
using VMInfoStructs::SGuestFile;
using zqtest::ReadFile;
using zqtest::WriteFile;

enum class Operation { Browse, CreateFolder, CopyIn, CopyTreeIn, CopyOut, ChangeAttributes, DeleteFolder };

const char* NameOf(Operation operation) {
  switch (operation) {
    case Operation::Browse: return "BrowseGuest";
    case Operation::CreateFolder: return "CreateGuestFolder";
    case Operation::CopyIn: return "CopyFileToGuest";
    case Operation::CopyTreeIn: return "CopyDirectoryToGuest";
    case Operation::CopyOut: return "CopyFileFromGuest";
    case Operation::ChangeAttributes: return "ChangeGuestFileAttributes";
    case Operation::DeleteFolder: return "DeleteDirectoryInGuest";
  }
  return "?";
}

struct EscapeRow {
  Operation operation;
  bool windows;
  const char* path;
  VMInfoError expected;
  const char* destination = nullptr;  // the operation runs scoped to this destination folder
};

// A guest folder holds links that lead out of it: "abs" (absolute), "rel" (relative),
// "deep/rel" (relative, two levels), "inner" (absolute but inside) and "loop" (to itself).
// Next to the guest folder lies "outside" with secret.txt, which no row may touch.
const EscapeRow kEscapeRows[] = {
    {Operation::Browse, false, "/..", VMInfoError::GuestPathRefused},
    {Operation::Browse, false, "/../outside", VMInfoError::GuestPathRefused},
    {Operation::Browse, false, "/data/../../outside/secret.txt", VMInfoError::GuestPathRefused},
    {Operation::Browse, false, "/abs", VMInfoError::GuestPathRefused},
    {Operation::Browse, false, "/abs/secret.txt", VMInfoError::GuestPathRefused},
    {Operation::Browse, false, "/rel", VMInfoError::GuestPathRefused},
    {Operation::Browse, false, "/deep/rel/secret.txt", VMInfoError::GuestPathRefused},
    {Operation::Browse, false, "/loop", VMInfoError::GuestFileError},
    {Operation::Browse, false, "/chain0", VMInfoError::GuestFileError},  // one link more than the bound
    {Operation::Browse, true, "C:\\..\\..\\outside", VMInfoError::GuestPathRefused},
    {Operation::Browse, true, "C:\\..", VMInfoError::GuestPathRefused},
    {Operation::Browse, true, "C:\\abs", VMInfoError::GuestPathRefused},
    {Operation::CreateFolder, false, "/abs/new", VMInfoError::GuestPathRefused},
    {Operation::CreateFolder, false, "/rel/new", VMInfoError::GuestPathRefused},
    {Operation::CreateFolder, false, "/../outside/new", VMInfoError::GuestPathRefused},
    {Operation::CreateFolder, true, "C:\\rel\\new", VMInfoError::GuestPathRefused},
    {Operation::CopyIn, false, "/abs/secret.txt", VMInfoError::GuestPathRefused},
    {Operation::CopyIn, false, "/rel/secret.txt", VMInfoError::GuestPathRefused},
    {Operation::CopyIn, false, "/rel/new.txt", VMInfoError::GuestPathRefused},
    {Operation::CopyIn, false, "/abs/new/x.txt", VMInfoError::GuestPathRefused},
    {Operation::CopyIn, false, "/data/../../outside/secret.txt", VMInfoError::GuestPathRefused},
    {Operation::CopyIn, true, "C:\\abs\\secret.txt", VMInfoError::GuestPathRefused},
    {Operation::CopyTreeIn, false, "/rel/tree", VMInfoError::GuestPathRefused},
    {Operation::CopyOut, false, "/abs/secret.txt", VMInfoError::GuestPathRefused},
    {Operation::CopyOut, false, "/deep/rel/secret.txt", VMInfoError::GuestPathRefused},
    {Operation::ChangeAttributes, false, "/abs/secret.txt", VMInfoError::GuestPathRefused},
    {Operation::ChangeAttributes, false, "/rel", VMInfoError::GuestFileError},  // a final link is never followed
    {Operation::ChangeAttributes, true, "C:\\rel\\secret.txt", VMInfoError::GuestPathRefused},
    {Operation::DeleteFolder, false, "/abs/", VMInfoError::GuestFileError},  // the link itself is no folder
    {Operation::DeleteFolder, false, "/rel/.", VMInfoError::GuestPathRefused},
    {Operation::DeleteFolder, false, "/../outside", VMInfoError::GuestPathRefused},
    {Operation::DeleteFolder, false, "/deep/rel", VMInfoError::GuestFileError},
    {Operation::DeleteFolder, true, "C:\\..\\..\\outside", VMInfoError::GuestPathRefused},
    // "twin" is an absolute link to a folder beside the guest folder whose name begins with it.
    {Operation::Browse, false, "/twin", VMInfoError::GuestPathRefused},
    {Operation::CopyIn, false, "/twin/new.txt", VMInfoError::GuestPathRefused},
    // Below the destination a ".." may not climb back out of it, even to a folder of the guest.
    {Operation::CopyIn, false, "/data/../deep/new.txt", VMInfoError::GuestPathRefused, "/data"},
    {Operation::CreateFolder, true, "C:\\data\\..\\made", VMInfoError::GuestPathRefused, "C:\\data"},
};

class GuestContainment : public vminfotest::ComponentFixture {
 protected:
  void SetUp() override {
    MakeFolder(Outside());
    WriteFile(Outside() + "/secret.txt", "secret");
    ::chmod((Outside() + "/secret.txt").c_str(), 0600);
    for (const std::string& root : {UnixRoot(), WindowsRoot() + "/C"}) {
      MakeFolder(root + "/data");
      WriteFile(root + "/data/inside.txt", "inside");
      MakeFolder(root + "/deep");
      Link(Outside(), root + "/abs");
      Link(root == UnixRoot() ? "../outside" : "../../outside", root + "/rel");
      Link(root == UnixRoot() ? "../../outside" : "../../../outside", root + "/deep/rel");
      Link(root + "/data", root + "/inner");
      Link("loop", root + "/loop");
    }
    // chain0 -> chain1 -> ... -> chain40 -> data: 41 links from chain0, the bound from chain1.
    for (int i = 0; i <= GuestPathResolver::kMaxLinks; ++i) {
      Link(i == GuestPathResolver::kMaxLinks ? "data" : "chain" + std::to_string(i + 1),
           UnixRoot() + "/chain" + std::to_string(i));
    }
    MakeFolder(UnixRoot() + "-twin");
    Link(UnixRoot() + "-twin", UnixRoot() + "/twin");
    WriteFile(tmp.Join("local.txt"), "overwritten");
    MakeFolder(tmp.Join("localtree"));
    WriteFile(tmp.Join("localtree/f.txt"), "f");
  }

  std::string Outside() const { return tmp.Join("outside"); }

  static void Link(const std::string& target, const std::string& path) {
    if (::symlink(target.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink " + path);
  }

  int Run(IVMInfo& vmInfo, Operation operation, const GuestCtx& ctx, const std::string& path) {
    std::vector<SGuestFile> entries;
    SGuestFile attributes;
    attributes.mode = 0777;
    attributes.modifyTime = 1000;
    attributes.uid = static_cast<int32_t>(::getuid());
    attributes.gid = static_cast<int32_t>(::getgid());
    std::string mutablePath = path;
    switch (operation) {
      case Operation::Browse: return vmInfo.BrowseGuest(ctx, path, entries);
      case Operation::CreateFolder: return vmInfo.CreateGuestFolder(ctx, path);
      case Operation::CopyIn: return vmInfo.CopyFileToGuest(ctx, tmp.Join("local.txt"), path, true);
      case Operation::CopyTreeIn: return vmInfo.CopyDirectoryToGuest(ctx, tmp.Join("localtree"), path, true);
      case Operation::CopyOut: return vmInfo.CopyFileFromGuest(ctx, path, tmp.Join("copied-out.txt"));
      case Operation::ChangeAttributes: return vmInfo.ChangeGuestFileAttributes(ctx, path, attributes);
      case Operation::DeleteFolder: return vmInfo.DeleteDirectoryInGuest(ctx, mutablePath);
    }
    return -1;
  }

  void ExpectOutsideUntouched() {
    std::vector<std::string> names;
    DIR* dir = ::opendir(Outside().c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* entry = ::readdir(dir)) names.push_back(entry->d_name);
    ::closedir(dir);
    EXPECT_EQ(names.size(), 3u) << "only ., .. and secret.txt";
    EXPECT_EQ(ReadFile(Outside() + "/secret.txt"), "secret");
    EXPECT_EQ(StatOf(Outside() + "/secret.txt").st_mode & 07777, 0600u);
    EXPECT_NE(StatOf(Outside() + "/secret.txt").st_mtime, 1000);
    EXPECT_FALSE(Exists(tmp.Join("copied-out.txt")));
  }
};

TEST_F(GuestContainment, RefusesPathsThatLeaveTheGuestFolder) {
  InventoryVMInfo& vmInfo = Connected();
  for (const EscapeRow& row : kEscapeRows) {
    SCOPED_TRACE(std::string(NameOf(row.operation)) + " " + row.path);
    std::unique_ptr<IVMInfo> scoped(row.destination ? vmInfo.ScopeToDestination(row.destination) : nullptr);
    EXPECT_EQ(Run(scoped ? *scoped : vmInfo, row.operation, row.windows ? windowsCtx : unixCtx, row.path), 0);
    EXPECT_EQ(LastCode(), Code(row.expected)) << LastText();
    if (row.expected == VMInfoError::GuestPathRefused) {
      const char* said = row.destination ? "climbs out of the destination folder" : "leads outside the guest folder";
      EXPECT_NE(LastText().find(said), std::string::npos) << LastText();
    }
    ExpectOutsideUntouched();
    EXPECT_TRUE(std::filesystem::is_empty(UnixRoot() + "-twin"));
  }
  EXPECT_TRUE(Exists(UnixRoot() + "/abs"));
  EXPECT_TRUE(Exists(UnixRoot() + "/deep/rel"));
  EXPECT_FALSE(Exists(UnixRoot() + "/deep/new.txt"));
  EXPECT_FALSE(Exists(WindowsRoot() + "/C/made"));
}

TEST_F(GuestContainment, FollowsLinksThatStayInside) {
  InventoryVMInfo& vmInfo = Connected();
  std::vector<SGuestFile> entries;
  ASSERT_EQ(vmInfo.BrowseGuest(unixCtx, "/inner", entries), 1) << LastText();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "inside.txt");
  entries.clear();
  ASSERT_EQ(vmInfo.BrowseGuest(unixCtx, "/chain1", entries), 1) << LastText();  // as many links as the bound
  ASSERT_EQ(entries.size(), 1u);
  entries.clear();
  ASSERT_EQ(vmInfo.BrowseGuest(windowsCtx, "C:\\inner\\inside.txt", entries), 1) << LastText();
  ASSERT_EQ(vmInfo.CopyFileToGuest(unixCtx, tmp.Join("local.txt"), "/inner/new.txt", true), 1) << LastText();
  EXPECT_EQ(ReadFile(UnixRoot() + "/data/new.txt"), "overwritten");
  ASSERT_EQ(vmInfo.CreateGuestFolder(unixCtx, "/data/../deep/./made"), 1) << LastText();
  EXPECT_TRUE(Exists(UnixRoot() + "/deep/made"));
}

TEST_F(GuestContainment, GuestFolderReachedThroughALinkStillCountsAsInside) {
  // The inventory names the guest folder through a link; an absolute link that spells the
  // folder's real path is still inside.
  Link(UnixRoot(), tmp.Join("guest-alias"));
  unixVm.UnixGuest(tmp.Join("guest-alias"));
  InventoryVMInfo& vmInfo = Connected();
  std::vector<SGuestFile> entries;
  ASSERT_EQ(vmInfo.BrowseGuest(unixCtx, "/inner", entries), 1) << LastText();
  EXPECT_EQ(vmInfo.BrowseGuest(unixCtx, "/abs", entries), 0);
  EXPECT_EQ(LastCode(), Code(VMInfoError::GuestPathRefused));
}

}  // namespace
