// The controller interface the backup host drives, slot by slot, in this order.
#pragma once

#include <string>

#include "platform/FSRRecords.h"
#include "platform/ZQJobClient.h"

namespace TMMsg {
class RestoreOption;
}

class IVSAgentlessRestoreToVM {
 public:
  virtual bool Init(FSRInitData* initData, FSRInitDataVer2* initDataVer2, FSRSetParams* setParams,
                    ZQRstJobClient* rstJobClient, ZQJobCtrlClient* jobCtrlClient, const std::string& clientName) = 0;
  virtual bool GetJobOptions(TMMsg::RestoreOption* options) = 0;
  virtual bool PrepareVMInfoObject(const std::string& server, const std::string& user, const std::string& password,
                                   int instanceId) = 0;
  virtual bool RestoreToVM(const char* stagedPath, u_longlong_t, u_longlong_t, CXFileHeader* header,
                           std::string& guestPath, bool& skipped, bool& attributesApplied) = 0;
  virtual bool RestoreToVM_ImageLevel(const std::string& stagedPath, u_longlong_t, u_longlong_t size,
                                      bool timeIsAccurate, u_longlong_t& bytes, bool& skipped) = 0;
  virtual void GenerateGuestFilePath(const std::string& stagedPath, std::string& guestPath) = 0;
  virtual bool GenerateGuestAndStagingFolders() = 0;
  virtual bool InitStagingFolder() = 0;
  virtual bool DeInitStagingFolder() = 0;
  virtual bool CopyToGuest(const std::string& stagedPath, const std::string& guestPath, bool timeIsAccurate,
                           bool& skipped, bool& isFolder) = 0;
  virtual bool UpdateFileTimes(const std::string& stagedPath) = 0;
  virtual void setRestoreToUnixVM() = 0;
  virtual bool UpdateUnixPermissions(const std::string& stagedPath, CXFileHeader* header) = 0;
  virtual ~IVSAgentlessRestoreToVM() = default;
};

// Exported factory: a new controller the caller owns and deletes through the interface.
extern "C" __attribute__((visibility("default"))) bool CreateVSAgentlessRestoreToVMObject(
    IVSAgentlessRestoreToVM** out);
typedef bool (*CreateVSAgentlessRestoreToVMObjectFn)(IVSAgentlessRestoreToVM** out);
