// Origin labels of the log lines of the application manager,
// shared by its code and its tests, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace vsAppMgrOrigins {

constexpr const char* kGetInstanceIdOrigin = "bool vsAppMgr::GetInstanceId(long unsigned int, long unsigned int&)";
constexpr const char* kQuerySettingsOrigin = "int vsAppMgr::querySettings()";
constexpr const char* kLoadInstanceOrigin = "int vsAppMgr::LoadInstance(long unsigned int)";
constexpr const char* kLoadConfigurationOrigin = "bool vsAppMgr::LoadConfiguration()";

}  // namespace vsAppMgrOrigins
