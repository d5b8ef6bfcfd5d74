#include "platform/ZQJobClient.h"

ZQJobClient& ZQJobClient::operator<<(const char* text) {
  addArgument(text, kArgumentText);
  return *this;
}

int ZQJobClient::setPendingCause(int code, const std::vector<long long>*, bool, EvMessageType, int, int, int, bool,
                                 JMGUIAlertColorLevel, JMPendingCauseFlags, unsigned, unsigned) {
  PendingCause cause;
  cause.code = code;
  cause.arguments = TakeArguments();
  DebugLvl("int ZQJobClient::setPendingCause(int, ...)", 0, "Pending cause [0x%08X] with [%zu] argument(s)",
           static_cast<unsigned>(code), cause.arguments.size());
  std::lock_guard<std::mutex> guard(m_mutex);
  m_pendingCauses.push_back(std::move(cause));
  return 0;
}

std::vector<PendingCause> ZQJobClient::pendingCauses() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_pendingCauses;
}
