#include "SshdEnvironment.h"

#include <cstdlib>

SshdEnvironment& SshdEnvironment::Get() {
  static SshdEnvironment* environment = new SshdEnvironment;
  return *environment;
}

bool RunningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

void SshdEnvironment::SetUp() {
  if (!zqtest::SshdServer::CanRun(m_reason)) return;
  zqtest::SshdOptions sftp;
  sftp.address = "127.0.0.2";
  zqtest::SshdOptions legacy;
  legacy.address = "127.0.0.3";
  legacy.sftp = false;
  m_sftp = std::make_unique<zqtest::SshdServer>(sftp);
  m_legacy = std::make_unique<zqtest::SshdServer>(legacy);
  m_available = m_sftp->Start(m_reason) && m_legacy->Start(m_reason);
}

void SshdEnvironment::TearDown() {
  m_sftp.reset();
  m_legacy.reset();
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(&SshdEnvironment::Get());
  return RUN_ALL_TESTS();
}
