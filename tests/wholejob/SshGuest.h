// The guest of the SSH jobs: one OpenSSH server on a loopback address for the whole test program,
// started when the first test needs it and stopped when the program ends. The "guest" is this
// machine, reached as root (inside the server's own account files), so a job may set any owner.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "testbeds/sshd/SshdFixture.h"

namespace wholejob {

class SshGuest : public testing::Environment {
 public:
  static SshGuest& Get();

  // Starts the server on first use; false with `reason` when this machine cannot run it.
  bool Available(std::string& reason);
  const std::string& address() const { return m_server->address(); }
  int port() const { return m_server->port(); }

  void TearDown() override { m_server.reset(); }

 private:
  std::unique_ptr<zqtest::SshdServer> m_server;
  bool m_tried = false;
  bool m_available = false;
  std::string m_reason;
};

// True when CI=true: there the SSH jobs must run, never skip.
bool RunningInCi();

}  // namespace wholejob

// Skips the test when no SSH server can run here, except in CI, where that is a failure.
#define REQUIRE_SSH_GUEST()                                       \
  do {                                                            \
    std::string sshGuestReason;                                   \
    if (!::wholejob::SshGuest::Get().Available(sshGuestReason)) { \
      if (::wholejob::RunningInCi()) FAIL() << sshGuestReason;    \
      GTEST_SKIP() << sshGuestReason;                             \
    }                                                             \
  } while (0)
