// The native guest channel: reaches the guest through the hypervisor's own guest operations of
// the VM-information component. Every guest operation hands its arguments, as the same references,
// to the matching IVMInfo operation and returns the component's result unchanged, so the component
// fills the caller's own objects. The channel runs no commands and needs no Init.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "guestapi/ZQGuestAPI.h"
#include "vminfo/IGuestReplaceChoices.h"

class ZQVMInfoGuestAPI : public CGuestAPI, public IGuestReplaceChoices {
 public:
  // `vmInfo` is not owned and must outlive the channel.
  explicit ZQVMInfoGuestAPI(IVMInfo* vmInfo);
  ~ZQVMInfoGuestAPI() override;

  int BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                  std::vector<VMInfoStructs::SGuestFile>& entries) override;
  int BrowseGuestFolders(const GuestCtx& ctx, const std::string& guestPath,
                         std::vector<VMInfoStructs::SGuestFile>& entries) override;
  int CreateGuestFolder(const GuestCtx& ctx, const std::string& guestPath) override;
  int CopyFileToGuest(const GuestCtx& ctx, const std::string& localFile, const std::string& guestFile,
                      bool overwrite) override;
  int CopyDirectoryToGuest(const GuestCtx& ctx, const std::string& localDir, const std::string& guestDir,
                           bool overwrite) override;
  int CopyFileFromGuest(const GuestCtx& ctx, const std::string& guestFile, const std::string& localFile) override;
  int ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& guestPath,
                                const VMInfoStructs::SGuestFile& attributes) override;
  int PrepareGuestForFileCopy(const GuestCtx& ctx) override;
  // The seven-argument ExecuteScriptInGuest is deliberately not forwarded: the base answers failure.
  using CGuestAPI::ExecuteScriptInGuest;
  int ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, int timeoutSeconds) override;
  int ExecuteProcessInGuest(const GuestCtx& ctx, const std::string& program, const std::string& arguments,
                            const std::string& workingDir, int timeoutSeconds, int& exitCode) override;
  int IsProcessRunningInGuest(const GuestCtx& ctx, const std::string& program, long& processId,
                              bool& running) override;
  int GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) override;
  int DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) override;
  // The component's last-error text; the channel's own text when it has no component.
  std::string GetLastGuestApiErrorDetails() override;
  // Forwarded to the component (through the destination's view) when it offers these choices
  // (IGuestReplaceChoices); they fail otherwise.
  int HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                     std::vector<std::string>& digests) override;
  int SetBackupSuffix(const std::string& suffix) override;

  // From now on the guest operations follow links on the way to `folder`, the restore's
  // destination inside the guest (the operator chose it), and none below it; where the component
  // offers no such view (IVMInfoDestinationScope) they go to the component as before, which then
  // follows no link at all.
  void ScopeToDestination(const std::string& folder);

 private:
  // The component's view for the destination when one was made, else the component itself.
  IVMInfo* Component() const { return m_destinationView ? m_destinationView.get() : m_pVMInfo; }

  std::unique_ptr<IVMInfo> m_destinationView;
  // True when there is a component to forward to; otherwise records and logs why not.
  bool HasComponent(const char* origin);
  // The component's replace choices; null, after recording and logging why, when it offers none.
  IGuestReplaceChoices* ComponentChoices(const char* origin);
};
