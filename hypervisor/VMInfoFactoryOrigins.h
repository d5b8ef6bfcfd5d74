// Origin labels of the log lines of the VM-information component's factory,
// shared by its code and its tests, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace VMInfoFactoryOrigins {

constexpr const char* kCreateVMInfoObjectOrigin = "int CreateVMInfoObject(int, IVMInfo**)";

}  // namespace VMInfoFactoryOrigins
