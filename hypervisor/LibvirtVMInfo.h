// The VM-information component for KVM under libvirt: VMs are libvirt domains, reached through
// libvirt's C API (never by running virsh), and guest operations go through each guest's QEMU guest
// agent (AgentGuestFiles.h), so files reach a guest with no network path, no SSH server and no
// guest password.
//
// The server text is a libvirt URI ("qemu:///system", "qemu+ssh://host/system", "qemu+tls://...").
// User name and password, when given, answer libvirt's credential questions. A server text
// "unix:PATH" instead names the unix socket of one guest agent (plain QEMU without libvirt): every
// VM name or GUID then means that one guest.
//
// The guest login of a job is not checked on this kind: the agent acts as the guest's system
// account and takes no guest password. The component says so in its log, once per VM.
//
// Like the inventory back-end, every operation reports as VMInfoBackEnd.h says. No exception
// leaves it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "guestapi/GuestTypes.h"
#include "hypervisor/AgentGuestFiles.h"
#include "hypervisor/VMInfoBackEnd.h"
#include "hypervisor/VMInfoStatus.h"
#include "platform/EvEvent.h"
#include "vminfo/IGuestReplaceChoices.h"
#include "vminfo/IVMInfo.h"

class LibvirtVMInfo : public VMInfoBackEnd, public IGuestReplaceChoices {
 public:
  static constexpr const char* kAgentSocketScheme = "unix:";

  explicit LibvirtVMInfo(VirtualServerInstanceType instanceType, const AgentLimits& limits = AgentLimits());
  ~LibvirtVMInfo() override;

  int ConnectToServer(const std::string& server, const std::string& user, const std::string& password,
                      std::vector<SHostCredentials>& credentials) override;
  // Finds the domain by UUID, else by name. Fills name, GUID, host name, power state (running 1,
  // paused or suspended 2, otherwise 0), tools status and description (2 "guestAgentRunning" when
  // the agent answers guest-ping, else 1 "guestAgentNotRunning") and the guest's addresses
  // (from the agent, else from libvirt's DHCP leases), separated by ",".
  int GetVMInfo(const std::string& vmName, const std::string& vmGuid, const std::string& serverName,
                int64_t infoFlags, int reserved, VMInfoStructs::SVMInfo* info) override;

  // Guest operations: the VM must be running and its agent must answer and allow the commands
  // (checked before the first operation on a VM, and again by PrepareGuestForFileCopy).
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
  // Running scripts and programs is not offered: these fail (out-arguments 0 / false).
  int ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, int timeoutSeconds) override;
  int ExecuteProcessInGuest(const GuestCtx& ctx, const std::string& program, const std::string& arguments,
                            const std::string& workingDir, int timeoutSeconds, int& exitCode) override;
  int IsProcessRunningInGuest(const GuestCtx& ctx, const std::string& program, long& processId,
                              bool& running) override;
  int GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) override;
  int DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) override;
  // Digests read by the guest program's sha256 operation, one guest program per file.
  int HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                     std::vector<std::string>& digests) override;
  // From now on a copy that replaces a regular guest file first keeps it under its name and
  // `suffix`, as a hard link made by the same guest program (AgentGuestFiles::CopyFileIn). 0 for a
  // suffix ReplaceChoices::BackupSuffixProblem refuses.
  int SetBackupSuffix(const std::string& suffix) override;

 private:
  struct Domain;  // a looked-up libvirt domain (or the one guest of an agent socket)
  struct Guest;   // one VM's agent connection and what was learned about it

  using GuestWork = std::function<VMInfoStatus(AgentGuestFiles&)>;

  VMInfoStatus FindDomain(const std::string& vmName, const std::string& vmGuid, Domain& domain);
  VMInfoStatus OpenGuest(const GuestCtx& ctx, bool recheck, Guest*& guest);
  Guest& GuestFor(Domain& domain);
  std::string GuestAddresses(Domain& domain, Guest& guest);
  int RunInGuest(const char* origin, const GuestCtx& ctx, const GuestWork& work);
  void Disconnect();

  AgentLimits m_limits;
  void* m_connection = nullptr;  // virConnectPtr; libvirt's headers stay out of this header
  std::string m_server;
  std::string m_agentSocket;     // set when the server text names an agent socket
  std::string m_backupSuffix;    // SetBackupSuffix; empty: no backups
  std::map<std::string, std::unique_ptr<Guest>> m_guests;  // by domain UUID (or the socket path)
};
