#include "hypervisor/InventoryVMInfo.h"

#include <new>
#include <utility>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include "vminfo/VMInfoLayout.h"
#include "hypervisor/InventoryVMInfoOrigins.h"
#include "platform/ReplaceChoices.h"

using namespace InventoryVMInfoOrigins;

namespace {

const InventoryServer* FindServer(const Inventory& inventory, const std::string& name) {
  for (const InventoryServer& server : inventory.servers) {
    if (boost::algorithm::iequals(server.name, name)) return &server;
  }
  return nullptr;
}

bool AcceptsLogin(const InventoryServer& server, const std::string& user, const std::string& password) {
  for (const ServerCredential& credential : server.credentials) {
    if (!user.empty() && credential.user == user && credential.password == password) return true;
  }
  return false;
}

bool AcceptsGuestLogin(const InventoryVM& vm, const GuestCtx& ctx) {
  // Windows compares user names without regard to letter case; Unix does not.
  const bool sameUser = vm.guestOs == GuestOsFamily::Windows ? boost::algorithm::iequals(vm.guestUser, ctx.userName)
                                                             : vm.guestUser == ctx.userName;
  return sameUser && vm.guestPassword == ctx.password;
}

std::string Describe(const std::string& vmName, const std::string& vmGuid) {
  return "[" + vmName + "] [" + vmGuid + "]";
}

}  // namespace

InventoryVMInfo::InventoryVMInfo(VirtualServerInstanceType instanceType) : VMInfoBackEnd(instanceType) {}

InventoryVMInfo::~InventoryVMInfo() = default;

int InventoryVMInfo::RunInGuest(const char* origin, const GuestCtx& ctx, const GuestWork& work) {
  return Run(origin, [&]() {
    std::unique_ptr<GuestFolder> folder;
    VMInfoStatus status = OpenGuest(ctx, folder);
    if (!status.ok()) return status;
    folder->SetStaleTemporarySweep(&m_staleTemporaries);
    status = work(*folder);
    for (const std::string& removed : m_staleTemporaries.removed) {
      m_log.Debug(origin, "Removed stale temporary file [%s] of an earlier restore", removed.c_str());
    }
    m_staleTemporaries.removed.clear();
    return status;
  });
}

VMInfoStatus InventoryVMInfo::FindVM(const std::string& vmName, const std::string& vmGuid, InventoryVM& vm) {
  if (!m_connected) {
    return VMInfoStatus::Fail(VMInfoError::NotConnected,
                              "Not connected to a hypervisor server; ConnectToServer must succeed first");
  }
  if (vmName.empty() && vmGuid.empty()) return VMInfoStatus::Fail(VMInfoError::BadArgument, "No VM name or GUID given");
  Inventory inventory;
  VMInfoStatus status = InventoryStore::Load(inventory);
  if (!status.ok()) return status;
  const InventoryServer* server = FindServer(inventory, m_connectedServer);
  if (server == nullptr) {
    return VMInfoStatus::Fail(VMInfoError::ServerUnknown,
                              "Hypervisor server [" + m_connectedServer + "] is no longer in the inventory");
  }
  if (!vmGuid.empty()) {
    for (const InventoryVM& candidate : server->vms) {
      if (boost::algorithm::iequals(candidate.guid, vmGuid)) {
        vm = candidate;
        return VMInfoStatus::Ok();
      }
    }
  }
  const InventoryVM* named = nullptr;
  for (const InventoryVM& candidate : server->vms) {
    if (vmName.empty() || candidate.name != vmName) continue;
    if (named != nullptr) {
      return VMInfoStatus::Fail(VMInfoError::VMNotFound, "Several VMs are named [" + vmName + "] on server [" +
                                                             server->name + "]; give the VM's GUID");
    }
    named = &candidate;
  }
  if (named == nullptr) {
    return VMInfoStatus::Fail(VMInfoError::VMNotFound,
                              "VM " + Describe(vmName, vmGuid) + " was not found on server [" + server->name + "]");
  }
  vm = *named;
  return VMInfoStatus::Ok();
}

