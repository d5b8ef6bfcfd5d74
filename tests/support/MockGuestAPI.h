// GoogleMock double of the guest-operations interface, for tests where the calls a component
// makes on a guest channel are the point (which operations, in which order, with which values).
#pragma once

#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "guestapi/ZQGuestAPI.h"
#include "vminfo/IGuestReplaceChoices.h"

namespace zqtest {

class MockGuestAPI : public IGuestAPI, public IGuestReplaceChoices {
 public:
  MOCK_METHOD(int, BrowseGuest, (const GuestCtx&, const std::string&, std::vector<VMInfoStructs::SGuestFile>&),
              (override));
  MOCK_METHOD(int, BrowseGuestFolders, (const GuestCtx&, const std::string&, std::vector<VMInfoStructs::SGuestFile>&),
              (override));
  MOCK_METHOD(int, CreateGuestFolder, (const GuestCtx&, const std::string&), (override));
  MOCK_METHOD(int, CopyFileToGuest, (const GuestCtx&, const std::string&, const std::string&, bool), (override));
  MOCK_METHOD(int, CopyDirectoryToGuest, (const GuestCtx&, const std::string&, const std::string&, bool), (override));
  MOCK_METHOD(int, CopyFileFromGuest, (const GuestCtx&, const std::string&, const std::string&), (override));
  MOCK_METHOD(int, ChangeGuestFileAttributes, (const GuestCtx&, const std::string&, const VMInfoStructs::SGuestFile&),
              (override));
  MOCK_METHOD(int, PrepareGuestForFileCopy, (const GuestCtx&), (override));
  MOCK_METHOD(int, ExecuteScriptInGuest,
              (const GuestCtx&, const std::string&, const std::string&, const std::string&, int, const std::string&,
               int&),
              (override));
  MOCK_METHOD(int, ExecuteScriptInGuest, (const GuestCtx&, const std::string&, int), (override));
  MOCK_METHOD(int, ExecuteProcessInGuest,
              (const GuestCtx&, const std::string&, const std::string&, const std::string&, int, int&), (override));
  MOCK_METHOD(int, IsProcessRunningInGuest, (const GuestCtx&, const std::string&, long&, bool&), (override));
  MOCK_METHOD(int, GetGuestTempFolder, (const GuestCtx&, std::string&), (override));
  MOCK_METHOD(int, DeleteDirectoryInGuest, (const GuestCtx&, std::string&), (override));
  MOCK_METHOD(std::string, GetLastGuestApiErrorDetails, (), (override));
  MOCK_METHOD(int, InitStagingFolder, (long long, const std::string&, const std::string&), (override));
  MOCK_METHOD(int, DeInitStagingFolder, (const std::string&, const std::string&), (override));
  MOCK_METHOD(bool, IsZqGuestAPI, (), (override));
  MOCK_METHOD(int, HashGuestFiles, (const GuestCtx&, const std::vector<std::string>&, std::vector<std::string>&),
              (override));
  MOCK_METHOD(int, SetBackupSuffix, (const std::string&), (override));
};

}  // namespace zqtest
