// Origin labels of the log lines of the Windows command channel,
// shared by its code and its tests, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace ZQWinGuestAPIOrigins {

constexpr const char* kInitOrigin = "virtual bool ZQWinGuestAPI::Init(const GuestLoginCred&)";
constexpr const char* kIsGuestWindowsOrigin = "bool ZQWinGuestAPI::IsGuestWindows()";
constexpr const char* kBuildPowerShellCommandOrigin =
    "bool ZQWinGuestAPI::BuildPowerShellCommand(const string&, bool, string&)";
constexpr const char* kBrowseGuestOrigin =
    "virtual int ZQWinGuestAPI::BrowseGuest(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kBrowseGuestFolderOrigin =
    "int ZQWinGuestAPI::BrowseGuestFolder(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kBrowseGuestFoldersOrigin =
    "virtual int ZQWinGuestAPI::BrowseGuestFolders(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kParseBrowseResponseFolderOrigin =
    "bool ZQWinGuestAPI::ParseBrowseResponseFolder(const string&, std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kCreateGuestFolderOrigin =
    "virtual int ZQWinGuestAPI::CreateGuestFolder(const GuestCtx&, const string&)";
constexpr const char* kDeleteDirectoryInGuestOrigin =
    "virtual int ZQWinGuestAPI::DeleteDirectoryInGuest(const GuestCtx&, string&)";
constexpr const char* kChangeGuestFileAttributesOrigin =
    "virtual int ZQWinGuestAPI::ChangeGuestFileAttributes(const GuestCtx&, const string&, "
    "const VMInfoStructs::SGuestFile&)";
constexpr const char* kCopyFileToGuestOrigin =
    "virtual int ZQWinGuestAPI::CopyFileToGuest(const GuestCtx&, const string&, const string&, bool)";
constexpr const char* kHashGuestFilesOrigin =
    "virtual int ZQWinGuestAPI::HashGuestFiles(const GuestCtx&, const std::vector<std::__cxx11::basic_string<char> >&, "
    "std::vector<std::__cxx11::basic_string<char> >&)";
constexpr const char* kSetBackupSuffixOrigin = "virtual int ZQWinGuestAPI::SetBackupSuffix(const string&)";

}  // namespace ZQWinGuestAPIOrigins
