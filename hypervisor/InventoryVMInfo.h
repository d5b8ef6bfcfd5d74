// The embedded hypervisor: an IVMInfo whose servers, VMs and guests are described by the inventory
// file, and whose guests' file systems are folders on this machine. A whole restore can thus run on
// one machine, and a test can put a VM into every state the controller must handle.
//
// Every operation reports as VMInfoBackEnd.h says: 1, or 0 with the last error recorded and one
// error line. No exception leaves the object.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "guestapi/GuestTypes.h"
#include "hypervisor/GuestFolder.h"
#include "hypervisor/Inventory.h"
#include "hypervisor/InventoryStore.h"
#include "hypervisor/VMInfoBackEnd.h"
#include "hypervisor/VMInfoStatus.h"
#include "platform/EvEvent.h"
#include "vminfo/IVMInfo.h"
#include "vminfo/IGuestReplaceChoices.h"
#include "vminfo/IVMInfoDestinationScope.h"

class InventoryVMInfo : public VMInfoBackEnd, public IVMInfoDestinationScope, public IGuestReplaceChoices {
 public:
  explicit InventoryVMInfo(VirtualServerInstanceType instanceType);
  ~InventoryVMInfo() override;

  // Checks that the inventory lists the server, that it answers, that it is of this component's
  // kind (when the inventory states a kind) and that it accepts the user name and password. The
  // credentials list is accepted and not used.
  int ConnectToServer(const std::string& server, const std::string& user, const std::string& password,
                      std::vector<SHostCredentials>& credentials) override;
  // Finds the VM on the connected server by GUID, else by name, and fills the record's name, GUID,
  // host, tools description and status, guest addresses (separated by ",") and power state.
  int GetVMInfo(const std::string& vmName, const std::string& vmGuid, const std::string& serverName,
                int64_t infoFlags, int reserved, VMInfoStructs::SVMInfo* info) override;

  // Guest operations: the VM comes from the GuestCtx (GUID, else name); it must be powered on and
  // accept the context's guest login; the work is done in its guest folder (GuestFolder.h).
  int BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                  std::vector<VMInfoStructs::SGuestFile>& entries) override;
  int BrowseGuestFolders(const GuestCtx& ctx, const std::string& guestPath,
                         std::vector<VMInfoStructs::SGuestFile>& entries) override;
  int CreateGuestFolder(const GuestCtx& ctx, const std::string& guestPath) override;
  // For a Unix guest of a Hyper-V component (instance type 102) the guest path names the folder
  // that is to hold the file, which the copy creates when missing.
  int CopyFileToGuest(const GuestCtx& ctx, const std::string& localFile, const std::string& guestFile,
                      bool overwrite) override;
  int CopyDirectoryToGuest(const GuestCtx& ctx, const std::string& localDir, const std::string& guestDir,
                           bool overwrite) override;
  int CopyFileFromGuest(const GuestCtx& ctx, const std::string& guestFile, const std::string& localFile) override;
  int ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& guestPath,
                                const VMInfoStructs::SGuestFile& attributes) override;
  // Answers as the inventory says for the VM (success, or its error code and text). Needs the VM
  // found and powered on, but no guest login.
  int PrepareGuestForFileCopy(const GuestCtx& ctx) override;
  // Running programs in the guest is not supported: these fail (out-arguments 0 / false).
  int ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, int timeoutSeconds) override;
  int ExecuteProcessInGuest(const GuestCtx& ctx, const std::string& program, const std::string& arguments,
                            const std::string& workingDir, int timeoutSeconds, int& exitCode) override;
  int IsProcessRunningInGuest(const GuestCtx& ctx, const std::string& program, long& processId,
                              bool& running) override;
  int GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) override;
  int DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) override;

  // A view whose guest operations follow links on the way to `folder` and none below it (see
  // IVMInfoDestinationScope); this object does the work and must outlive the view.
  IVMInfo* ScopeToDestination(const std::string& folder) override;

  // Digests of guest files, read in the guest folder (GuestFolder::Sha256); a copy that replaces a
  // file keeps the old one under the suffix (GuestFolder::CopyFileIn).
  int HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                     std::vector<std::string>& digests) override;
  int SetBackupSuffix(const std::string& suffix) override;

 private:
  class DestinationView;
  using GuestWork = std::function<VMInfoStatus(const GuestFolder&)>;

  VMInfoStatus FindVM(const std::string& vmName, const std::string& vmGuid, InventoryVM& vm);
  VMInfoStatus OpenGuest(const GuestCtx& ctx, std::unique_ptr<GuestFolder>& folder);
  int RunInGuest(const char* origin, const GuestCtx& ctx, const GuestWork& work);

  // The destination folder of the view whose operation runs now; empty outside a view's
  // operation, when no link in the guest is followed.
  std::string m_destinationFolder;
  std::string m_backupSuffix;  // empty: a replaced file is not kept
  StaleTemporarySweep m_staleTemporaries;
  bool m_connected = false;
  std::string m_connectedServer;
};
