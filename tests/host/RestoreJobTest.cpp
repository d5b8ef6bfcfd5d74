// The host's side of a job: the order in which it drives a controller, what it hands over, how it
// stages entries and counts their results. The controller is a mock: the calls are the point.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/JobSummary.h"
#include "host/RestoreJob.h"
#include "platform/RestoreOption.h"
#include "support/TestSupport.h"

namespace {

using testing::_;
using testing::DoAll;
using testing::Invoke;
using testing::InSequence;
using testing::NiceMock;
using testing::Return;
using testing::SetArgReferee;
using testing::StrictMock;
using zqtest::Exists;

class MockController : public IVSAgentlessRestoreToVM {
 public:
  MOCK_METHOD(bool, Init,
              (FSRInitData*, FSRInitDataVer2*, FSRSetParams*, ZQRstJobClient*, ZQJobCtrlClient*, const std::string&),
              (override));
  MOCK_METHOD(bool, GetJobOptions, (TMMsg::RestoreOption*), (override));
  MOCK_METHOD(bool, PrepareVMInfoObject, (const std::string&, const std::string&, const std::string&, int),
              (override));
  MOCK_METHOD(bool, RestoreToVM,
              (const char*, u_longlong_t, u_longlong_t, CXFileHeader*, std::string&, bool&, bool&), (override));
  MOCK_METHOD(bool, RestoreToVM_ImageLevel,
              (const std::string&, u_longlong_t, u_longlong_t, bool, u_longlong_t&, bool&), (override));
  MOCK_METHOD(void, GenerateGuestFilePath, (const std::string&, std::string&), (override));
  MOCK_METHOD(bool, GenerateGuestAndStagingFolders, (), (override));
  MOCK_METHOD(bool, InitStagingFolder, (), (override));
  MOCK_METHOD(bool, DeInitStagingFolder, (), (override));
  MOCK_METHOD(bool, CopyToGuest, (const std::string&, const std::string&, bool, bool&, bool&), (override));
  MOCK_METHOD(bool, UpdateFileTimes, (const std::string&), (override));
  MOCK_METHOD(void, setRestoreToUnixVM, (), (override));
  MOCK_METHOD(bool, UpdateUnixPermissions, (const std::string&, CXFileHeader*), (override));
  MOCK_METHOD(void, Die, ());
  ~MockController() override { Die(); }
};

class RestoreJobTest : public testing::Test {
 protected:
  void SetUp() override {
    job.vmName = "web01";
    job.vmGuid = "g-1";
    job.serverName = "vc1";
    job.guest.userName = "root";
    job.guest.password = "guest-pw";
    job.destination = "/srv/restore";
    job.ids.jobId = 77;
    job.ids.initIdA = 1;
    job.ids.initAppId = 10;
    job.ids.initIdB = 2;
    job.ids.initIdC = 3;
    job.instanceType = 601;
    job.clientName = "proxy1";
    stagingFolder = jobResults.Join("ZQ_JobResults/1/2/3/ForGuestVM");
  }

  // A source tree: folder a (0750) with a/f.txt ("hello", 0640, mtime 1400000000), file b.txt.
  void MakeSourceTree() {
    mkdir(source.Join("a").c_str(), 0750);
    chmod(source.Join("a").c_str(), 0750);
    zqtest::WriteFile(source.Join("a/f.txt"), "hello");
    chmod(source.Join("a/f.txt").c_str(), 0640);
    zqtest::SetFileModifyTime(source.Join("a/f.txt"), 1400000000);
    zqtest::WriteFile(source.Join("b.txt"), "bb");
    std::string error;
    ASSERT_TRUE(WalkSourceTree(source.path(), tree, error)) << error;
  }

  RestoreJobSettings Settings() {
    RestoreJobSettings settings;
    settings.sourceRoot = source.path();
    settings.logTap = tap.get();
    return settings;
  }

  // Runs the job with `controller`, which the job deletes.
  RestoreReport Run(std::unique_ptr<MockController> controller, RestoreJobSettings settings) {
    auto previous = SetLogSink(tap);
    MockController* raw = controller.release();
    RestoreReport report =
        RestoreJob(job, tree, std::move(settings)).Run([raw] { return ControllerPtr(raw); });
    SetLogSink(previous);
    return report;
  }
  RestoreReport Run(std::unique_ptr<MockController> controller) { return Run(std::move(controller), Settings()); }

