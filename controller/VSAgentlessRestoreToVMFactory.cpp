#include <new>

#include "controller/VSAgentlessRestoreToVM.h"

extern "C" bool CreateVSAgentlessRestoreToVMObject(IVSAgentlessRestoreToVM** out) {
  static constexpr const char* kOrigin = "bool CreateVSAgentlessRestoreToVMObject(IVSAgentlessRestoreToVM**)";
  EvEvent log;
  *out = new (std::nothrow) CVSAgentlessRestoreToVM();
  if (*out != nullptr) {
    log.DebugLvl(kOrigin, 2, "Successfully create CVSAgentlessRestoreToVM class");
    return true;
  }
  log.Error(kOrigin, "Failed to create CVSAgentlessRestoreToVM class.");
  return false;
}
