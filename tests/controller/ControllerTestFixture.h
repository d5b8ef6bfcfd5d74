// A restore controller put into chosen states without a restore-options message: the test
// subclass opens the controller's fields, the fixture supplies the host's records and clients, a
// real job-results folder on disk, captured log lines and a GoogleMock guest channel.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "MockGuestAPI.h"
#include "RefusingVMInfo.h"
#include "TestSupport.h"
#include "controller/VSAgentlessRestoreToVM.h"
#include "controller/VSAgentlessRestoreToVMOrigins.h"
#include "platform/CNyPath.h"

namespace zqtest {

using namespace VSAgentlessRestoreToVMOrigins;

class TestableController : public CVSAgentlessRestoreToVM {
 public:
  using CVSAgentlessRestoreToVM::m_clientName;
  using CVSAgentlessRestoreToVM::m_guestCtx;
  using CVSAgentlessRestoreToVM::m_guestDir;
  using CVSAgentlessRestoreToVM::m_pGuestAPI;
  using CVSAgentlessRestoreToVM::m_pInitData;
  using CVSAgentlessRestoreToVM::m_pInitDataVer2;
  using CVSAgentlessRestoreToVM::m_pJobCtrlClient;
  using CVSAgentlessRestoreToVM::m_pRstJobClient;
  using CVSAgentlessRestoreToVM::m_pSetParams;
  using CVSAgentlessRestoreToVM::m_pVMInfo;
  using CVSAgentlessRestoreToVM::m_backupSuffix;
  using CVSAgentlessRestoreToVM::m_restoreACLs;
  using CVSAgentlessRestoreToVM::m_restoreToUnixVM;
  using CVSAgentlessRestoreToVM::m_restoreToVMActive;
  using CVSAgentlessRestoreToVM::m_setTimesWithPermissions;
  using CVSAgentlessRestoreToVM::m_speedCounter;
  using CVSAgentlessRestoreToVM::m_stagingRun;
};

// The run folder the fixture's controller uses, instead of its random one.
constexpr const char* kRunName = "run-1-00000000000000aa";

// VM-information component that only answers its last error text, counting the questions.
// Every other operation fails: the controller must not reach the component directly.
class FakeVMInfo : public RefusingVMInfo {
 public:
  explicit FakeVMInfo(bool* alive = nullptr) : m_alive(alive) {
    if (m_alive != nullptr) *m_alive = true;
  }
  ~FakeVMInfo() override {
    if (m_alive != nullptr) *m_alive = false;
  }

  std::string lastError;
  int lastErrorQuestions = 0;

  VirtualServerInstanceType GetInstanceType() override { return VSInstanceVMware; }
  std::string GetLastErrorString() override {
    ++lastErrorQuestions;
    return lastError;
  }

 private:
  bool* m_alive;
};

inline void MakeDirectory(const std::string& path) { ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path; }

constexpr const char* kClientName = "client1";
constexpr const char* kVmName = "vm1";

// An initialised controller with a StrictMock channel. Nothing is active until Activate().
class ControllerTest : public ::testing::Test {
 protected:
  ControllerTest() : m_tz("TZ", "UTC") {
    jobResultsDir = root.Join("jr");
    settings.Set("JobResults", kClientName, jobResultsDir);
    initData.initIdA = 2;
    initData.initIdB = 17;
    initData.initIdC = 45;
    initDataVer2.instanceType = VSInstanceVMware;
    stagingFolder = jobResultsDir + "/ZQ_JobResults/2/17/45/" + kRunName + "/ForGuestVM";
    controller.m_stagingRun = kRunName;
    controller.Init(&initData, &initDataVer2, &setParams, &jobClient, &jobCtrlClient, kClientName);
    controller.m_guestCtx.vmName = kVmName;
    auto channel = std::make_unique<::testing::StrictMock<MockGuestAPI>>();
    guest = channel.get();
    controller.m_pGuestAPI = std::move(channel);
  }

  ~ControllerTest() override { std::free(setParams.destinationPath); }

  // What GetJobOptions leaves behind for an accepted restore-to-VM job.
  void Activate() {
    controller.m_pVMInfo = &vmInfo;
    controller.m_restoreToVMActive = true;
  }

  void SetDestination(const char* destination) {
    std::free(setParams.destinationPath);
    setParams.destinationPath = destination == nullptr ? nullptr : strdup(destination);
  }

  // The state after a successful GenerateGuestAndStagingFolders and InitStagingFolder: the guest
  // folder known, the staging folder published and present on disk.
  void PrepareStaging(const std::string& guestDir) {
    Activate();
    controller.m_guestDir = guestDir;
    if (guestDir[0] == '/') controller.m_restoreToUnixVM = true;
    SetDestination(stagingFolder.c_str());
    CreateDirectories(stagingFolder);
  }

  static void CreateDirectories(const std::string& path) {
    ASSERT_FALSE(CNyDirectory::Create(path.c_str(), true).IsError()) << path;
  }

  // A staged file below the staging folder (parents created), with a chosen modification time.
  std::string StageFile(const std::string& relative, const std::string& content, long long modifyTime) {
    const std::string path = stagingFolder + "/" + relative;
    const size_t slash = path.rfind('/');
    CreateDirectories(path.substr(0, slash));
    WriteFile(path, content);
    SetFileModifyTime(path, modifyTime);
    return path;
  }

  std::string StageFolder(const std::string& relative) {
    const std::string path = stagingFolder + "/" + relative;
    CreateDirectories(path);
    return path;
  }

  bool HasLine(LogLevel level, const std::string& origin, const std::string& text) {
    for (const LogRecord& record : log.sink().Records()) {
      if (record.level == level && record.origin == origin && record.text == text) return true;
    }
    return false;
  }

  std::vector<std::string> ErrorTexts() {
    std::vector<std::string> texts;
    for (const LogRecord& record : log.sink().Records()) {
      if (record.level == LogLevel::Error) texts.push_back(record.text);
    }
    return texts;
  }

  TempDir root;
  ScopedSettings settings;
  // Lets every browse the test does not expect by name answer "nothing here": the look-ups before
  // a copy or a folder creation then find the guest entry absent. Expectations set later win.
  void GuestHoldsNothingElse() {
    EXPECT_CALL(*guest, BrowseGuest(::testing::_, ::testing::_, ::testing::_))
        .Times(::testing::AnyNumber())
        .WillRepeatedly(::testing::Return(1));
  }

  ScopedLogCapture log;
  std::string jobResultsDir;
  std::string stagingFolder;
  FSRInitData initData;
  FSRInitDataVer2 initDataVer2;
  FSRSetParams setParams;
  ZQRstJobClient jobClient;
  ZQJobCtrlClient jobCtrlClient{77};
  FakeVMInfo vmInfo;
  TestableController controller;
  ::testing::StrictMock<MockGuestAPI>* guest = nullptr;

 private:
  ScopedEnv m_tz;
};

}  // namespace zqtest