  // What the plug-in does in GenerateGuestAndStagingFolders: exchange the destination for the
  // staging folder.
  auto PublishStagingFolder() {
    return Invoke([this] {
      free(setParams->destinationPath);
      setParams->destinationPath = strdup(stagingFolder.c_str());
      return true;
    });
  }
  // What it does in InitStagingFolder: create the staging folder's parent.
  auto CreateStagingParent() {
    return Invoke([this] {
      std::string parent = stagingFolder.substr(0, stagingFolder.rfind('/'));
      for (size_t slash = parent.find('/', 1); slash != std::string::npos; slash = parent.find('/', slash + 1)) {
        mkdir(parent.substr(0, slash).c_str(), 0700);
      }
      mkdir(parent.c_str(), 0700);
      return true;
    });
  }
  auto RememberRecords() {
    return Invoke([this](FSRInitData* initData, FSRInitDataVer2* initDataVer2, FSRSetParams* params,
                         ZQRstJobClient* jobClient, ZQJobCtrlClient* jobControl, const std::string& clientName) {
      this->initData = initData;
      this->initDataVer2 = initDataVer2;
      setParams = params;
      this->jobClient = jobClient;
      this->jobControl = jobControl;
      this->clientName = clientName;
      return true;
    });
  }

  // Expects the calls up to and including InitStagingFolder, all answered with success.
  void ExpectPreparedJob(MockController& controller) {
    EXPECT_CALL(controller, Init(_, _, _, _, _, _)).WillOnce(RememberRecords());
    EXPECT_CALL(controller, GetJobOptions(_)).WillOnce(Return(true));
    EXPECT_CALL(controller, GenerateGuestAndStagingFolders()).WillOnce(PublishStagingFolder());
    EXPECT_CALL(controller, InitStagingFolder()).WillOnce(CreateStagingParent());
  }

  JobFile job;
  SourceTree tree;
  zqtest::TempDir source;
  zqtest::TempDir jobResults;
  std::string stagingFolder;
  std::shared_ptr<HostLogTap> tap = std::make_shared<HostLogTap>(std::vector<std::shared_ptr<LogSink>>{});

  FSRInitData* initData = nullptr;
  FSRInitDataVer2* initDataVer2 = nullptr;
  FSRSetParams* setParams = nullptr;
  ZQRstJobClient* jobClient = nullptr;
  ZQJobCtrlClient* jobControl = nullptr;
  std::string clientName;
};

TEST_F(RestoreJobTest, DrivesTheControllerInTheHostsOrder) {
  MakeSourceTree();
  job.unixGuest = true;
  auto controller = std::make_unique<StrictMock<MockController>>();
  std::vector<std::string> restored;
  auto restore = Invoke([&](const char* staged, u_longlong_t, u_longlong_t, CXFileHeader*, std::string& guestPath,
                            bool&, bool&) {
    restored.push_back(staged);
    guestPath = "/guest/path";
    return true;
  });
  {
    InSequence order;
    EXPECT_CALL(*controller, Init(_, _, _, _, _, _)).WillOnce(RememberRecords());
    EXPECT_CALL(*controller, setRestoreToUnixVM());
    EXPECT_CALL(*controller, GetJobOptions(_)).WillOnce(Return(true));
    EXPECT_CALL(*controller, GenerateGuestAndStagingFolders()).WillOnce(PublishStagingFolder());
    EXPECT_CALL(*controller, InitStagingFolder()).WillOnce(CreateStagingParent());
    EXPECT_CALL(*controller, RestoreToVM(_, 0, 0, _, _, _, _)).Times(3).WillRepeatedly(restore);
    EXPECT_CALL(*controller, DeInitStagingFolder()).WillOnce(Return(true));
    EXPECT_CALL(*controller, Die());
  }
  const RestoreReport report = Run(std::move(controller));
  EXPECT_EQ(restored, (std::vector<std::string>{stagingFolder + "/a", stagingFolder + "/a/f.txt",
                                                stagingFolder + "/b.txt"}));
  EXPECT_EQ(report.outcome, JobOutcome::Completed);
  EXPECT_EQ(report.counts.restoredFolders, 1u);
  EXPECT_EQ(report.counts.restoredFiles, 2u);
  EXPECT_EQ(report.counts.bytesRestored, 7u);
  EXPECT_EQ(report.stagingFolder, stagingFolder);
  EXPECT_TRUE(report.stagingRemoved);
  EXPECT_FALSE(Exists(stagingFolder)) << "the host removes what the channel left";
}

TEST_F(RestoreJobTest, AppliesFolderAttributesAgainDeepestFirstAfterTheirContents) {
  MakeSourceTree();
  ASSERT_EQ(mkdir(source.Join("a/deeper").c_str(), 0700), 0);
  std::string error;
  tree = SourceTree();
  ASSERT_TRUE(WalkSourceTree(source.path(), tree, error)) << error;
  job.unixGuest = true;
  auto controller = std::make_unique<NiceMock<MockController>>();
  ExpectPreparedJob(*controller);
  std::vector<std::string> calls;
  EXPECT_CALL(*controller, RestoreToVM(_, _, _, _, _, _, _))
      .WillRepeatedly(Invoke([&](const char* staged, u_longlong_t, u_longlong_t, CXFileHeader*, std::string&, bool&,
                                 bool& attributesApplied) {
        calls.push_back(std::string("restore ") + staged);
        attributesApplied = true;  // the plug-in ran its attribute step
        return true;
      }));
  EXPECT_CALL(*controller, UpdateUnixPermissions(_, _))
      .WillRepeatedly(Invoke([&](const std::string& staged, CXFileHeader* header) {
        calls.push_back("attributes " + staged + " " + std::to_string(header->mode));
        return staged != stagingFolder + "/a";
      }));
  const RestoreReport report = Run(std::move(controller));
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "restore " + stagingFolder + "/a", "restore " + stagingFolder + "/a/deeper",
                       "restore " + stagingFolder + "/a/f.txt", "restore " + stagingFolder + "/b.txt",
                       "attributes " + stagingFolder + "/a/deeper " + std::to_string(0700),
                       "attributes " + stagingFolder + "/a " + std::to_string(0750)}));
  EXPECT_EQ(report.counts.restoredFolders, 1u);
  ASSERT_EQ(report.failures.size(), 1u);
  EXPECT_EQ(report.failures[0].path, "a");
}

