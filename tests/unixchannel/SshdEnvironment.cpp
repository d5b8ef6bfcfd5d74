#include "SshdEnvironment.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "UnixTestDoubles.h"
#include "support/TestSupport.h"

SshdEnvironment& SshdEnvironment::Get() {
  static SshdEnvironment* environment = new SshdEnvironment;
  return *environment;
}

namespace {
// The hanging command, recognised again by its command line when the sessions it held are ended.
constexpr char kHangCommandLine[] = "sleep\0" "61";
}  // namespace

HangingLoginShell::HangingLoginShell() {
  zqtest::WriteFile(zqtest::SshTestUsers::Home() + "/.bashrc", "sleep 61\n");
}

// Sessions whose connection went away keep their shell until it ends: those still sleeping go too.
HangingLoginShell::~HangingLoginShell() {
  unlink((zqtest::SshTestUsers::Home() + "/.bashrc").c_str());
  const std::string hang(kHangCommandLine, sizeof kHangCommandLine);
  for (zqtest::SshdServer* server : {&SshdEnvironment::Get().sftpServer(), &SshdEnvironment::Get().legacyServer()}) {
    for (pid_t pid : server->SessionProcesses()) {
      if (zqtest::ReadIfPresent("/proc/" + std::to_string(pid) + "/cmdline") == hang) kill(pid, SIGKILL);
    }
  }
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
