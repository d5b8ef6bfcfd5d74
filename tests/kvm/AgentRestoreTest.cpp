// zqrestore end to end through the KVM back-end without a VM: the job's server is the unix socket
// of a real qemu-ga (plain QEMU's form), so the whole path from the host through the controller,
// the native channel and the component to the agent runs in seconds. The agent's "guest" is this
// machine, so the destination is a folder of the test.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "testbeds/qemu-ga/GuestAgentFixture.h"
#include "e2e/RestoreHarness.h"

namespace {

using e2e::RestoreHarness;
using e2e::RunResult;

constexpr int kLibvirtType = 701;

class AgentRestore : public testing::Test {
 protected:
  void SetUp() override {
    ::umask(022);
    std::string problem;
    ASSERT_TRUE(agent.Start(problem)) << problem;
    e2e::WriteSampleTree(source.path());
  }

  nlohmann::json Job(const nlohmann::json& extra = nlohmann::json::object()) {
    nlohmann::json job = harness.Job("agent-vm", "6b0a7e3c-0000-4000-8000-00000000a9e1", destination, "root", "unused guest password", extra);
    job["vm"]["server"] = "unix:" + agent.socketPath();
    return job;
  }
  std::string InGuest(const std::string& relative) const { return destination + "/" + relative; }

  zqtest::TempDir agentDir;
  kvmtest::GuestAgent agent{agentDir.path()};
  zqtest::TempDir guest;
  const std::string destination = guest.Join("restore");
  zqtest::TempDir source;
  RestoreHarness harness{kLibvirtType};
};

TEST_F(AgentRestore, RestoresTheTreeAndKeepsItOnTheSecondRun) {
  const RunResult result = harness.Restore(Job(), source.path());
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], e2e::SampleFiles().size());
  EXPECT_EQ(result.summary["failed"], 0);
  for (const e2e::SampleFile& file : e2e::SampleFiles()) {
    SCOPED_TRACE(file.path);
    const struct stat info = zqtest::StatOf(InGuest(file.path));
    EXPECT_EQ(zqtest::ReadFile(InGuest(file.path)), file.content);
    EXPECT_EQ(info.st_mode & 07777, file.mode);
    EXPECT_EQ(info.st_mtime, file.mtime);
  }
  const RunResult again = harness.Restore(Job(), source.path());
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(again.summary["kept"], e2e::SampleFiles().size() + e2e::SampleFolders().size());
  EXPECT_EQ(again.summary["restoredFiles"], 0);
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
}

TEST_F(AgentRestore, HostileNamesLandIntactOrAreRefusedWithReasons) {
  zqtest::TempDir hostile;
  e2e::WriteHostileTree(hostile.path());
  const RunResult result = harness.Restore(Job(), hostile.path());
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_EQ(result.summary["failed"], 2) << result.output;
  for (const std::string& name : e2e::RestorableHostileNames()) {
    EXPECT_EQ(zqtest::ReadFile(InGuest(name)), "content of " + name) << name;
  }
  EXPECT_EQ(zqtest::ReadFile(InGuest(e2e::kHostileInner)), "inner");
  struct stat info {};
  EXPECT_NE(lstat(InGuest("pwned").c_str(), &info), 0);
  EXPECT_NE(result.output.find("back\\slash: the name holds a backslash"), std::string::npos) << result.output;
}

}  // namespace