VMInfoStatus InventoryVMInfo::OpenGuest(const GuestCtx& ctx, std::unique_ptr<GuestFolder>& folder) {
  InventoryVM vm;
  VMInfoStatus status = FindVM(ctx.vmName, ctx.vmGuid, vm);
  if (!status.ok()) return status;
  if (vm.powerState != 1) {
    return VMInfoStatus::Fail(VMInfoError::VMNotPoweredOn,
                              "VM [" + vm.name + "] is not powered on; power it on for guest operations");
  }
  if (vm.guestUser.empty()) {
    return VMInfoStatus::Fail(VMInfoError::GuestLoginRefused,
                              "VM [" + vm.name + "] accepts no guest login: the inventory gives it none");
  }
  if (!AcceptsGuestLogin(vm, ctx)) {
    return VMInfoStatus::Fail(VMInfoError::GuestLoginRefused, "Guest login to VM [" + vm.name + "] as [" +
                                                                  ctx.userName + "] failed: wrong user name or password");
  }
  if (vm.guestFolder.empty()) {
    return VMInfoStatus::Fail(VMInfoError::NotSupported, "VM [" + vm.name +
                                                             "] has no guest folder in the inventory, so it offers no "
                                                             "guest file operations");
  }
  return GuestFolder::Open(vm.guestFolder, vm.guestOs, folder, m_destinationFolder);
}

int InventoryVMInfo::ConnectToServer(const std::string& server, const std::string& user, const std::string& password,
                                     std::vector<SHostCredentials>& credentials) {
  (void)credentials;
  const char* origin = kConnectToServerOrigin;
  return Run(origin, [&]() {
    m_connected = false;
    m_connectedServer.clear();
    Inventory inventory;
    VMInfoStatus status = InventoryStore::Load(inventory);
    if (!status.ok()) return status;
    const InventoryServer* listed = FindServer(inventory, server);
    if (listed == nullptr) {
      return VMInfoStatus::Fail(VMInfoError::ServerUnknown,
                                "Hypervisor server [" + server + "] is unknown: the inventory does not list it");
    }
    if (!listed->answers) {
      return VMInfoStatus::Fail(VMInfoError::ServerNotAnswering, "Hypervisor server [" + server +
                                                                     "] does not answer; check that it runs and can "
                                                                     "be reached");
    }
    if (listed->instanceType != 0 && listed->instanceType != m_instanceType) {
      return VMInfoStatus::Fail(VMInfoError::ServerKindMismatch,
                                "Hypervisor server [" + server + "] is of instance type " +
                                    std::to_string(listed->instanceType) + ", not of the requested type " +
                                    std::to_string(m_instanceType));
    }
    if (!AcceptsLogin(*listed, user, password)) {
      return VMInfoStatus::Fail(VMInfoError::LoginRefused, "Login to hypervisor server [" + server + "] as [" + user +
                                                               "] failed: wrong user name or password");
    }
    m_connected = true;
    m_connectedServer = listed->name;
    m_log.Debug(origin, "Connected to server [%s] as [%s]", listed->name.c_str(), user.c_str());
    return VMInfoStatus::Ok();
  });
}

int InventoryVMInfo::GetVMInfo(const std::string& vmName, const std::string& vmGuid, const std::string& serverName,
                               int64_t infoFlags, int reserved, VMInfoStructs::SVMInfo* info) {
  (void)serverName;  // the connected server is searched
  (void)infoFlags;
  (void)reserved;
  return Run(kGetVMInfoOrigin, [&]() {
    if (info == nullptr) return VMInfoStatus::Fail(VMInfoError::BadArgument, "No VM record to fill");
    InventoryVM vm;
    VMInfoStatus status = FindVM(vmName, vmGuid, vm);
    if (!status.ok()) return status;
    info->vmName = vm.name;
    info->vmGuid = vm.guid;
    info->hostName = vm.host;
    info->toolsDescription = vm.toolsDescription;
    info->toolsStatus = vm.toolsStatus;
    info->powerState = vm.powerState;
    info->guestIpAddress = boost::algorithm::join(vm.guestIpAddresses, ",");
    return VMInfoStatus::Ok();
  });
}

int InventoryVMInfo::BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                                 std::vector<VMInfoStructs::SGuestFile>& entries) {
  return RunInGuest(kBrowseGuestOrigin, ctx,
                    [&](const GuestFolder& folder) { return folder.Browse(guestPath, false, entries); });
}

int InventoryVMInfo::BrowseGuestFolders(const GuestCtx& ctx, const std::string& guestPath,
                                        std::vector<VMInfoStructs::SGuestFile>& entries) {
  return RunInGuest(kBrowseGuestFoldersOrigin, ctx,
                    [&](const GuestFolder& folder) { return folder.Browse(guestPath, true, entries); });
}

int InventoryVMInfo::CreateGuestFolder(const GuestCtx& ctx, const std::string& guestPath) {
  return RunInGuest(kCreateGuestFolderOrigin, ctx,
                    [&](const GuestFolder& folder) { return folder.CreateFolder(guestPath); });
}

