// The one interface through which the controller reaches a guest's file system. Every int
// operation returns nonzero (1) on success and 0 on failure.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "guestapi/GuestTypes.h"
#include "platform/EvEvent.h"
#include "vminfo/IVMInfo.h"
#include "vminfo/VirtualServerInstanceType.h"
#include "vminfo/VMInfoStructs.h"

class IGuestAPI {
 public:
  virtual ~IGuestAPI() = default;

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
  virtual int ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, const std::string& interpreter,
                                   const std::string& arguments, int timeoutSeconds, const std::string& outputFile,
                                   int& exitCode) = 0;
  virtual int ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, int timeoutSeconds) = 0;
  virtual int ExecuteProcessInGuest(const GuestCtx& ctx, const std::string& program, const std::string& arguments,
                                    const std::string& workingDir, int timeoutSeconds, int& exitCode) = 0;
  virtual int IsProcessRunningInGuest(const GuestCtx& ctx, const std::string& program, long& processId,
                                      bool& running) = 0;
  virtual int GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) = 0;
  virtual int DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) = 0;
  virtual std::string GetLastGuestApiErrorDetails() = 0;
  virtual int InitStagingFolder(long long initId, const std::string& stagingDir, const std::string& guestDir) = 0;
  virtual int DeInitStagingFolder(const std::string& stagingDir, const std::string& guestDir) = 0;
  virtual bool IsZqGuestAPI() = 0;

  // Whether the SSH command channels may be used for this hypervisor kind (setting
  // "VirtualServer"/"UseZQGuestAPI" overrides the default).
  static bool ZqGuestAPISupport(VirtualServerInstanceType type);
  // Whether the native channel may be used: every kind but 601.
  static bool NativeGuestAPISupport(VirtualServerInstanceType type);
  static bool CreateZqGuestAPIObject(IVMInfo* vmInfo, const GuestCtx& ctx, std::unique_ptr<IGuestAPI>& channel,
                                     std::string& errorText);
  static bool CreateNativeGuestAPIObject(IVMInfo* vmInfo, const GuestCtx& ctx, std::unique_ptr<IGuestAPI>& channel,
                                         std::string& errorText);
};

// Exported channel factory: the first channel allowed for the VM that initialises.
extern "C" __attribute__((visibility("default"))) bool CreateGuestAPIObject(
    IVMInfo* vmInfo, const GuestCtx& ctx, std::unique_ptr<IGuestAPI>& channel, std::string& errorText,
    bool preferNative);

// Common base of every guest channel: defaults for the operations a channel does not support,
// and, for the SSH command channels, the login, the base folder of the tools, the last-error
// text and the one way a command line runs on the proxy.
class CGuestAPI : public IGuestAPI {
 public:
  explicit CGuestAPI(IVMInfo* vmInfo);
  ~CGuestAPI() override;

  int CopyDirectoryToGuest(const GuestCtx& ctx, const std::string& localDir, const std::string& guestDir,
                           bool overwrite) override;
  int CopyFileFromGuest(const GuestCtx& ctx, const std::string& guestFile, const std::string& localFile) override;
  int PrepareGuestForFileCopy(const GuestCtx& ctx) override;
  int ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, const std::string& interpreter,
                           const std::string& arguments, int timeoutSeconds, const std::string& outputFile,
                           int& exitCode) override;
  int ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, int timeoutSeconds) override;
  int ExecuteProcessInGuest(const GuestCtx& ctx, const std::string& program, const std::string& arguments,
                            const std::string& workingDir, int timeoutSeconds, int& exitCode) override;
  int IsProcessRunningInGuest(const GuestCtx& ctx, const std::string& program, long& processId,
                              bool& running) override;
  int GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) override;
  int DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) override;
  std::string GetLastGuestApiErrorDetails() override;
  int InitStagingFolder(long long initId, const std::string& stagingDir, const std::string& guestDir) override;
  int DeInitStagingFolder(const std::string& stagingDir, const std::string& guestDir) override;
  bool IsZqGuestAPI() override;

  virtual bool Init(const GuestLoginCred& cred);
  virtual void SetLastGuestApiErrorDetails(const std::string& text);
  // Runs one command line within the time limits of the settings (CommandTimeLimits.h); on failure
  // the last error text ends with the reason the tool or the runner gave.
  virtual bool ExecuteCommand(const std::string& command, std::string& output);
  virtual bool PreExecuteCommand(const std::string& command);
  virtual bool PostExecuteCommand(const std::string& command);
  virtual void ScrubZqPAExecOutput(std::string& text);
  // Sets an environment variable. ZQ_PUTTY_PASS is kept in a buffer of its own, which the end of
  // each command wipes after removing the variable.
  virtual int SetEnv(const char* name, const char* value);

  // Every occurrence of `password` in `text` replaced by "*****"; an empty password changes nothing.
  std::string MaskPasswdInStr(const std::string& text, const std::string& password);

  // Scoped guard around one command: holds c_CmdLock from before PreExecuteCommand until after
  // PostExecuteCommand and the removal of ZQ_PUTTY_PASS.
  class ExecuteCmdCtx {
   public:
    ExecuteCmdCtx(CGuestAPI& owner, const std::string& command);
    virtual ~ExecuteCmdCtx();
    ExecuteCmdCtx(const ExecuteCmdCtx&) = delete;
    ExecuteCmdCtx& operator=(const ExecuteCmdCtx&) = delete;

   private:
    CGuestAPI& m_owner;
    const std::string& m_command;
  };

  static std::mutex c_CmdLock;

 protected:
  // Runs one command line: hands it to a running guest session when one can answer it
  // (tools/GuestSessionShortcut.h), through the command runner otherwise. Returns its exit status.
  int RunCommand(const std::string& command, std::string& output, std::string& errorText);
  // Logs (level 0, once) the tools' word that guest sessions are off, from a command's error text.
  void ReportSessionsOff(const std::string& errorText);
  // ExecuteCommand for a command that copies a file: limited by inactivity, not by its total time.
  bool ExecuteCopyCommand(const std::string& command, std::string& output);

  bool m_guestVerified = false;
  bool m_runningCopy = false;  // the command in flight was started by ExecuteCopyCommand
  bool m_sessionsOffReported = false;
  IVMInfo* m_pVMInfo;
  GuestLoginCred m_loginCred;
  std::string m_lastErrorDetails;
  std::string m_baseHome;
  EvEvent m_log;
};
