// Interface of the VM-information component (libVMInfo.so), created by its exported factory
// CreateVMInfoObject. Integer results: nonzero means success.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vminfo/VirtualServerInstanceType.h"
#include "vminfo/VMInfoStructs.h"

struct GuestCtx;

class IVMInfo {
 public:
  virtual int ConnectToServer(const std::string& server, const std::string& user, const std::string& password,
                              std::vector<SHostCredentials>& credentials) = 0;
  virtual VirtualServerInstanceType GetInstanceType() = 0;
  virtual int GetLastErrorCode() = 0;
  virtual std::string GetLastErrorString() = 0;
  virtual int GetVMInfo(const std::string& vmName, const std::string& vmGuid, const std::string& serverName,
                        int64_t infoFlags, int reserved, VMInfoStructs::SVMInfo* info) = 0;

  virtual int BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                          std::vector<VMInfoStructs::SGuestFile>& entries) = 0;
  virtual int BrowseGuestFolders(const GuestCtx& ctx, const std::string& guestPath,
                                 std::vector<VMInfoStructs::SGuestFile>& entries) = 0;
  virtual int CreateGuestFolder(const GuestCtx& ctx, const std::string& guestPath) = 0;
  virtual int CopyFileToGuest(const GuestCtx& ctx, const std::string& localFile, const std::string& guestFile,
                              bool overwrite) = 0;
  virtual int CopyDirectoryToGuest(const GuestCtx& ctx, const std::string& localDir, const std::string& guestDir,
                                   bool overwrite) = 0;
  virtual int CopyFileFromGuest(const GuestCtx& ctx, const std::string& guestFile, const std::string& localFile) = 0;
  virtual int ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& guestPath,
                                        const VMInfoStructs::SGuestFile& attributes) = 0;
  virtual int PrepareGuestForFileCopy(const GuestCtx& ctx) = 0;

  // A slot of the component that this system never calls.
  virtual int ReservedSlot() { return 0; }

  virtual int ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, int timeoutSeconds) = 0;
  virtual int ExecuteProcessInGuest(const GuestCtx& ctx, const std::string& program, const std::string& arguments,
                                    const std::string& workingDir, int timeoutSeconds, int& exitCode) = 0;
  virtual int IsProcessRunningInGuest(const GuestCtx& ctx, const std::string& program, long& processId,
                                      bool& running) = 0;
  virtual int GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) = 0;
  virtual int DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) = 0;

  // The object is shared for the life of the process and never deleted by this library.
  virtual ~IVMInfo() = default;
};

// Signature of the component's exported factory "CreateVMInfoObject".
typedef int (*CreateVMInfoObjectFn)(int instanceType, IVMInfo** out);
