// One OpenSSH server as the guest of a whole test program: started once, on first use, and
// stopped when the program ends. Register it with testing::AddGlobalTestEnvironment so that it
// ends with the program. Tests that need it use REQUIRE_SSHD_GUEST, which skips them where this
// machine cannot run sshd, except in CI (CI=true), where that is a failure.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/TestSupport.h"
#include "testbeds/sshd/SshdFixture.h"

namespace zqtest {

class SshdGuestEnvironment : public testing::Environment {
 public:
  explicit SshdGuestEnvironment(SshdOptions options) : m_options(std::move(options)) {}
  // A stock server (with SFTP) on the loopback address `address`.
  explicit SshdGuestEnvironment(const std::string& address) : SshdGuestEnvironment(Options(address)) {}

  // Starts the server on first use; false with `reason` when this machine cannot run it.
  bool Available(std::string& reason);
  // The running server; only after Available said yes.
  SshdServer& server() { return *m_server; }

  void TearDown() override { m_server.reset(); }

 private:
  static SshdOptions Options(const std::string& address) {
    SshdOptions options;
    options.address = address;
    return options;
  }

  SshdOptions m_options;
  std::unique_ptr<SshdServer> m_server;
  bool m_tried = false;
  bool m_available = false;
  std::string m_reason;
};

}  // namespace zqtest

// Skips the test when `environment` (a SshdGuestEnvironment) cannot run its server, except in CI.
#define REQUIRE_SSHD_GUEST(environment)                            \
  do {                                                             \
    std::string sshdGuestReason;                                   \
    if (!(environment).Available(sshdGuestReason)) {               \
      if (::zqtest::RunningInCi()) FAIL() << sshdGuestReason;      \
      GTEST_SKIP() << sshdGuestReason;                             \
    }                                                              \
  } while (0)
