// The guest folder, the staging folder published in place of the destination, and the
// channel's mapping between the two.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>

#include "ControllerTestFixture.h"

namespace zqtest {
namespace {

using ::testing::_;
using ::testing::Invoke;
using ::testing::Eq;
using ::testing::Ref;
using ::testing::Return;

class GuestFolders : public ControllerTest {
 protected:
  // PrepareStaging, with the staging folder's parent made by this run's InitStagingFolder.
  void PrepareStagingOfThisRun(const std::string& guestDir) {
    Activate();
    controller.m_guestDir = guestDir;
    SetDestination(stagingFolder.c_str());
    EXPECT_CALL(*guest, InitStagingFolder(_, _, _)).WillOnce(Return(1));
    ASSERT_TRUE(controller.InitStagingFolder());
    MakeDirectory(stagingFolder);
  }
};

struct DestinationRow {
  const char* name;
  const char* destination;
  bool unixPreset;  // setRestoreToUnixVM called by the host
  const char* expectedGuestDir;
  bool expectedUnix;
};
void PrintTo(const DestinationRow& row, std::ostream* out) { *out << row.name; }

class GuestDestination : public ControllerTest, public ::testing::WithParamInterface<DestinationRow> {};

TEST_P(GuestDestination, BuildsGuestFolderAndPublishesStagingFolder) {
  const DestinationRow& row = GetParam();
  Activate();
  SetDestination(row.destination);
  if (row.unixPreset) controller.setRestoreToUnixVM();
  EXPECT_CALL(*guest, CreateGuestFolder(Ref(controller.m_guestCtx), Eq(row.expectedGuestDir))).WillOnce(Return(1));

  ASSERT_TRUE(controller.GenerateGuestAndStagingFolders());

  EXPECT_EQ(row.expectedGuestDir, controller.m_guestDir);
  EXPECT_EQ(row.expectedUnix, controller.m_restoreToUnixVM);
  ASSERT_NE(nullptr, setParams.destinationPath);
  EXPECT_EQ(stagingFolder, setParams.destinationPath);
  EXPECT_TRUE(
      HasLine(LogLevel::Level1, kGenerateFoldersOrigin,
              std::string("Successfully created guest VM destination directory [") + row.expectedGuestDir + "]"));
  EXPECT_TRUE(
      HasLine(LogLevel::Level1, "GenerateGuestAndStagingFolders", "staging VM files to [" + stagingFolder + "] "));
  EXPECT_TRUE(ErrorTexts().empty());
  EXPECT_TRUE(jobClient.pendingCauses().empty());
}

const DestinationRow kDestinations[] = {
    {"AbsoluteUnixDestinationGetsSecondSlash", "/data", false, "//data", true},
    {"RelativeDestinationOnUnixGuest", "data", true, "/data", true},
    {"AbsoluteDestinationOnKnownUnixGuest", "/tmp/r", true, "//tmp/r", true},
    {"WindowsDestinationUnchanged", "E:\\out", false, "E:\\out", false},
};
INSTANTIATE_TEST_SUITE_P(Destinations, GuestDestination, ::testing::ValuesIn(kDestinations),
                         [](const ::testing::TestParamInfo<DestinationRow>& info) {
                           return std::string(info.param.name);
                         });

struct StagingRow {
  const char* name;
  int64_t idA;
  uint64_t idB;
  int64_t idC;
  const char* jobResultsSuffix;  // appended to the job-results folder in the settings
  const char* expectedBelowJobResults;
};
void PrintTo(const StagingRow& row, std::ostream* out) { *out << row.name; }

class StagingFolderPublication : public ControllerTest, public ::testing::WithParamInterface<StagingRow> {};

TEST_P(StagingFolderPublication, PublishesStagingFolderUnderJobResults) {
  const StagingRow& row = GetParam();
  Activate();
  SetDestination("/data");
  initData.initIdA = row.idA;
  initData.initIdB = row.idB;
  initData.initIdC = row.idC;
  settings.Set("JobResults", kClientName, jobResultsDir + row.jobResultsSuffix);
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillOnce(Return(1));

  ASSERT_TRUE(controller.GenerateGuestAndStagingFolders());

  EXPECT_EQ(jobResultsDir + row.expectedBelowJobResults, setParams.destinationPath);
}

const StagingRow kStagingRows[] = {
    {"PlainIds", 2, 17, 45, "", "/ZQ_JobResults/2/17/45/run-1-00000000000000aa/ForGuestVM"},
    {"JobResultsEndingInSlash", 2, 17, 45, "/", "/ZQ_JobResults/2/17/45/run-1-00000000000000aa/ForGuestVM"},
    {"FirstIdWithTopBitPrintsUnsigned", INT64_MIN, 17, 45, "", "/ZQ_JobResults/9223372036854775808/17/45/run-1-00000000000000aa/ForGuestVM"},
    {"SecondIdWithTopBitPrintsUnsigned", 2, UINT64_MAX, 45, "", "/ZQ_JobResults/2/18446744073709551615/45/run-1-00000000000000aa/ForGuestVM"},
    {"NegativeThirdIdPrintsSigned", 2, 17, -45, "", "/ZQ_JobResults/2/17/-45/run-1-00000000000000aa/ForGuestVM"},
    {"ZeroIds", 0, 0, 0, "", "/ZQ_JobResults/0/0/0/run-1-00000000000000aa/ForGuestVM"},
};
INSTANTIATE_TEST_SUITE_P(StagingPaths, StagingFolderPublication, ::testing::ValuesIn(kStagingRows),
                         [](const ::testing::TestParamInfo<StagingRow>& info) { return std::string(info.param.name); });

TEST_F(GuestFolders, StagingFolderOfFocusClientWhenNoClientNameGiven) {
  Activate();
  SetDestination("/data");
  controller.m_clientName.clear();
  settings.Set("Client", "Name", "focusClient");
  settings.Set("JobResults", "focusClient", root.Join("focus"));
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillOnce(Return(1));

  ASSERT_TRUE(controller.GenerateGuestAndStagingFolders());

  EXPECT_EQ(root.Join("focus") + "/ZQ_JobResults/2/17/45/" + kRunName + "/ForGuestVM", setParams.destinationPath);
}

TEST_F(GuestFolders, FailedGuestFolderIsReportedToTheJob) {
  Activate();
  SetDestination("/tmp/r");
  // The channel's own reason (over SSH the guest's; natively the component's), never a stale one
  // of the component when another channel failed.
  vmInfo.lastError = "stale";
  EXPECT_CALL(*guest, GetLastGuestApiErrorDetails()).WillRepeatedly(Return("guest operations are not ready"));
  EXPECT_CALL(*guest, CreateGuestFolder(_, Eq("//tmp/r"))).WillOnce(Return(0));

  EXPECT_FALSE(controller.GenerateGuestAndStagingFolders());

  EXPECT_EQ(nullptr, setParams.destinationPath);
  EXPECT_TRUE(HasLine(LogLevel::Error, kGenerateFoldersOrigin,
                      "Failed to create guest VM destination directory [//tmp/r], guest operations are not ready"));
  EXPECT_EQ(1u, ErrorTexts().size());
  const std::vector<PendingCause> causes = jobClient.pendingCauses();
  ASSERT_EQ(1u, causes.size());
  EXPECT_EQ(0x4800006A, causes[0].code);
  ASSERT_EQ(1u, causes[0].arguments.size());
  EXPECT_EQ(
      "Cannot create destination directory [//tmp/r] inside guest virtual machine [vm1].  "
      "[guest operations are not ready]",
      causes[0].arguments[0]);
}

TEST_F(GuestFolders, FailedGuestFolderWithEmptyErrorTextKeepsTheBrackets) {
  Activate();
  SetDestination("E:\\out");
  EXPECT_CALL(*guest, GetLastGuestApiErrorDetails()).WillRepeatedly(Return(""));
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillOnce(Return(0));

  EXPECT_FALSE(controller.GenerateGuestAndStagingFolders());

  const std::vector<PendingCause> causes = jobClient.pendingCauses();
  ASSERT_EQ(1u, causes.size());
  EXPECT_EQ(std::vector<std::string>{"Cannot create destination directory [E:\\out] inside guest virtual machine "
                                     "[vm1].  []"},
            causes[0].arguments);
}

TEST_F(GuestFolders, AfterFailedGuestFolderStagingOperationsDoNothing) {
  Activate();
  SetDestination("/tmp/r");
  EXPECT_CALL(*guest, GetLastGuestApiErrorDetails()).WillRepeatedly(Return(""));
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillOnce(Return(0));
  ASSERT_FALSE(controller.GenerateGuestAndStagingFolders());

  // StrictMock: any channel call here fails the test.
  EXPECT_TRUE(controller.InitStagingFolder());
  EXPECT_TRUE(controller.DeInitStagingFolder());
  EXPECT_FALSE(Exists(jobResultsDir));
}

TEST_F(GuestFolders, SecondGenerationIsRefusedAndChangesNothing) {
  Activate();
  SetDestination("/data");
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillOnce(Return(1));
  ASSERT_TRUE(controller.GenerateGuestAndStagingFolders());
  char* const published = setParams.destinationPath;
  log.sink().Clear();

  EXPECT_FALSE(controller.GenerateGuestAndStagingFolders());

  EXPECT_EQ("//data", controller.m_guestDir);
  EXPECT_EQ(published, setParams.destinationPath);
  EXPECT_EQ(stagingFolder, setParams.destinationPath);
  EXPECT_EQ(std::vector<std::string>{"Guest VM destination directory [//data] has already been prepared"},
            ErrorTexts());
}

TEST_F(GuestFolders, GenerationAfterAFailedOneIsRefused) {
  Activate();
  SetDestination("/data");
  EXPECT_CALL(*guest, GetLastGuestApiErrorDetails()).WillRepeatedly(Return(""));
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillOnce(Return(0));
  ASSERT_FALSE(controller.GenerateGuestAndStagingFolders());
  SetDestination("/data");

  EXPECT_FALSE(controller.GenerateGuestAndStagingFolders());
  EXPECT_EQ("//data", controller.m_guestDir);
}

TEST_F(GuestFolders, GenerationWithoutDestinationIsRefused) {
  for (const char* destination : {static_cast<const char*>(nullptr), ""}) {
    SCOPED_TRACE(destination == nullptr ? "null" : "empty");
    log.sink().Clear();
    Activate();
    SetDestination(destination);

    EXPECT_FALSE(controller.GenerateGuestAndStagingFolders());

    EXPECT_TRUE(controller.m_guestDir.empty());
    EXPECT_EQ(std::vector<std::string>{"No destination directory given for VM [vm1]"}, ErrorTexts());
  }
}

TEST_F(GuestFolders, GenerationWithoutJobRecordsIsRefused) {
  Activate();
  SetDestination("/data");
  controller.m_pInitData = nullptr;

  EXPECT_FALSE(controller.GenerateGuestAndStagingFolders());

  EXPECT_STREQ("/data", setParams.destinationPath);
  EXPECT_EQ(std::vector<std::string>{"Restore job records are missing"}, ErrorTexts());
}

TEST_F(GuestFolders, GenerationWithoutChannelIsRefusedAndKeepsDestination) {
  Activate();
  SetDestination("/data");
  controller.m_pGuestAPI.reset();

  EXPECT_FALSE(controller.GenerateGuestAndStagingFolders());

  EXPECT_STREQ("/data", setParams.destinationPath);
  EXPECT_TRUE(controller.m_guestDir.empty());
  EXPECT_FALSE(controller.m_restoreToUnixVM);
  EXPECT_TRUE(HasLine(LogLevel::Error, kGenerateFoldersOrigin, "No guest channel for VM [vm1]"));
}

TEST_F(GuestFolders, InitStagingCreatesParentAndMapsWithThirdId) {
  initData.initIdC = -7;
  stagingFolder = jobResultsDir + "/ZQ_JobResults/2/17/-7/" + kRunName + "/ForGuestVM";
  Activate();
  controller.m_guestDir = "//tmp/r";
  SetDestination(stagingFolder.c_str());
  EXPECT_CALL(*guest, InitStagingFolder(-7, Eq(stagingFolder), Eq("//tmp/r"))).WillOnce(Return(1));

  EXPECT_TRUE(controller.InitStagingFolder());

  EXPECT_TRUE(IsDirectory(jobResultsDir + "/ZQ_JobResults/2/17/-7"));
  EXPECT_FALSE(Exists(stagingFolder));
  EXPECT_TRUE(HasLine(LogLevel::Level1, kInitStagingOrigin, "StagingDir [" + stagingFolder + "] GuestDir [//tmp/r]"));
  EXPECT_TRUE(ErrorTexts().empty());
}

TEST_F(GuestFolders, InitStagingReportsRefusedMapping) {
  Activate();
  controller.m_guestDir = "D:\\out";
  SetDestination(stagingFolder.c_str());
  EXPECT_CALL(*guest, InitStagingFolder(45, _, _)).WillOnce(Return(0));

  EXPECT_FALSE(controller.InitStagingFolder());

  EXPECT_EQ(std::vector<std::string>{"mapping StagingDir [" + stagingFolder + "] to GuestDir [D:\\out] failed"},
            ErrorTexts());
}

TEST_F(GuestFolders, InitStagingReportsUncreatableParent) {
  Activate();
  controller.m_guestDir = "//tmp/r";
  WriteFile(jobResultsDir, "a file where the job-results folder should be");
  SetDestination(stagingFolder.c_str());

  EXPECT_FALSE(controller.InitStagingFolder());

  const std::vector<std::string> errors = ErrorTexts();
  ASSERT_EQ(1u, errors.size());
  const std::string expectedStart =
      "Failed to create staging folder on proxy [" + jobResultsDir + "/ZQ_JobResults/2/17/45/" + kRunName + "] error [";
  EXPECT_EQ(expectedStart, errors[0].substr(0, expectedStart.size()));
}

TEST_F(GuestFolders, InitStagingReportsUnsplittablePath) {
  Activate();
  controller.m_guestDir = "//tmp/r";
  SetDestination("ForGuestVM");

  EXPECT_FALSE(controller.InitStagingFolder());

  const std::vector<std::string> errors = ErrorTexts();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(0u, errors[0].find("SplitParentPath [ForGuestVM] error ["));
}

TEST_F(GuestFolders, StagingOperationsBeforeGuestFolderAreRefused) {
  Activate();
  const std::string destination = root.Join("guestdest");
  MakeDirectory(destination);
  WriteFile(destination + "/keep.txt", "must survive");
  SetDestination(destination.c_str());

  EXPECT_FALSE(controller.InitStagingFolder());
  EXPECT_FALSE(controller.DeInitStagingFolder());

  EXPECT_TRUE(Exists(destination + "/keep.txt"));
  EXPECT_EQ(2u, ErrorTexts().size());
}

TEST_F(GuestFolders, StagingOperationsWithoutChannelAreRefused) {
  PrepareStaging("//tmp/r");
  controller.m_pGuestAPI.reset();

  EXPECT_FALSE(controller.InitStagingFolder());
  EXPECT_FALSE(controller.DeInitStagingFolder());

  EXPECT_EQ((std::vector<std::string>{"No guest channel for VM [vm1]", "No guest channel for VM [vm1]"}), ErrorTexts());
}

TEST_F(GuestFolders, DeInitStagingHandsFolderBackToChannel) {
  PrepareStagingOfThisRun("//tmp/r");
  EXPECT_CALL(*guest, DeInitStagingFolder(Eq(stagingFolder), Eq("//tmp/r"))).WillOnce(Return(1));

  EXPECT_TRUE(controller.DeInitStagingFolder());

  EXPECT_TRUE(HasLine(LogLevel::Level1, kDeInitStagingOrigin, "StagingDir [" + stagingFolder + "] Guestdir [//tmp/r]"));
  EXPECT_TRUE(ErrorTexts().empty());
}

TEST_F(GuestFolders, DeInitStagingReportsRefusal) {
  PrepareStagingOfThisRun("//tmp/r");
  EXPECT_CALL(*guest, DeInitStagingFolder(_, _)).WillOnce(Return(0));

  EXPECT_FALSE(controller.DeInitStagingFolder());

  EXPECT_EQ(std::vector<std::string>{"unmapping StagingDir [" + stagingFolder + "] from GuestDir [//tmp/r] failed"},
            ErrorTexts());
}

// A staging folder this run did not make (its InitStagingFolder was refused or never ran) may be
// another run's: it is never handed over for deletion. One it made goes, with its run folder.
TEST_F(GuestFolders, DeInitStagingRemovesOnlyWhatThisRunMade) {
  PrepareStaging("//tmp/r");
  WriteFile(stagingFolder + "/a.txt", "another run's entry");
  EXPECT_TRUE(controller.DeInitStagingFolder());  // StrictMock: no channel call
  EXPECT_TRUE(Exists(stagingFolder + "/a.txt"));

  ASSERT_EQ(0, std::system(("rm -rf '" + jobResultsDir + "'").c_str()));
  PrepareStagingOfThisRun("//tmp/r");
  EXPECT_CALL(*guest, DeInitStagingFolder(_, _)).WillOnce(Invoke([](const std::string& staging, const std::string&) {
    return CNyDirectory::Remove(staging, true, true).IsError() ? 0 : 1;
  }));
  EXPECT_TRUE(controller.DeInitStagingFolder());
  EXPECT_FALSE(Exists(jobResultsDir + "/ZQ_JobResults/2/17/45/" + kRunName));
  EXPECT_TRUE(IsDirectory(jobResultsDir + "/ZQ_JobResults/2/17/45"));
}

// Run folders below one job's ids: a second run never shares or removes a live run's folder; the
// folder of a run that is gone (its lock free) goes with the next run, links inside it removed and
// never followed; a folder still being made is left for a while; anything else is never touched.
TEST_F(GuestFolders, RunFoldersOfLiveRunsStayAndThoseOfEndedRunsGo) {
  const std::string ids = jobResultsDir + "/ZQ_JobResults/2/17/45";
  CreateDirectories(ids);
  ASSERT_EQ(0, chmod(ids.c_str(), 0700));
  const auto open = [&]() { return ::open(ids.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); };
  const int idsFd = open();
  ASSERT_GE(idsFd, 0);
  StagingRunFolder live;
  std::string error;
  ASSERT_TRUE(live.Create(idsFd, "run-7-0000000000000001", error)) << error;
  WriteFile(ids + "/run-7-0000000000000001/keep", "live");
  StagingRunFolder same;
  EXPECT_FALSE(same.Create(idsFd, "run-7-0000000000000001", error)) << "a name is never taken twice";
  MakeDirectory(ids + "/run-8-0000000000000002");  // ended: nobody holds its lock
  MakeDirectory(ids + "/run-8-0000000000000002/ForGuestVM");
  const std::string outside = root.Join("outside.txt");
  WriteFile(outside, "outside");
  ASSERT_EQ(0, symlink(outside.c_str(), (ids + "/run-8-0000000000000002/ForGuestVM/link").c_str()));
  MakeDirectory(ids + "/.new-run-9-0000000000000003");  // just being made
  MakeDirectory(ids + "/ForGuestVM");                     // not a run folder
  ::close(idsFd);

  Activate();
  controller.m_guestDir = "//tmp/r";
  SetDestination(stagingFolder.c_str());
  EXPECT_CALL(*guest, InitStagingFolder(45, _, _)).WillOnce(Return(1));
  EXPECT_TRUE(controller.InitStagingFolder());

  EXPECT_TRUE(Exists(ids + "/run-7-0000000000000001/keep"));
  EXPECT_FALSE(Exists(ids + "/run-8-0000000000000002"));
  EXPECT_EQ("outside", ReadFile(outside));
  EXPECT_TRUE(IsDirectory(ids + "/.new-run-9-0000000000000003"));
  EXPECT_TRUE(IsDirectory(ids + "/ForGuestVM"));
  EXPECT_TRUE(IsDirectory(ids + "/" + kRunName));
  EXPECT_TRUE(HasLine(LogLevel::Level1, kInitStagingOrigin,
                      "Removed the staging folder [run-8-0000000000000002] of a run that is no longer alive"));
  // The run's own folder is locked as long as its controller lives.
  const int again = open();
  std::vector<std::string> problems;
  EXPECT_TRUE(StagingRunFolder::ClearAbandoned(again, problems).empty());
  ::close(again);
  EXPECT_TRUE(IsDirectory(ids + "/" + kRunName));
}

TEST_F(GuestFolders, StagingOperationsWithoutStagingFolderSucceed) {
  Activate();
  controller.m_guestDir = "//tmp/r";
  EXPECT_TRUE(controller.InitStagingFolder());
  EXPECT_TRUE(controller.DeInitStagingFolder());
  controller.m_pSetParams = nullptr;
  EXPECT_TRUE(controller.InitStagingFolder());
  EXPECT_TRUE(controller.DeInitStagingFolder());
}

// The whole folder life of one job against the channel, in the host's order.
TEST_F(GuestFolders, FolderLifeOfOneJob) {
  Activate();
  SetDestination("D:\\Restore");
  {
    ::testing::InSequence order;
    EXPECT_CALL(*guest, CreateGuestFolder(_, Eq("D:\\Restore"))).WillOnce(Return(1));
    EXPECT_CALL(*guest, InitStagingFolder(45, Eq(stagingFolder), Eq("D:\\Restore"))).WillOnce(Return(1));
    EXPECT_CALL(*guest, DeInitStagingFolder(Eq(stagingFolder), Eq("D:\\Restore"))).WillOnce(Return(1));
  }
  ASSERT_TRUE(controller.GenerateGuestAndStagingFolders());
  ASSERT_TRUE(controller.InitStagingFolder());
  std::string guestPath;
  controller.GenerateGuestFilePath(stagingFolder + "/Users/a.txt", guestPath);
  EXPECT_EQ("D:\\Restore\\Users\\a.txt", guestPath);
  EXPECT_TRUE(controller.DeInitStagingFolder());
  EXPECT_FALSE(controller.m_restoreToUnixVM);
}

}  // namespace
}  // namespace zqtest
