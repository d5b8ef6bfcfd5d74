// The OpenSSH servers shared by every test of the sshd test program: one with the SFTP subsystem
// (a stock guest) and one without it (a guest where only the legacy scp protocol works).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/TestSupport.h"
#include "testbeds/sshd/SshdFixture.h"

class SshdEnvironment : public testing::Environment {
 public:
  static SshdEnvironment& Get();

  void SetUp() override;
  void TearDown() override;

  bool available() const { return m_available; }
  const std::string& reason() const { return m_reason; }
  zqtest::SshdServer& sftpServer() { return *m_sftp; }
  zqtest::SshdServer& legacyServer() { return *m_legacy; }

 private:
  std::unique_ptr<zqtest::SshdServer> m_sftp;
  std::unique_ptr<zqtest::SshdServer> m_legacy;
  bool m_available = false;
  std::string m_reason;
};

// A guest whose login shell hangs: the test user's .bashrc sleeps while the object lives.
class HangingLoginShell {
 public:
  HangingLoginShell();
  ~HangingLoginShell();
  HangingLoginShell(const HangingLoginShell&) = delete;
  HangingLoginShell& operator=(const HangingLoginShell&) = delete;
};

using zqtest::RunningInCi;

// Skips the test when no server could be started, except in CI, where that is a failure.
#define REQUIRE_SSHD()                                                             \
  do {                                                                             \
    if (!SshdEnvironment::Get().available()) {                                     \
      if (RunningInCi()) FAIL() << SshdEnvironment::Get().reason();                \
      GTEST_SKIP() << SshdEnvironment::Get().reason();                             \
    }                                                                              \
  } while (0)
