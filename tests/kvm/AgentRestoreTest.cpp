// zqrestore end to end through the KVM back-end without a VM: the job's server is the unix socket
// of a real qemu-ga (plain QEMU's form), so the whole path from the host through the controller,
// the native channel and the component to the agent runs in seconds. The agent's "guest" is this
// machine, so the destination is a folder of the test.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "e2e/GuestRestoreScenarios.h"
#include "testbeds/qemu-ga/GuestAgentFixture.h"

namespace {

using e2e::RestoreHarness;
using e2e::RunResult;

constexpr int kLibvirtType = 701;

// The guest behind a real qemu-ga: this machine, with the destination in a folder of the test.
class AgentGuest {
 public:
  static constexpr int kSeconds = 120;
  static constexpr long long kChangedInGuestAt = 1600000000 + 3600;  // newer than the backup

  void SetUp(const std::string&) {
    ::umask(022);
    std::string problem;
    ASSERT_TRUE(agent.Start(problem)) << problem;
  }
  nlohmann::json Job(const nlohmann::json& extra = nlohmann::json::object()) const {
    nlohmann::json job = harness.Job("agent-vm", "6b0a7e3c-0000-4000-8000-00000000a9e1", destination, "root",
                                     kGuestPassword, extra);
    job["vm"]["server"] = "unix:" + agent.socketPath();
    return job;
  }
  std::string InGuest(const std::string& relative) const { return destination + "/" + relative; }
  std::vector<std::string> Secrets() const { return {kGuestPassword, RestoreHarness::kServerPassword}; }

  void ExpectCompleted(const RunResult&) const {}
  void ExpectFile(const e2e::SampleFile& file, const struct stat& info) const {
    EXPECT_EQ(info.st_mode & 07777, file.mode);
  }
  void ExpectFolder(const std::string&, const struct stat&) const {}

  RestoreHarness harness{kLibvirtType};
  zqtest::TempDir agentDir;
  kvmtest::GuestAgent agent{agentDir.path()};
  zqtest::TempDir guest;
  const std::string destination = guest.Join("restore");

 private:
  // The agent takes no guest login; the job carries one all the same.
  static constexpr const char* kGuestPassword = "unused guest password";
};

}  // namespace

namespace e2e {
INSTANTIATE_TYPED_TEST_SUITE_P(Agent, GuestRestore, AgentGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Agent, UnixGuestRestore, AgentGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Agent, GuestChecksum, AgentGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Agent, GuestBackups, AgentGuest);
// The agent takes no guest login to refuse.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(GuestLogin);
}  // namespace e2e