TEST_F(RestoreJobTest, LeavesFoldersAloneWhenThePluginAppliedNoAttributes) {
  MakeSourceTree();
  auto controller = std::make_unique<NiceMock<MockController>>();
  ExpectPreparedJob(*controller);
  EXPECT_CALL(*controller, RestoreToVM(_, _, _, _, _, _, _)).WillRepeatedly(Return(true));
  EXPECT_CALL(*controller, UpdateUnixPermissions(_, _)).Times(0);
  const RestoreReport report = Run(std::move(controller));
  EXPECT_EQ(report.counts.restoredFolders, 1u);
  EXPECT_TRUE(report.failures.empty());
}

TEST_F(RestoreJobTest, HandsTheJobsRecordsAndOptionsToTheController) {
  MakeSourceTree();
  job.overwriteAlways = true;
  auto controller = std::make_unique<NiceMock<MockController>>();
  std::string destinationAtInit;
  EXPECT_CALL(*controller, Init(_, _, _, _, _, _))
      .WillOnce(DoAll(Invoke([&](FSRInitData*, FSRInitDataVer2*, FSRSetParams* params, ZQRstJobClient*,
                                 ZQJobCtrlClient*, const std::string&) { destinationAtInit = params->destinationPath; }),
                      RememberRecords()));
  std::string vmNameSeen;
  std::string guestPasswordSeen;
  EXPECT_CALL(*controller, GetJobOptions(_)).WillOnce(Invoke([&](TMMsg::RestoreOption* options) {
    using namespace TMMsg::RestoreOptionFields;
    const CNMessageBase& vm = options->nestedOrEmpty(kVMFileLevelRestore.index, kVMFileLevelRestore.tag)
                                  .nestedOrEmpty(kDestinationVM.index, kDestinationVM.tag);
    vmNameSeen = vm.getstring(kVMName.index, kVMName.tag, 0, 0);
    guestPasswordSeen = vm.nestedOrEmpty(kGuestCredentials.index, kGuestCredentials.tag)
                            .getpstringobject(kPassword.index, kPassword.tag, 0, 0)
                            .getPlainPassword()
                            .str();
    EXPECT_EQ(initData->initIdA, 1);
    EXPECT_EQ(initData->initAppId, 10u);
    EXPECT_EQ(initData->initIdB, 2u);
    EXPECT_EQ(initData->initIdC, 3);
    EXPECT_EQ(initDataVer2->instanceType, 601);
    EXPECT_EQ(setParams->restoreFlags, kRestoreFlagOverwriteAlways);
    EXPECT_EQ(jobControl->GetJobID(), 77u);
    return false;
  }));
  Run(std::move(controller));
  EXPECT_EQ(destinationAtInit, "/srv/restore");
  EXPECT_EQ(clientName, "proxy1");
  EXPECT_EQ(vmNameSeen, "web01");
  EXPECT_EQ(guestPasswordSeen, "guest-pw");
}

