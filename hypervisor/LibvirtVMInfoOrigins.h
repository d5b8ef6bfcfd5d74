// Origin labels of the log lines of the libvirt back-end of the VM-information component,
// shared by its code and its tests, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace LibvirtVMInfoOrigins {

constexpr const char* kConnectToServerOrigin =
    "virtual int LibvirtVMInfo::ConnectToServer(const string&, const string&, const string&, "
    "std::vector<SHostCredentials>&)";
constexpr const char* kGetVMInfoOrigin =
    "virtual int LibvirtVMInfo::GetVMInfo(const string&, const string&, const string&, int64_t, int, "
    "VMInfoStructs::SVMInfo*)";
constexpr const char* kOpenGuestOrigin = "VMInfoStatus LibvirtVMInfo::OpenGuest(const GuestCtx&, bool, Guest*&)";
constexpr const char* kBrowseGuestOrigin =
    "virtual int LibvirtVMInfo::BrowseGuest(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kBrowseGuestFoldersOrigin =
    "virtual int LibvirtVMInfo::BrowseGuestFolders(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kCreateGuestFolderOrigin =
    "virtual int LibvirtVMInfo::CreateGuestFolder(const GuestCtx&, const string&)";
constexpr const char* kCopyFileToGuestOrigin =
    "virtual int LibvirtVMInfo::CopyFileToGuest(const GuestCtx&, const string&, const string&, bool)";
constexpr const char* kCopyDirectoryToGuestOrigin =
    "virtual int LibvirtVMInfo::CopyDirectoryToGuest(const GuestCtx&, const string&, const string&, bool)";
constexpr const char* kCopyFileFromGuestOrigin =
    "virtual int LibvirtVMInfo::CopyFileFromGuest(const GuestCtx&, const string&, const string&)";
constexpr const char* kChangeGuestFileAttributesOrigin =
    "virtual int LibvirtVMInfo::ChangeGuestFileAttributes(const GuestCtx&, const string&, "
    "const VMInfoStructs::SGuestFile&)";
constexpr const char* kPrepareGuestForFileCopyOrigin =
    "virtual int LibvirtVMInfo::PrepareGuestForFileCopy(const GuestCtx&)";
constexpr const char* kExecuteScriptInGuestOrigin =
    "virtual int LibvirtVMInfo::ExecuteScriptInGuest(const GuestCtx&, const string&, int)";
constexpr const char* kExecuteProcessInGuestOrigin =
    "virtual int LibvirtVMInfo::ExecuteProcessInGuest(const GuestCtx&, const string&, const string&, "
    "const string&, int, int&)";
constexpr const char* kIsProcessRunningInGuestOrigin =
    "virtual int LibvirtVMInfo::IsProcessRunningInGuest(const GuestCtx&, const string&, long int&, bool&)";
constexpr const char* kGetGuestTempFolderOrigin =
    "virtual int LibvirtVMInfo::GetGuestTempFolder(const GuestCtx&, string&)";
constexpr const char* kDeleteDirectoryInGuestOrigin =
    "virtual int LibvirtVMInfo::DeleteDirectoryInGuest(const GuestCtx&, string&)";
constexpr const char* kHashGuestFilesOrigin =
    "virtual int LibvirtVMInfo::HashGuestFiles(const GuestCtx&, const std::vector<std::__cxx11::basic_string<char> >&, "
    "std::vector<std::__cxx11::basic_string<char> >&)";
constexpr const char* kSetBackupSuffixOrigin = "virtual int LibvirtVMInfo::SetBackupSuffix(const string&)";

}  // namespace LibvirtVMInfoOrigins
