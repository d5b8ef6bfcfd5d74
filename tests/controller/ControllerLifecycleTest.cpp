// A controller's life: defaults, Init, the Unix switch, the inactive controller, deletion.
#include "ControllerTestFixture.h"

namespace zqtest {
namespace {

using ::testing::StrictMock;

TEST(ControllerLifecycle, StartsWithEveryFieldAtItsDefault) {
  TestableController controller;
  EXPECT_EQ(nullptr, controller.m_pInitData);
  EXPECT_EQ(nullptr, controller.m_pInitDataVer2);
  EXPECT_EQ(nullptr, controller.m_pSetParams);
  EXPECT_EQ(nullptr, controller.m_pRstJobClient);
  EXPECT_EQ(nullptr, controller.m_pJobCtrlClient);
  EXPECT_TRUE(controller.m_guestCtx.vmName.empty());
  EXPECT_TRUE(controller.m_guestCtx.vmGuid.empty());
  EXPECT_TRUE(controller.m_guestCtx.serverName.empty());
  EXPECT_TRUE(controller.m_guestCtx.userName.empty());
  EXPECT_TRUE(controller.m_guestCtx.password.empty());
  EXPECT_FALSE(controller.m_guestCtx.flagA);
  EXPECT_FALSE(controller.m_guestCtx.flagB);
  EXPECT_EQ(nullptr, controller.m_pVMInfo);
  EXPECT_FALSE(controller.m_pGuestAPI);
  EXPECT_TRUE(controller.m_guestDir.empty());
  EXPECT_TRUE(controller.m_clientName.empty());
  EXPECT_EQ(0u, controller.m_speedCounter.Intervals());
  EXPECT_EQ(0u, controller.m_speedCounter.TotalBytes());
  EXPECT_FALSE(controller.m_restoreToVMActive);
  EXPECT_FALSE(controller.m_restoreToUnixVM);
  EXPECT_TRUE(controller.m_setTimesWithPermissions);
  EXPECT_FALSE(controller.m_restoreACLs);
}

TEST(ControllerLifecycle, InitStoresRecordsSilentlyAndSucceeds) {
  ScopedLogCapture log;
  FSRInitData initData;
  FSRInitDataVer2 initDataVer2;
  FSRSetParams setParams;
  ZQRstJobClient jobClient;
  ZQJobCtrlClient jobCtrlClient;
  TestableController controller;

  EXPECT_TRUE(controller.Init(&initData, &initDataVer2, &setParams, &jobClient, &jobCtrlClient, "clientA"));

  EXPECT_EQ(&initData, controller.m_pInitData);
  EXPECT_EQ(&initDataVer2, controller.m_pInitDataVer2);
  EXPECT_EQ(&setParams, controller.m_pSetParams);
  EXPECT_EQ(&jobClient, controller.m_pRstJobClient);
  EXPECT_EQ(&jobCtrlClient, controller.m_pJobCtrlClient);
  EXPECT_EQ("clientA", controller.m_clientName);
  EXPECT_TRUE(log.sink().Records().empty());
}

TEST(ControllerLifecycle, SecondInitKeepsTheSecondSet) {
  FSRInitData firstInit, secondInit;
  FSRInitDataVer2 firstVer2, secondVer2;
  FSRSetParams firstParams, secondParams;
  ZQRstJobClient firstJob, secondJob;
  ZQJobCtrlClient firstCtrl, secondCtrl;
  TestableController controller;

  controller.Init(&firstInit, &firstVer2, &firstParams, &firstJob, &firstCtrl, "first");
  EXPECT_TRUE(controller.Init(&secondInit, &secondVer2, &secondParams, &secondJob, &secondCtrl, "second"));

  EXPECT_EQ(&secondInit, controller.m_pInitData);
  EXPECT_EQ(&secondVer2, controller.m_pInitDataVer2);
  EXPECT_EQ(&secondParams, controller.m_pSetParams);
  EXPECT_EQ(&secondJob, controller.m_pRstJobClient);
  EXPECT_EQ(&secondCtrl, controller.m_pJobCtrlClient);
  EXPECT_EQ("second", controller.m_clientName);
}

TEST(ControllerLifecycle, InitAcceptsNullRecords) {
  TestableController controller;
  EXPECT_TRUE(controller.Init(nullptr, nullptr, nullptr, nullptr, nullptr, ""));
  EXPECT_EQ(nullptr, controller.m_pSetParams);
}

TEST(ControllerLifecycle, UnixSwitchSetBeforeInitSurvivesInit) {
  FSRInitData initData;
  FSRInitDataVer2 initDataVer2;
  FSRSetParams setParams;
  TestableController controller;

  controller.setRestoreToUnixVM();
  controller.Init(&initData, &initDataVer2, &setParams, nullptr, nullptr, "");

  EXPECT_TRUE(controller.m_restoreToUnixVM);
  EXPECT_FALSE(controller.m_restoreToVMActive);
}

TEST(ControllerLifecycle, DeletingAnActiveControllerDeletesItsChannelOnceAndKeepsTheComponent) {
  struct CountedChannel : StrictMock<MockGuestAPI> {
    explicit CountedChannel(int* deletions) : m_deletions(deletions) {}
    ~CountedChannel() override { ++*m_deletions; }
    int* m_deletions;
  };
  int deletions = 0;
  bool componentAlive = false;
  FakeVMInfo component(&componentAlive);

  auto* controller = new TestableController;
  controller->m_pGuestAPI = std::make_unique<CountedChannel>(&deletions);
  controller->m_pVMInfo = &component;
  controller->m_restoreToVMActive = true;
  IVSAgentlessRestoreToVM* asHostSeesIt = controller;
  delete asHostSeesIt;

  EXPECT_EQ(1, deletions);
  EXPECT_TRUE(componentAlive);
}

// A job that is not a restore to a VM: every operation answers success and nothing reaches the
// guest, the staging folder or the out-arguments.
TEST_F(ControllerTest, InactiveControllerAnswersTrueAndTouchesNothing) {
  SetDestination("/restore/here");
  char* const destination = setParams.destinationPath;
  const std::string outsideFile = root.Join("outside.txt");
  WriteFile(outsideFile, "data");
  CXFileHeader header;

  std::string guestPath = "untouched";
  bool skipped = false;
  bool attributesApplied = false;
  EXPECT_TRUE(controller.RestoreToVM(outsideFile.c_str(), 1, 2, &header, guestPath, skipped, attributesApplied));
  EXPECT_EQ("untouched", guestPath);
  EXPECT_FALSE(skipped);
  EXPECT_FALSE(attributesApplied);

  skipped = true;
  attributesApplied = true;
  EXPECT_TRUE(controller.RestoreToVM(outsideFile.c_str(), 1, 2, nullptr, guestPath, skipped, attributesApplied));
  EXPECT_TRUE(skipped);
  EXPECT_TRUE(attributesApplied);

  u_longlong_t bytes = 99;
  EXPECT_TRUE(controller.RestoreToVM_ImageLevel(outsideFile, 1, 0, true, bytes, skipped));
  EXPECT_EQ(99u, bytes);
  EXPECT_TRUE(controller.UpdateUnixPermissions(outsideFile, &header));
  EXPECT_TRUE(controller.UpdateUnixPermissions(outsideFile, nullptr));
  EXPECT_TRUE(controller.UpdateFileTimes(outsideFile));
  bool isFolder = true;
  EXPECT_TRUE(controller.CopyToGuest(outsideFile, "/g", true, skipped, isFolder));
  EXPECT_TRUE(controller.GenerateGuestAndStagingFolders());
  EXPECT_TRUE(controller.InitStagingFolder());
  EXPECT_TRUE(controller.DeInitStagingFolder());

  EXPECT_EQ(destination, setParams.destinationPath);
  EXPECT_STREQ("/restore/here", setParams.destinationPath);
  EXPECT_TRUE(controller.m_guestDir.empty());
  EXPECT_FALSE(controller.m_restoreToUnixVM);
  EXPECT_TRUE(Exists(outsideFile));
  EXPECT_FALSE(Exists(jobResultsDir));
  EXPECT_EQ(0u, controller.m_speedCounter.Intervals());
  EXPECT_TRUE(ErrorTexts().empty());
}

}  // namespace
}  // namespace zqtest
