#include "VSAgentlessRestoreToVM.h"

// Reading the restore options is not built yet: every job is treated as one that does not
// restore into a VM, so the controller stays inactive.
bool CVSAgentlessRestoreToVM::GetJobOptions(TMMsg::RestoreOption*) { return true; }

bool CVSAgentlessRestoreToVM::PrepareVMInfoObject(const std::string&, const std::string&, const std::string&, int) {
  return false;
}

bool CVSAgentlessRestoreToVM::PrepareGuestAPIObject(const GuestCtx&) { return false; }
