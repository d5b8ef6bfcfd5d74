#include "hypervisor/VMInfoBackEnd.h"

#include <exception>

VMInfoBackEnd::VMInfoBackEnd(VirtualServerInstanceType instanceType) : m_instanceType(instanceType) {}

VirtualServerInstanceType VMInfoBackEnd::GetInstanceType() { return m_instanceType; }

int VMInfoBackEnd::GetLastErrorCode() { return m_lastErrorCode; }

std::string VMInfoBackEnd::GetLastErrorString() { return m_lastErrorText; }

int VMInfoBackEnd::Run(const char* origin, const std::function<VMInfoStatus()>& body) {
  m_lastErrorCode = 0;
  m_lastErrorText.clear();
  VMInfoStatus status;
  try {
    status = body();
  } catch (const std::exception& fault) {
    status = VMInfoStatus::Fail(VMInfoError::Internal, std::string("Unexpected fault: ") + fault.what());
  } catch (...) {
    status = VMInfoStatus::Fail(VMInfoError::Internal, "Unexpected fault");
  }
  if (status.ok()) return 1;
  m_lastErrorCode = status.code();
  m_lastErrorText = status.text();
  m_log.Error(origin, "%s [%d]", m_lastErrorText.c_str(), m_lastErrorCode);
  return 0;
}

int VMInfoBackEnd::RefuseUnsupported(const char* origin, const std::string& text) {
  return Run(origin, [&]() { return VMInfoStatus::Fail(VMInfoError::NotSupported, text); });
}
