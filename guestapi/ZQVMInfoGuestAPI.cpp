#include "guestapi/ZQVMInfoGuestAPI.h"

#include "guestapi/ZQVMInfoGuestAPIOrigins.h"
#include "vminfo/IVMInfoDestinationScope.h"

using namespace ZQVMInfoGuestAPIOrigins;

ZQVMInfoGuestAPI::ZQVMInfoGuestAPI(IVMInfo* vmInfo) : CGuestAPI(vmInfo) {}

ZQVMInfoGuestAPI::~ZQVMInfoGuestAPI() = default;

void ZQVMInfoGuestAPI::ScopeToDestination(const std::string& folder) {
  m_destinationView.reset();
  auto* scope = dynamic_cast<IVMInfoDestinationScope*>(m_pVMInfo);
  if (scope != nullptr) m_destinationView.reset(scope->ScopeToDestination(folder));
}

// The channel selection never builds this channel without a component; should anyone else do so,
// every operation fails instead of dereferencing a null pointer.
bool ZQVMInfoGuestAPI::HasComponent(const char* origin) {
  if (m_pVMInfo != nullptr) return true;
  m_lastErrorDetails = "No VM-information component for the native guest channel";
  m_log.Error(origin, "%s", m_lastErrorDetails.c_str());
  return false;
}

int ZQVMInfoGuestAPI::BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                                  std::vector<VMInfoStructs::SGuestFile>& entries) {
  if (!HasComponent(kBrowseGuestOrigin)) return 0;
  return Component()->BrowseGuest(ctx, guestPath, entries);
}

int ZQVMInfoGuestAPI::BrowseGuestFolders(const GuestCtx& ctx, const std::string& guestPath,
                                         std::vector<VMInfoStructs::SGuestFile>& entries) {
  if (!HasComponent(kBrowseGuestFoldersOrigin)) return 0;
  return Component()->BrowseGuestFolders(ctx, guestPath, entries);
}

int ZQVMInfoGuestAPI::CreateGuestFolder(const GuestCtx& ctx, const std::string& guestPath) {
  if (!HasComponent(kCreateGuestFolderOrigin)) return 0;
  return Component()->CreateGuestFolder(ctx, guestPath);
}

int ZQVMInfoGuestAPI::CopyFileToGuest(const GuestCtx& ctx, const std::string& localFile,
                                      const std::string& guestFile, bool overwrite) {
  if (!HasComponent(kCopyFileToGuestOrigin)) return 0;
  return Component()->CopyFileToGuest(ctx, localFile, guestFile, overwrite);
}

int ZQVMInfoGuestAPI::CopyDirectoryToGuest(const GuestCtx& ctx, const std::string& localDir,
                                           const std::string& guestDir, bool overwrite) {
  if (!HasComponent(kCopyDirectoryToGuestOrigin)) return 0;
  return Component()->CopyDirectoryToGuest(ctx, localDir, guestDir, overwrite);
}

int ZQVMInfoGuestAPI::CopyFileFromGuest(const GuestCtx& ctx, const std::string& guestFile,
                                        const std::string& localFile) {
  if (!HasComponent(kCopyFileFromGuestOrigin)) return 0;
  return Component()->CopyFileFromGuest(ctx, guestFile, localFile);
}

int ZQVMInfoGuestAPI::ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& guestPath,
                                                const VMInfoStructs::SGuestFile& attributes) {
  if (!HasComponent(kChangeGuestFileAttributesOrigin)) return 0;
  return Component()->ChangeGuestFileAttributes(ctx, guestPath, attributes);
}

int ZQVMInfoGuestAPI::PrepareGuestForFileCopy(const GuestCtx& ctx) {
  if (!HasComponent(kPrepareGuestForFileCopyOrigin)) return 0;
  return Component()->PrepareGuestForFileCopy(ctx);
}

int ZQVMInfoGuestAPI::ExecuteScriptInGuest(const GuestCtx& ctx, const std::string& script, int timeoutSeconds) {
  if (!HasComponent(kExecuteScriptInGuestOrigin)) return 0;
  return Component()->ExecuteScriptInGuest(ctx, script, timeoutSeconds);
}

int ZQVMInfoGuestAPI::ExecuteProcessInGuest(const GuestCtx& ctx, const std::string& program,
                                            const std::string& arguments, const std::string& workingDir,
                                            int timeoutSeconds, int& exitCode) {
  if (!HasComponent(kExecuteProcessInGuestOrigin)) return 0;
  return Component()->ExecuteProcessInGuest(ctx, program, arguments, workingDir, timeoutSeconds, exitCode);
}

int ZQVMInfoGuestAPI::IsProcessRunningInGuest(const GuestCtx& ctx, const std::string& program, long& processId,
                                              bool& running) {
  if (!HasComponent(kIsProcessRunningInGuestOrigin)) return 0;
  return Component()->IsProcessRunningInGuest(ctx, program, processId, running);
}

int ZQVMInfoGuestAPI::GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) {
  if (!HasComponent(kGetGuestTempFolderOrigin)) return 0;
  return Component()->GetGuestTempFolder(ctx, folder);
}

int ZQVMInfoGuestAPI::DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) {
  if (!HasComponent(kDeleteDirectoryInGuestOrigin)) return 0;
  return Component()->DeleteDirectoryInGuest(ctx, guestPath);
}

std::string ZQVMInfoGuestAPI::GetLastGuestApiErrorDetails() {
  return m_pVMInfo != nullptr ? m_pVMInfo->GetLastErrorString() : m_lastErrorDetails;
}

IGuestReplaceChoices* ZQVMInfoGuestAPI::ComponentChoices(const char* origin) {
  if (!HasComponent(origin)) return nullptr;
  auto* choices = dynamic_cast<IGuestReplaceChoices*>(Component());
  if (choices != nullptr) return choices;
  m_lastErrorDetails = "The VM-information component offers no digests of guest files nor backups";
  m_log.Error(origin, "%s", m_lastErrorDetails.c_str());
  return nullptr;
}

int ZQVMInfoGuestAPI::HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                                     std::vector<std::string>& digests) {
  IGuestReplaceChoices* choices = ComponentChoices(kHashGuestFilesOrigin);
  return choices == nullptr ? 0 : choices->HashGuestFiles(ctx, guestFiles, digests);
}

int ZQVMInfoGuestAPI::SetBackupSuffix(const std::string& suffix) {
  IGuestReplaceChoices* choices = ComponentChoices(kSetBackupSuffixOrigin);
  return choices == nullptr ? 0 : choices->SetBackupSuffix(suffix);
}
