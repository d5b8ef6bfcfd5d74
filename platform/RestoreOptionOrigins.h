// Origin labels of the log lines of the restore-options message,
// shared by its code and its tests, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace RestoreOptionOrigins {

constexpr const char* kReportUnknownAddressOrigin =
    "void CNMessageBase::ReportUnknownAddress(const char*, short int, short int) const";
constexpr const char* kLoadFromJsonOrigin = "bool TMMsg::RestoreOption::LoadFromJson(const string&)";
constexpr const char* kLoadFromJsonFileOrigin = "bool TMMsg::RestoreOption::LoadFromJsonFile(const string&)";

}  // namespace RestoreOptionOrigins
