// Origin labels of the restore controller's log lines, shared by the controller and its tests.
// Each is the writing function's full signature in the one form every origin label of the product
// takes: std::string is written "string", every other name keeps its namespace. Labels that
// callers of the library look for stay exactly as they are here. The names live in a namespace
// named after the unit; a source file of the unit opens it with a using-directive.
#pragma once

namespace VSAgentlessRestoreToVMOrigins {

// VSAgentlessRestoreToVMFactory.cpp
constexpr const char* kCreateControllerOrigin = "bool CreateVSAgentlessRestoreToVMObject(IVSAgentlessRestoreToVM**)";

// VSAgentlessRestoreToVMJobOptions.cpp
constexpr const char* kGetJobOptionsOrigin =
    "virtual bool CVSAgentlessRestoreToVM::GetJobOptions(TMMsg::RestoreOption*)";
// The last line of GetJobOptions carries the short name only.
constexpr const char* kGetJobOptionsShortOrigin = "GetJobOptions";
constexpr const char* kPrepareVMInfoOrigin =
    "virtual bool CVSAgentlessRestoreToVM::PrepareVMInfoObject(const string&, const string&, const string&, int)";
constexpr const char* kPrepareGuestAPIOrigin = "bool CVSAgentlessRestoreToVM::PrepareGuestAPIObject(const GuestCtx&)";

// VSAgentlessRestoreToVMFolders.cpp
constexpr const char* kGenerateFoldersOrigin = "virtual bool CVSAgentlessRestoreToVM::GenerateGuestAndStagingFolders()";
// The line that publishes the staging folder carries the short name only.
constexpr const char* kGenerateFoldersShortOrigin = "GenerateGuestAndStagingFolders";
constexpr const char* kInitStagingOrigin = "virtual bool CVSAgentlessRestoreToVM::InitStagingFolder()";
constexpr const char* kDeInitStagingOrigin = "virtual bool CVSAgentlessRestoreToVM::DeInitStagingFolder()";
constexpr const char* kGuestFilePathOrigin =
    "virtual void CVSAgentlessRestoreToVM::GenerateGuestFilePath(const string&, string&)";

// VSAgentlessRestoreToVM.cpp
constexpr const char* kRestoreToVMOrigin =
    "virtual bool CVSAgentlessRestoreToVM::RestoreToVM(const char*, u_longlong_t, u_longlong_t, CXFileHeader*, "
    "string&, bool&, bool&)";
constexpr const char* kRestoreImageLevelOrigin =
    "virtual bool CVSAgentlessRestoreToVM::RestoreToVM_ImageLevel(const string&, u_longlong_t, u_longlong_t, bool, "
    "u_longlong_t&, bool&)";
constexpr const char* kCopyToGuestOrigin =
    "virtual bool CVSAgentlessRestoreToVM::CopyToGuest(const string&, const string&, bool, bool&, bool&)";
constexpr const char* kUpdateUnixPermissionsOrigin =
    "virtual bool CVSAgentlessRestoreToVM::UpdateUnixPermissions(const string&, CXFileHeader*)";
constexpr const char* kUpdateFileTimesOrigin = "virtual bool CVSAgentlessRestoreToVM::UpdateFileTimes(const string&)";
constexpr const char* kLookUpOrigin =
    "CVSAgentlessRestoreToVM::GuestEntryState CVSAgentlessRestoreToVM::LookUpGuestEntry(const string&, "
    "VMInfoStructs::SGuestFile&, bool&, int)";

}  // namespace VSAgentlessRestoreToVMOrigins
