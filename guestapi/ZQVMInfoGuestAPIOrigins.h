// Origin labels of the log lines of the native guest channel,
// shared by its code and its tests, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace ZQVMInfoGuestAPIOrigins {

constexpr const char* kBrowseGuestOrigin =
    "virtual int ZQVMInfoGuestAPI::BrowseGuest(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kBrowseGuestFoldersOrigin =
    "virtual int ZQVMInfoGuestAPI::BrowseGuestFolders(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kCreateGuestFolderOrigin =
    "virtual int ZQVMInfoGuestAPI::CreateGuestFolder(const GuestCtx&, const string&)";
constexpr const char* kCopyFileToGuestOrigin =
    "virtual int ZQVMInfoGuestAPI::CopyFileToGuest(const GuestCtx&, const string&, const string&, bool)";
constexpr const char* kCopyDirectoryToGuestOrigin =
    "virtual int ZQVMInfoGuestAPI::CopyDirectoryToGuest(const GuestCtx&, const string&, const string&, bool)";
constexpr const char* kCopyFileFromGuestOrigin =
    "virtual int ZQVMInfoGuestAPI::CopyFileFromGuest(const GuestCtx&, const string&, const string&)";
constexpr const char* kChangeGuestFileAttributesOrigin =
    "virtual int ZQVMInfoGuestAPI::ChangeGuestFileAttributes(const GuestCtx&, const string&, "
    "const VMInfoStructs::SGuestFile&)";
constexpr const char* kPrepareGuestForFileCopyOrigin =
    "virtual int ZQVMInfoGuestAPI::PrepareGuestForFileCopy(const GuestCtx&)";
constexpr const char* kExecuteScriptInGuestOrigin =
    "virtual int ZQVMInfoGuestAPI::ExecuteScriptInGuest(const GuestCtx&, const string&, int)";
constexpr const char* kExecuteProcessInGuestOrigin =
    "virtual int ZQVMInfoGuestAPI::ExecuteProcessInGuest(const GuestCtx&, const string&, const string&, "
    "const string&, int, int&)";
constexpr const char* kIsProcessRunningInGuestOrigin =
    "virtual int ZQVMInfoGuestAPI::IsProcessRunningInGuest(const GuestCtx&, const string&, long int&, bool&)";
constexpr const char* kGetGuestTempFolderOrigin =
    "virtual int ZQVMInfoGuestAPI::GetGuestTempFolder(const GuestCtx&, string&)";
constexpr const char* kDeleteDirectoryInGuestOrigin =
    "virtual int ZQVMInfoGuestAPI::DeleteDirectoryInGuest(const GuestCtx&, string&)";
constexpr const char* kHashGuestFilesOrigin =
    "virtual int ZQVMInfoGuestAPI::HashGuestFiles(const GuestCtx&, const std::vector<std::__cxx11::basic_string<char> "
    ">&, std::vector<std::__cxx11::basic_string<char> >&)";
constexpr const char* kSetBackupSuffixOrigin = "virtual int ZQVMInfoGuestAPI::SetBackupSuffix(const string&)";

}  // namespace ZQVMInfoGuestAPIOrigins