TEST_F(RestoreJobTest, StagesEachEntryWithItsHeaderAndReleasesItAfterwards) {
  MakeSourceTree();
  auto controller = std::make_unique<NiceMock<MockController>>();
  ExpectPreparedJob(*controller);
  std::vector<CXFileHeader> headers;
  std::vector<std::string> contents;
  std::vector<bool> previousStillStaged;
  std::string previous;
  EXPECT_CALL(*controller, RestoreToVM(_, _, _, _, _, _, _))
      .WillRepeatedly(Invoke([&](const char* staged, u_longlong_t, u_longlong_t, CXFileHeader* header, std::string&,
                                 bool&, bool&) {
        headers.push_back(*header);
        struct stat info {};
        lstat(staged, &info);
        contents.push_back(S_ISDIR(info.st_mode) ? "<folder>" : zqtest::ReadFile(staged));
        if (!previous.empty()) previousStillStaged.push_back(Exists(previous));
        previous = staged;
        return true;
      }));
  Run(std::move(controller));
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(contents, (std::vector<std::string>{"<folder>", "hello", "bb"}));
  EXPECT_EQ(headers[0].mode, 0750);
  EXPECT_EQ(headers[1].mode, 0640);
  EXPECT_EQ(headers[1].mtime, 1400000000);
  EXPECT_EQ(headers[1].uid, static_cast<int64_t>(getuid()));
  EXPECT_EQ(headers[1].gid, static_cast<int64_t>(getgid()));
  // The folder stays staged while its contents follow; a restored file is released.
  EXPECT_EQ(previousStillStaged, (std::vector<bool>{true, false}));
}

TEST_F(RestoreJobTest, CountsRestoredKeptAndFailedEntriesWithTheReasonFromTheLog) {
  MakeSourceTree();
  auto controller = std::make_unique<NiceMock<MockController>>();
  ExpectPreparedJob(*controller);
  EXPECT_CALL(*controller, RestoreToVM(_, _, _, _, _, _, _))
      .WillOnce(Return(true))
      .WillOnce(DoAll(SetArgReferee<5>(true), Return(false)))
      .WillOnce(Invoke([](const char* staged, u_longlong_t, u_longlong_t, CXFileHeader*, std::string&, bool&, bool&) {
        EvDebug log;
        log.Error("channel", "Command failed: no route to host");
        // The staged path is the proxy's business: the reason names the entry's own path.
        log.Error("controller", "Failed to copy [%s]", staged);
        return false;
      }));
  const RestoreReport report = Run(std::move(controller));
  EXPECT_EQ(report.counts.restoredFolders, 1u);
  EXPECT_EQ(report.counts.kept, 1u);
  EXPECT_EQ(report.counts.bytesKept, 5u);
  EXPECT_EQ(report.counts.failed, 1u);
  ASSERT_EQ(report.failures.size(), 1u);
  EXPECT_EQ(report.failures[0].path, "b.txt");
  EXPECT_EQ(report.failures[0].reason, "Failed to copy [b.txt] (Command failed: no route to host)");
  EXPECT_EQ(report.outcome, JobOutcome::Completed);
  // Every entry has its record in the summary, restored ones included, kept ones with why.
  ASSERT_EQ(report.entries.size(), 3u);
  EXPECT_EQ(report.entries[0].outcome, EntryOutcome::Restored);
  EXPECT_EQ(report.entries[0].reason, "");
  EXPECT_EQ(report.entries[1].outcome, EntryOutcome::Kept);
  EXPECT_EQ(report.entries[1].reason, kKeptGuestAsNew);
  EXPECT_EQ(report.entries[2].outcome, EntryOutcome::Failed);
  EXPECT_EQ(report.entries[2].reason, report.failures[0].reason);
}

TEST_F(RestoreJobTest, SaysWhenTheCopyWorkedButTheAttributesDidNot) {
  zqtest::WriteFile(source.Join("f"), "x");
  std::string error;
  ASSERT_TRUE(WalkSourceTree(source.path(), tree, error));
  auto controller = std::make_unique<NiceMock<MockController>>();
  ExpectPreparedJob(*controller);
  EXPECT_CALL(*controller, RestoreToVM(_, _, _, _, _, _, _)).WillOnce(DoAll(SetArgReferee<6>(false), Return(false)));
  const RestoreReport report = Run(std::move(controller));
  ASSERT_EQ(report.failures.size(), 1u);
  EXPECT_EQ(report.failures[0].reason, "copied, but its attributes could not be applied: the plug-in reported a failure");
}