int InventoryVMInfo::CopyFileToGuest(const GuestCtx& ctx, const std::string& localFile, const std::string& guestFile,
                                     bool overwrite) {
  // For Unix guests of Hyper-V the controller names the folder that is to hold the file.
  const bool pathNamesFolder = m_instanceType == VSInstanceHyperV;
  return RunInGuest(kCopyFileToGuestOrigin, ctx, [&](const GuestFolder& folder) {
    const bool intoFolder = pathNamesFolder && folder.family() == GuestOsFamily::Unix;
    return folder.CopyFileIn(localFile, guestFile, overwrite,
                             intoFolder ? GuestFolder::CopyTarget::Folder : GuestFolder::CopyTarget::File,
                             m_backupSuffix);
  });
}

int InventoryVMInfo::CopyDirectoryToGuest(const GuestCtx& ctx, const std::string& localDir,
                                          const std::string& guestDir, bool overwrite) {
  return RunInGuest(kCopyDirectoryToGuestOrigin, ctx,
                    [&](const GuestFolder& folder) { return folder.CopyTreeIn(localDir, guestDir, overwrite); });
}

int InventoryVMInfo::CopyFileFromGuest(const GuestCtx& ctx, const std::string& guestFile,
                                       const std::string& localFile) {
  return RunInGuest(kCopyFileFromGuestOrigin, ctx,
                    [&](const GuestFolder& folder) { return folder.CopyFileOut(guestFile, localFile); });
}

int InventoryVMInfo::ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& guestPath,
                                               const VMInfoStructs::SGuestFile& attributes) {
  return RunInGuest(kChangeGuestFileAttributesOrigin, ctx,
                    [&](const GuestFolder& folder) { return folder.ChangeAttributes(guestPath, attributes); });
}

int InventoryVMInfo::PrepareGuestForFileCopy(const GuestCtx& ctx) {
  return Run(kPrepareGuestForFileCopyOrigin, [&]() {
    InventoryVM vm;
    VMInfoStatus status = FindVM(ctx.vmName, ctx.vmGuid, vm);
    if (!status.ok()) return status;
    if (vm.powerState != 1) {
      return VMInfoStatus::Fail(VMInfoError::VMNotPoweredOn,
                                "VM [" + vm.name + "] is not powered on; power it on to prepare it for file copy");
    }
    if (vm.preparation.errorCode == 0) return VMInfoStatus::Ok();
    std::string text = vm.preparation.errorText;
    if (text.empty()) {
      text = "Guest preparation of VM [" + vm.name + "] failed with code " + std::to_string(vm.preparation.errorCode);
    }
    return VMInfoStatus::FailWithCode(vm.preparation.errorCode, text);
  });
}

int InventoryVMInfo::ExecuteScriptInGuest(const GuestCtx&, const std::string&, int) {
  return RefuseUnsupported(kExecuteScriptInGuestOrigin, "Running scripts in the guest is not supported");
}

int InventoryVMInfo::ExecuteProcessInGuest(const GuestCtx&, const std::string& program, const std::string&,
                                           const std::string&, int, int& exitCode) {
  exitCode = 0;
  return RefuseUnsupported(kExecuteProcessInGuestOrigin,
                           "Running programs in the guest is not supported (program [" + program + "])");
}

int InventoryVMInfo::IsProcessRunningInGuest(const GuestCtx&, const std::string& program, long&, bool& running) {
  running = false;
  return RefuseUnsupported(kIsProcessRunningInGuestOrigin,
                           "Watching programs in the guest is not supported (program [" + program + "])");
}

int InventoryVMInfo::GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) {
  return RunInGuest(kGetGuestTempFolderOrigin, ctx, [&](const GuestFolder& guest) { return guest.TempFolder(folder); });
}

int InventoryVMInfo::DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) {
  return RunInGuest(kDeleteDirectoryInGuestOrigin, ctx,
                    [&](const GuestFolder& folder) { return folder.DeleteFolder(guestPath); });
}

int InventoryVMInfo::HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                                    std::vector<std::string>& digests) {
  digests.clear();
  std::vector<std::string> answered(guestFiles.size());
  const int result = RunInGuest(kHashGuestFilesOrigin, ctx, [&](const GuestFolder& folder) {
    const std::string batchProblem = HashBatchProblem(guestFiles.size());
    if (!batchProblem.empty()) return VMInfoStatus::Fail(VMInfoError::GuestFileError, batchProblem);
    VMInfoStatus status = VMInfoStatus::Ok();
    for (size_t i = 0; status.ok() && i < guestFiles.size(); ++i) status = folder.Sha256(guestFiles[i], answered[i]);
    return status;
  });
  if (result) digests = std::move(answered);
  return result;
}

int InventoryVMInfo::SetBackupSuffix(const std::string& suffix) {
  return Run(kSetBackupSuffixOrigin, [&]() {
    const std::string problem = suffix.empty() ? std::string() : ReplaceChoices::BackupSuffixProblem(suffix);
    if (!problem.empty()) return VMInfoStatus::Fail(VMInfoError::GuestFileError, problem);
    m_backupSuffix = suffix;
    return VMInfoStatus::Ok();
  });
}

