#include "VSAgentlessRestoreToVM.h"

CVSAgentlessRestoreToVM::CVSAgentlessRestoreToVM() : m_speedCounter(nullptr) {}

CVSAgentlessRestoreToVM::~CVSAgentlessRestoreToVM() = default;

bool CVSAgentlessRestoreToVM::Init(FSRInitData* initData, FSRInitDataVer2* initDataVer2, FSRSetParams* setParams,
                                   ZQRstJobClient* rstJobClient, ZQJobCtrlClient* jobCtrlClient,
                                   const std::string& clientName) {
  m_pInitData = initData;
  m_pInitDataVer2 = initDataVer2;
  m_pSetParams = setParams;
  m_pRstJobClient = rstJobClient;
  m_pJobCtrlClient = jobCtrlClient;
  m_clientName = clientName;
  return true;
}

void CVSAgentlessRestoreToVM::setRestoreToUnixVM() { m_restoreToUnixVM = true; }

// The per-entry operations below are not built yet; an inactive controller answers them with
// success and touches nothing.
bool CVSAgentlessRestoreToVM::RestoreToVM(const char*, u_longlong_t, u_longlong_t, CXFileHeader*, std::string&, bool&,
                                          bool&) {
  return !m_restoreToVMActive;
}
bool CVSAgentlessRestoreToVM::RestoreToVM_ImageLevel(const std::string&, u_longlong_t, u_longlong_t, bool,
                                                     u_longlong_t&, bool&) {
  return !m_restoreToVMActive;
}
void CVSAgentlessRestoreToVM::GenerateGuestFilePath(const std::string&, std::string&) {}
bool CVSAgentlessRestoreToVM::GenerateGuestAndStagingFolders() { return !m_restoreToVMActive; }
bool CVSAgentlessRestoreToVM::InitStagingFolder() { return !m_restoreToVMActive; }
bool CVSAgentlessRestoreToVM::DeInitStagingFolder() { return !m_restoreToVMActive; }
bool CVSAgentlessRestoreToVM::CopyToGuest(const std::string&, const std::string&, bool, bool&, bool&) {
  return !m_restoreToVMActive;
}
bool CVSAgentlessRestoreToVM::UpdateFileTimes(const std::string&) { return !m_restoreToVMActive; }
bool CVSAgentlessRestoreToVM::UpdateUnixPermissions(const std::string&, CXFileHeader*) { return !m_restoreToVMActive; }
