#include "SshGuest.h"

#include <cstdlib>

namespace wholejob {

namespace {
constexpr const char* kGuestAddress = "127.0.0.4";
}

SshGuest& SshGuest::Get() {
  // Owned by GoogleTest once registered as an environment (WholeJobMain.cpp).
  static SshGuest* guest = new SshGuest;
  return *guest;
}

bool SshGuest::Available(std::string& reason) {
  if (!m_tried) {
    m_tried = true;
    zqtest::SshdOptions options;
    options.address = kGuestAddress;
    m_server = std::make_unique<zqtest::SshdServer>(options);
    m_available = zqtest::SshdServer::CanRun(m_reason) && m_server->Start(m_reason);
  }
  reason = m_reason;
  return m_available;
}

bool RunningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

}  // namespace wholejob
