// Origin labels of the log lines of the Unix command channel,
// shared by its code and its tests, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace ZQUnixGuestAPIOrigins {

constexpr const char* kIsGuestUnixOrigin = "bool ZQUnixGuestAPI::IsGuestUnix()";
constexpr const char* kBrowseOrigin =
    "virtual int ZQUnixGuestAPI::BrowseGuest(const GuestCtx&, const string&, std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kBrowseFolderOrigin =
    "int ZQUnixGuestAPI::BrowseGuestFolder(const GuestCtx&, const string&, std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kBrowseFoldersOrigin =
    "virtual int ZQUnixGuestAPI::BrowseGuestFolders(const GuestCtx&, const string&, "
    "std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kParseOrigin =
    "bool ZQUnixGuestAPI::ParseBrowseResponse(const string&, std::vector<VMInfoStructs::SGuestFile>&)";
constexpr const char* kCreateFolderOrigin =
    "virtual int ZQUnixGuestAPI::CreateGuestFolder(const GuestCtx&, const string&)";
constexpr const char* kDeleteFolderOrigin = "virtual int ZQUnixGuestAPI::DeleteDirectoryInGuest(const GuestCtx&, string&)";
constexpr const char* kAttributesOrigin =
    "virtual int ZQUnixGuestAPI::ChangeGuestFileAttributes(const GuestCtx&, const string&, const "
    "VMInfoStructs::SGuestFile&)";
constexpr const char* kCopyOrigin =
    "virtual int ZQUnixGuestAPI::CopyFileToGuest(const GuestCtx&, const string&, const string&, bool)";
constexpr const char* kHashOrigin =
    "virtual int ZQUnixGuestAPI::HashGuestFiles(const GuestCtx&, const std::vector<std::__cxx11::basic_string<char> "
    ">&, std::vector<std::__cxx11::basic_string<char> >&)";
constexpr const char* kBackupSuffixOrigin = "virtual int ZQUnixGuestAPI::SetBackupSuffix(const string&)";

}  // namespace ZQUnixGuestAPIOrigins