// Forwards every operation to the component, with the destination folder set for its duration.
class InventoryVMInfo::DestinationView : public IVMInfo, public IGuestReplaceChoices {
 public:
  DestinationView(InventoryVMInfo& base, std::string folder) : m_base(base), m_folder(std::move(folder)) {}

  int ConnectToServer(const std::string& server, const std::string& user, const std::string& password,
                      std::vector<SHostCredentials>& credentials) override {
    return m_base.ConnectToServer(server, user, password, credentials);
  }
  VirtualServerInstanceType GetInstanceType() override { return m_base.GetInstanceType(); }
  int GetLastErrorCode() override { return m_base.GetLastErrorCode(); }
  std::string GetLastErrorString() override { return m_base.GetLastErrorString(); }
  int GetVMInfo(const std::string& vmName, const std::string& vmGuid, const std::string& serverName, int64_t infoFlags,
                int reserved, VMInfoStructs::SVMInfo* info) override {
    return m_base.GetVMInfo(vmName, vmGuid, serverName, infoFlags, reserved, info);
  }
  int BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                  std::vector<VMInfoStructs::SGuestFile>& entries) override {
    return Scoped([&] { return m_base.BrowseGuest(ctx, guestPath, entries); });
  }
  int BrowseGuestFolders(const GuestCtx& ctx, const std::string& guestPath,
                         std::vector<VMInfoStructs::SGuestFile>& entries) override {
    return Scoped([&] { return m_base.BrowseGuestFolders(ctx, guestPath, entries); });
  }
  int CreateGuestFolder(const GuestCtx& ctx, const std::string& guestPath) override {
    return Scoped([&] { return m_base.CreateGuestFolder(ctx, guestPath); });
  }
  int CopyFileToGuest(const GuestCtx& ctx, const std::string& localFile, const std::string& guestFile,
                      bool overwrite) override {
    return Scoped([&] { return m_base.CopyFileToGuest(ctx, localFile, guestFile, overwrite); });
  }
  int CopyDirectoryToGuest(const GuestCtx& ctx, const std::string& localDir, const std::string& guestDir,
                           bool overwrite) override {
    return Scoped([&] { return m_base.CopyDirectoryToGuest(ctx, localDir, guestDir, overwrite); });
  }
  int CopyFileFromGuest(const GuestCtx& ctx, const std::string& guestFile, const std::string& localFile) override {
    return Scoped([&] { return m_base.CopyFileFromGuest(ctx, guestFile, localFile); });
  }
  int ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& guestPath,
                                const VMInfoStructs::SGuestFile& attributes) override {
    return Scoped([&] { return m_base.ChangeGuestFileAttributes(ctx, guestPath, attributes); });
  }
  int PrepareGuestForFileCopy(const GuestCtx& ctx) override {
    return Scoped([&] { return m_base.PrepareGuestForFileCopy(ctx); });
  }
  int ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, int timeoutSeconds) override {
    return m_base.ExecuteScriptInGuest(ctx, script, timeoutSeconds);
  }
  int ExecuteProcessInGuest(const GuestCtx& ctx, const std::string& program, const std::string& arguments,
                            const std::string& workingDir, int timeoutSeconds, int& exitCode) override {
    return m_base.ExecuteProcessInGuest(ctx, program, arguments, workingDir, timeoutSeconds, exitCode);
  }
  int IsProcessRunningInGuest(const GuestCtx& ctx, const std::string& program, long& processId,
                              bool& running) override {
    return m_base.IsProcessRunningInGuest(ctx, program, processId, running);
  }
  int GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) override {
    return Scoped([&] { return m_base.GetGuestTempFolder(ctx, folder); });
  }
  int DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) override {
    return Scoped([&] { return m_base.DeleteDirectoryInGuest(ctx, guestPath); });
  }
  int HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                     std::vector<std::string>& digests) override {
    return Scoped([&] { return m_base.HashGuestFiles(ctx, guestFiles, digests); });
  }
  int SetBackupSuffix(const std::string& suffix) override { return m_base.SetBackupSuffix(suffix); }

 private:
  template <typename Operation>
  int Scoped(const Operation& operation) {
    std::string outer = std::move(m_base.m_destinationFolder);
    m_base.m_destinationFolder = m_folder;
    const int result = operation();
    m_base.m_destinationFolder = std::move(outer);
    return result;
  }

  InventoryVMInfo& m_base;
  const std::string m_folder;
};

IVMInfo* InventoryVMInfo::ScopeToDestination(const std::string& folder) {
  return new (std::nothrow) DestinationView(*this, folder);
}