TEST_F(RestoreJobTest, CountsLinksAsSkippedWithTheirKindWithoutOfferingThem) {
  zqtest::WriteFile(source.Join("ok"), "x");
  ASSERT_EQ(symlink("ok", source.Join("link").c_str()), 0);
  std::string error;
  ASSERT_TRUE(WalkSourceTree(source.path(), tree, error));
  auto controller = std::make_unique<NiceMock<MockController>>();
  ExpectPreparedJob(*controller);
  EXPECT_CALL(*controller, RestoreToVM(testing::StrEq(stagingFolder + "/ok"), _, _, _, _, _, _)).WillOnce(Return(true));
  const RestoreReport report = Run(std::move(controller));
  EXPECT_EQ(report.counts.restoredFiles, 1u);
  EXPECT_EQ(report.counts.failed, 0u);
  EXPECT_EQ(report.counts.skipped, 1u);
  EXPECT_EQ(report.counts.EntriesDone(), 2u);
  ASSERT_EQ(report.skippedEntries.size(), 1u);
  EXPECT_EQ(report.skippedEntries[0].path, "link");
  EXPECT_EQ(report.skippedEntries[0].reason, "symbolic links are not restored");
  EXPECT_EQ(ExitStatusFor(report), kExitSuccess) << "a skipped link is no failure";
}

TEST_F(RestoreJobTest, StopsAtARefusalWithThePendingCauses) {
  MakeSourceTree();
  auto controller = std::make_unique<StrictMock<MockController>>();
  {
    InSequence order;
    EXPECT_CALL(*controller, Init(_, _, _, _, _, _)).WillOnce(RememberRecords());
    EXPECT_CALL(*controller, GetJobOptions(_)).WillOnce(Invoke([this](TMMsg::RestoreOption*) {
      EvDebug log;
      log.Error("controller", "VM [web01] [g-1] is not powered on.  Restore to the VM cannot continue.");
      *jobClient << "web01";
      jobClient->setPendingCause(0x5B0000C1, nullptr, false, EvMessageTypeDefault, 0, 0, 0, false,
                                 JMGUIAlertColorNone, JMPendingCauseNone, 0, 0);
      return false;
    }));
    EXPECT_CALL(*controller, Die());
  }
  const RestoreReport report = Run(std::move(controller));
  EXPECT_EQ(report.outcome, JobOutcome::Refused);
  EXPECT_EQ(report.failedStep, "GetJobOptions");
  EXPECT_EQ(report.detail, "VM [web01] [g-1] is not powered on.  Restore to the VM cannot continue.");
  ASSERT_EQ(report.pendingCauses.size(), 1u);
  EXPECT_EQ(report.pendingCauses[0].code, 0x5B0000C1);
  EXPECT_EQ(report.pendingCauses[0].arguments, std::vector<std::string>{"web01"});
  EXPECT_EQ(report.stagingFolder, "");
}

TEST_F(RestoreJobTest, DoesNotTearDownAStagingFolderThatWasNeverPublished) {
  MakeSourceTree();
  auto controller = std::make_unique<StrictMock<MockController>>();
  {
    InSequence order;
    EXPECT_CALL(*controller, Init(_, _, _, _, _, _)).WillOnce(RememberRecords());
    EXPECT_CALL(*controller, GetJobOptions(_)).WillOnce(Return(true));
    EXPECT_CALL(*controller, GenerateGuestAndStagingFolders()).WillOnce(Invoke([this] {
      free(setParams->destinationPath);
      setParams->destinationPath = nullptr;
      return false;
    }));
    EXPECT_CALL(*controller, Die());
  }
  const RestoreReport report = Run(std::move(controller));
  EXPECT_EQ(report.outcome, JobOutcome::Refused);
  EXPECT_EQ(report.failedStep, "GenerateGuestAndStagingFolders");
}

