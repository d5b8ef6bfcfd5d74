// Origin labels of the log lines of the command-channel base and the channel selection,
// shared by its code and its tests, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace ZQGuestAPIOrigins {

// ZQGuestAPI.cpp
constexpr const char* kInitOrigin = "virtual bool CGuestAPI::Init(const GuestLoginCred&)";
constexpr const char* kExecuteOrigin = "virtual bool CGuestAPI::ExecuteCommand(const string&, string&)";
constexpr const char* kCopyDirOrigin =
    "virtual int CGuestAPI::CopyDirectoryToGuest(const GuestCtx&, const string&, const string&, bool)";
constexpr const char* kDeInitOrigin = "virtual int CGuestAPI::DeInitStagingFolder(const string&, const string&)";

// GuestChannelSelection.cpp
constexpr const char* kFactoryOrigin =
    "bool CreateGuestAPIObject(IVMInfo*, const GuestCtx&, std::unique_ptr<IGuestAPI>&, string&, bool)";
constexpr const char* kZqOrigin =
    "static bool IGuestAPI::CreateZqGuestAPIObject(IVMInfo*, const GuestCtx&, std::unique_ptr<IGuestAPI>&, "
    "string&)";
constexpr const char* kNativeOrigin =
    "static bool IGuestAPI::CreateNativeGuestAPIObject(IVMInfo*, const GuestCtx&, std::unique_ptr<IGuestAPI>&, "
    "string&)";

}  // namespace ZQGuestAPIOrigins
