// Origin labels of the log lines of the inventory back-end of the VM-information component,
// shared by its code and its tests, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace InventoryVMInfoOrigins {

constexpr const char* kConnectToServerOrigin =
    "virtual int InventoryVMInfo::ConnectToServer(const string&, const string&, const string&, "
    "std::vector<SHostCredentials>&)";
constexpr const char* kGetVMInfoOrigin =
    "virtual int InventoryVMInfo::GetVMInfo(const string&, const string&, const string&, int64_t, int, "
    "VMInfoStructs::SVMInfo*)";
constexpr const char* kBrowseGuestOrigin =
    "virtual int InventoryVMInfo::BrowseGuest(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kBrowseGuestFoldersOrigin =
    "virtual int InventoryVMInfo::BrowseGuestFolders(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kCreateGuestFolderOrigin =
    "virtual int InventoryVMInfo::CreateGuestFolder(const GuestCtx&, const string&)";
constexpr const char* kCopyFileToGuestOrigin =
    "virtual int InventoryVMInfo::CopyFileToGuest(const GuestCtx&, const string&, const string&, bool)";
constexpr const char* kCopyDirectoryToGuestOrigin =
    "virtual int InventoryVMInfo::CopyDirectoryToGuest(const GuestCtx&, const string&, const string&, bool)";
constexpr const char* kCopyFileFromGuestOrigin =
    "virtual int InventoryVMInfo::CopyFileFromGuest(const GuestCtx&, const string&, const string&)";
constexpr const char* kChangeGuestFileAttributesOrigin =
    "virtual int InventoryVMInfo::ChangeGuestFileAttributes(const GuestCtx&, const string&, "
    "const VMInfoStructs::SGuestFile&)";
constexpr const char* kPrepareGuestForFileCopyOrigin =
    "virtual int InventoryVMInfo::PrepareGuestForFileCopy(const GuestCtx&)";
constexpr const char* kExecuteScriptInGuestOrigin =
    "virtual int InventoryVMInfo::ExecuteScriptInGuest(const GuestCtx&, const string&, int)";
constexpr const char* kExecuteProcessInGuestOrigin =
    "virtual int InventoryVMInfo::ExecuteProcessInGuest(const GuestCtx&, const string&, const string&, "
    "const string&, int, int&)";
constexpr const char* kIsProcessRunningInGuestOrigin =
    "virtual int InventoryVMInfo::IsProcessRunningInGuest(const GuestCtx&, const string&, long int&, bool&)";
constexpr const char* kGetGuestTempFolderOrigin =
    "virtual int InventoryVMInfo::GetGuestTempFolder(const GuestCtx&, string&)";
constexpr const char* kDeleteDirectoryInGuestOrigin =
    "virtual int InventoryVMInfo::DeleteDirectoryInGuest(const GuestCtx&, string&)";
constexpr const char* kHashGuestFilesOrigin =
    "virtual int InventoryVMInfo::HashGuestFiles(const GuestCtx&, const std::vector<std::__cxx11::basic_string<char> "
    ">&, std::vector<std::__cxx11::basic_string<char> >&)";
constexpr const char* kSetBackupSuffixOrigin = "virtual int InventoryVMInfo::SetBackupSuffix(const string&)";

}  // namespace InventoryVMInfoOrigins