TEST_F(RestoreJobTest, TearsDownTheStagingFolderWhenItsSetUpFails) {
  MakeSourceTree();
  auto controller = std::make_unique<StrictMock<MockController>>();
  {
    InSequence order;
    EXPECT_CALL(*controller, Init(_, _, _, _, _, _)).WillOnce(RememberRecords());
    EXPECT_CALL(*controller, GetJobOptions(_)).WillOnce(Return(true));
    EXPECT_CALL(*controller, GenerateGuestAndStagingFolders()).WillOnce(PublishStagingFolder());
    EXPECT_CALL(*controller, InitStagingFolder()).WillOnce(Return(false));
    EXPECT_CALL(*controller, DeInitStagingFolder()).WillOnce(Return(true));
    EXPECT_CALL(*controller, Die());
  }
  const RestoreReport report = Run(std::move(controller));
  EXPECT_EQ(report.outcome, JobOutcome::Refused);
  EXPECT_EQ(report.failedStep, "InitStagingFolder");
  EXPECT_EQ(report.counts.EntriesDone(), 0u);
}

TEST_F(RestoreJobTest, EndsCleanlyWhenAskedToStop) {
  MakeSourceTree();
  std::atomic<bool> stop{false};
  auto controller = std::make_unique<NiceMock<MockController>>();
  ExpectPreparedJob(*controller);
  EXPECT_CALL(*controller, RestoreToVM(_, _, _, _, _, _, _)).WillOnce(Invoke([&](auto...) {
    stop = true;
    return true;
  }));
  EXPECT_CALL(*controller, DeInitStagingFolder()).WillOnce(Return(true));
  RestoreJobSettings settings = Settings();
  settings.stopRequested = &stop;
  const RestoreReport report = Run(std::move(controller), settings);
  EXPECT_EQ(report.outcome, JobOutcome::Interrupted);
  EXPECT_TRUE(report.stoppedOnRequest);
  EXPECT_EQ(report.counts.restoredFolders, 1u);
  EXPECT_EQ(report.counts.notAttempted, 2u);
  EXPECT_FALSE(Exists(stagingFolder));
}

TEST_F(RestoreJobTest, StopsAfterTheAllowedNumberOfFailures) {
  MakeSourceTree();
  auto controller = std::make_unique<NiceMock<MockController>>();
  ExpectPreparedJob(*controller);
  EXPECT_CALL(*controller, RestoreToVM(_, _, _, _, _, _, _)).Times(2).WillRepeatedly(Return(false));
  RestoreJobSettings settings = Settings();
  settings.maxFailures = 2;
  const RestoreReport report = Run(std::move(controller), settings);
  EXPECT_EQ(report.outcome, JobOutcome::Interrupted);
  EXPECT_FALSE(report.stoppedOnRequest);
  EXPECT_EQ(report.interruption, "stopped after 2 failed entries");
  EXPECT_EQ(report.counts.failed, 2u);
  EXPECT_EQ(report.counts.notAttempted, 1u);
}

TEST_F(RestoreJobTest, FailsOnTheHostSideWithoutAController) {
  MakeSourceTree();
  auto previous = SetLogSink(tap);
  const RestoreReport report = RestoreJob(job, tree, Settings()).Run([] { return ControllerPtr(); });
  SetLogSink(previous);
  EXPECT_EQ(report.outcome, JobOutcome::HostFailure);
  EXPECT_EQ(report.failedStep, "CreateVSAgentlessRestoreToVMObject");
}

// Progress is told about every entry, and about the start and the end.
class RecordingProgress : public RestoreProgress {
 public:
  void EntriesStarting(const SourceTree& tree) override { events.push_back("start " + std::to_string(tree.entries.size())); }
  void EntryDone(const RestoreCounts& counts) override { events.push_back("done " + std::to_string(counts.EntriesDone())); }
  void EntriesFinished() override { events.push_back("finished"); }
  void FileCopyStarting(const std::string&, uint64_t size) override { events.push_back("copy " + std::to_string(size)); }
  std::vector<std::string> events;
};

TEST_F(RestoreJobTest, ReportsProgressEntryByEntry) {
  MakeSourceTree();
  auto controller = std::make_unique<NiceMock<MockController>>();
  ExpectPreparedJob(*controller);
  EXPECT_CALL(*controller, RestoreToVM(_, _, _, _, _, _, _)).WillRepeatedly(Return(true));
  RecordingProgress progress;
  RestoreJobSettings settings = Settings();
  settings.progress = &progress;
  Run(std::move(controller), settings);
  EXPECT_EQ(progress.events,
            (std::vector<std::string>{"start 3", "done 1", "copy 5", "done 2", "copy 2", "done 3", "finished"}));
}

}  // namespace
