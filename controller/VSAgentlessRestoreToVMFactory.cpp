#include <new>

#include "controller/VSAgentlessRestoreToVM.h"
#include "controller/VSAgentlessRestoreToVMOrigins.h"

using namespace VSAgentlessRestoreToVMOrigins;

extern "C" bool CreateVSAgentlessRestoreToVMObject(IVSAgentlessRestoreToVM** out) {
  EvEvent log;
  *out = new (std::nothrow) CVSAgentlessRestoreToVM();
  if (*out != nullptr) {
    log.DebugLvl(kCreateControllerOrigin, 2, "Successfully create CVSAgentlessRestoreToVM class");
    return true;
  }
  log.Error(kCreateControllerOrigin, "Failed to create CVSAgentlessRestoreToVM class.");
  return false;
}
