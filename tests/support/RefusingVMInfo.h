// A VM-information component for tests in which every operation fails. Test doubles derive from
// it and answer only the operations their test is about.
#pragma once

#include <string>
#include <vector>

#include "guestapi/GuestTypes.h"
#include "vminfo/IVMInfo.h"

namespace zqtest {

class RefusingVMInfo : public IVMInfo {
 public:
  int ConnectToServer(const std::string&, const std::string&, const std::string&,
                      std::vector<SHostCredentials>&) override {
    return 0;
  }
  VirtualServerInstanceType GetInstanceType() override { return VSInstanceUnknown; }
  int GetLastErrorCode() override { return 0; }
  std::string GetLastErrorString() override { return ""; }
  int GetVMInfo(const std::string&, const std::string&, const std::string&, int64_t, int,
                VMInfoStructs::SVMInfo*) override {
    return 0;
  }
  int BrowseGuest(const GuestCtx&, const std::string&, std::vector<VMInfoStructs::SGuestFile>&) override { return 0; }
  int BrowseGuestFolders(const GuestCtx&, const std::string&, std::vector<VMInfoStructs::SGuestFile>&) override {
    return 0;
  }
  int CreateGuestFolder(const GuestCtx&, const std::string&) override { return 0; }
  int CopyFileToGuest(const GuestCtx&, const std::string&, const std::string&, bool) override { return 0; }
  int CopyDirectoryToGuest(const GuestCtx&, const std::string&, const std::string&, bool) override { return 0; }
  int CopyFileFromGuest(const GuestCtx&, const std::string&, const std::string&) override { return 0; }
  int ChangeGuestFileAttributes(const GuestCtx&, const std::string&, const VMInfoStructs::SGuestFile&) override {
    return 0;
  }
  int PrepareGuestForFileCopy(const GuestCtx&) override { return 0; }
  int ExecuteScriptInGuest(const GuestCtx&, const std::string&, int) override { return 0; }
  int ExecuteProcessInGuest(const GuestCtx&, const std::string&, const std::string&, const std::string&, int,
                            int&) override {
    return 0;
  }
  int IsProcessRunningInGuest(const GuestCtx&, const std::string&, long&, bool&) override { return 0; }
  int GetGuestTempFolder(const GuestCtx&, std::string&) override { return 0; }
  int DeleteDirectoryInGuest(const GuestCtx&, std::string&) override { return 0; }
};

}  // namespace zqtest
