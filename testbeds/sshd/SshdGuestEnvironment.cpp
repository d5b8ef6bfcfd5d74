#include "SshdGuestEnvironment.h"

namespace zqtest {

bool SshdGuestEnvironment::Available(std::string& reason) {
  if (!m_tried) {
    m_tried = true;
    m_server = std::make_unique<SshdServer>(m_options);
    m_available = SshdServer::CanRun(m_reason) && m_server->Start(m_reason);
  }
  reason = m_reason;
  return m_available;
}

}  // namespace zqtest
