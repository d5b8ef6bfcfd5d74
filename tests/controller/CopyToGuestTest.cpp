// The replace-or-keep decision, folder creation and the throughput counter around every copy.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ControllerTestFixture.h"

namespace zqtest {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Eq;
using ::testing::Ref;
using ::testing::Return;

constexpr const char* kGuestFile = "D:\\Restore\\a.txt";
constexpr long long kGuestTime = 1600000000;
constexpr const char* kContent = "0123456789";  // ten bytes

enum class Browse { NotCalled, Fails, FailsWithEntry, AnswersEmpty, FindsFile };

struct DecisionRow {
  const char* name;
  bool overwriteAlways;
  Browse browse;
  bool timeIsAccurate;
  long long localTime;
  bool expectCopy;
  bool expectOverwrite;  // argument of the copy, when one is made
  bool expectResult;
  bool expectSkipped;
};
void PrintTo(const DecisionRow& row, std::ostream* out) { *out << row.name; }

class CopyToGuest : public ControllerTest {};

class ReplacementDecision : public ControllerTest, public ::testing::WithParamInterface<DecisionRow> {};

TEST_P(ReplacementDecision, FollowsTheTable) {
  const DecisionRow& row = GetParam();
  PrepareStaging("D:\\Restore");
  if (row.overwriteAlways) setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a.txt", kContent, row.localTime);

  VMInfoStructs::SGuestFile guestEntry;
  guestEntry.name = "a.txt";
  guestEntry.modifyTime = kGuestTime;
  switch (row.browse) {
    case Browse::NotCalled:
      break;
    case Browse::Fails:
      EXPECT_CALL(*guest, BrowseGuest(Ref(controller.m_guestCtx), Eq(kGuestFile), _)).WillOnce(Return(0));
      break;
    case Browse::FailsWithEntry:
      EXPECT_CALL(*guest, BrowseGuest(_, Eq(kGuestFile), _))
          .WillOnce(DoAll(::testing::SetArgReferee<2>(std::vector<VMInfoStructs::SGuestFile>{guestEntry}), Return(0)));
      break;
    case Browse::AnswersEmpty:
      EXPECT_CALL(*guest, BrowseGuest(_, Eq(kGuestFile), _)).WillOnce(Return(1));
      break;
    case Browse::FindsFile:
      EXPECT_CALL(*guest, BrowseGuest(_, Eq(kGuestFile), _))
          .WillOnce(DoAll(::testing::SetArgReferee<2>(std::vector<VMInfoStructs::SGuestFile>{guestEntry}), Return(1)));
      break;
  }
  if (row.expectCopy) {
    EXPECT_CALL(*guest, CopyFileToGuest(Ref(controller.m_guestCtx), Eq(staged), Eq(kGuestFile), row.expectOverwrite))
        .WillOnce(Return(1));
  }

  bool skipped = false;
  bool isFolder = true;
  EXPECT_EQ(row.expectResult, controller.CopyToGuest(staged, kGuestFile, row.timeIsAccurate, skipped, isFolder));

  EXPECT_EQ(row.expectSkipped, skipped);
  EXPECT_FALSE(isFolder);
  EXPECT_EQ(row.expectCopy ? 1u : 0u, controller.m_speedCounter.Intervals());
  EXPECT_EQ(row.expectCopy ? 10u : 0u, controller.m_speedCounter.TotalBytes());
  EXPECT_TRUE(Exists(staged));  // deleting is the caller's business
  EXPECT_TRUE(ErrorTexts().empty());
}

const DecisionRow kDecisionTable[] = {
    // name                                   always  browse                 accurate local        copy  ovw    result
    // skipped
    {"OverwriteAlwaysCopiesWithoutBrowsing", true, Browse::NotCalled, true, kGuestTime - 5, true, true, true, false},
    {"OverwriteAlwaysIgnoresInaccurateTime", true, Browse::NotCalled, false, kGuestTime, true, true, true, false},
    {"AbsentGuestFileCopiesWithoutOverwrite", false, Browse::AnswersEmpty, true, kGuestTime, true, false, true, false},
    {"AbsentGuestFileIgnoresInaccurateTime", false, Browse::AnswersEmpty, false, kGuestTime, true, false, true, false},
    {"FailedBrowseCopiesWithoutOverwrite", false, Browse::Fails, true, kGuestTime, true, false, true, false},
    {"FailedBrowseWithEntryCopiesWithoutOverwrite", false, Browse::FailsWithEntry, true, kGuestTime, true, false, true,
     false},
    {"InaccurateTimeKeepsGuestFile", false, Browse::FindsFile, false, kGuestTime + 100, false, false, false, true},
    {"OlderLocalFileKeepsGuestFile", false, Browse::FindsFile, true, kGuestTime - 100, false, false, false, true},
    {"EqualTimesKeepGuestFile", false, Browse::FindsFile, true, kGuestTime, false, false, false, true},
    {"NewerLocalFileOverwrites", false, Browse::FindsFile, true, kGuestTime + 1, true, true, true, false},
};
INSTANTIATE_TEST_SUITE_P(Rows, ReplacementDecision, ::testing::ValuesIn(kDecisionTable),
                         [](const ::testing::TestParamInfo<DecisionRow>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(CopyToGuest, KeptFileIsLoggedWithBothTimes) {
  PrepareStaging("D:\\Restore");
  const std::string staged = StageFile("a.txt", kContent, kGuestTime);
  VMInfoStructs::SGuestFile guestEntry;
  guestEntry.modifyTime = kGuestTime;
  EXPECT_CALL(*guest, BrowseGuest(_, _, _))
      .WillOnce(DoAll(::testing::SetArgReferee<2>(std::vector<VMInfoStructs::SGuestFile>{guestEntry}), Return(1)));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_FALSE(controller.CopyToGuest(staged, kGuestFile, true, skipped, isFolder));

  EXPECT_TRUE(HasLine(LogLevel::Level1, kCopyToGuestOrigin,
                      "File [" + staged +
                          "] [1600000000] is older than the file in the guest [D:\\Restore\\a.txt] "
                          "[1600000000]"));
}

TEST_F(CopyToGuest, InaccurateTimeIsLogged) {
  PrepareStaging("D:\\Restore");
  const std::string staged = StageFile("a.txt", kContent, kGuestTime);
  EXPECT_CALL(*guest, BrowseGuest(_, _, _))
      .WillOnce(DoAll(::testing::SetArgReferee<2>(std::vector<VMInfoStructs::SGuestFile>{VMInfoStructs::SGuestFile()}),
                      Return(1)));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_FALSE(controller.CopyToGuest(staged, kGuestFile, false, skipped, isFolder));

  EXPECT_TRUE(HasLine(LogLevel::Level1, kCopyToGuestOrigin, "File [" + staged + "] time is not accurate"));
}

TEST_F(CopyToGuest, NewerFileIsLoggedAndCopied) {
  PrepareStaging("D:\\Restore");
  const std::string staged = StageFile("a.txt", kContent, kGuestTime + 60);
  VMInfoStructs::SGuestFile guestEntry;
  guestEntry.modifyTime = kGuestTime;
  EXPECT_CALL(*guest, BrowseGuest(_, _, _))
      .WillOnce(DoAll(::testing::SetArgReferee<2>(std::vector<VMInfoStructs::SGuestFile>{guestEntry}), Return(1)));
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, true)).WillOnce(Return(1));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_TRUE(controller.CopyToGuest(staged, kGuestFile, true, skipped, isFolder));

  EXPECT_TRUE(
      HasLine(LogLevel::Level1, kCopyToGuestOrigin,
              "Overwrite guest file [D:\\Restore\\a.txt] [1600000000] with Local file [" + staged + "] [1600000060] "));
  EXPECT_TRUE(HasLine(LogLevel::Level2, kCopyToGuestOrigin,
                      "Copying to guest [" + staged + "]->[D:\\Restore\\a.txt]  (10) bytes"));
  EXPECT_TRUE(HasLine(LogLevel::Level1, kCopyToGuestOrigin,
                      "Successfully copied file to guest VM srcPath[" + staged + "] VMdestPath [D:\\Restore\\a.txt]"));
}

TEST_F(CopyToGuest, FailedCopyStillStopsTheCounter) {
  PrepareStaging("D:\\Restore");
  setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a.txt", kContent, kGuestTime);
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, true)).WillOnce(Return(0));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_FALSE(controller.CopyToGuest(staged, kGuestFile, true, skipped, isFolder));

  EXPECT_EQ(1u, controller.m_speedCounter.Intervals());
  EXPECT_EQ(10u, controller.m_speedCounter.TotalBytes());
  EXPECT_EQ(std::vector<std::string>{"Failed to copy [" + staged + "] to [D:\\Restore\\a.txt]"}, ErrorTexts());
  EXPECT_FALSE(skipped);
}

TEST_F(CopyToGuest, SkippedIsNeverCleared) {
  PrepareStaging("D:\\Restore");
  setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a.txt", kContent, kGuestTime);
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, _)).WillOnce(Return(1));

  bool skipped = true;
  bool isFolder = false;
  EXPECT_TRUE(controller.CopyToGuest(staged, kGuestFile, true, skipped, isFolder));
  EXPECT_TRUE(skipped);
}

TEST_F(CopyToGuest, OnlyBitFourMeansOverwriteAlways) {
  PrepareStaging("D:\\Restore");
  setParams.restoreFlags = ~kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a.txt", kContent, kGuestTime);
  EXPECT_CALL(*guest, BrowseGuest(_, _, _)).WillOnce(Return(1));
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, false)).WillOnce(Return(1));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_TRUE(controller.CopyToGuest(staged, kGuestFile, true, skipped, isFolder));
}

TEST_F(CopyToGuest, StagedFolderCreatesGuestFolder) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFolder("etc");
  EXPECT_CALL(*guest, CreateGuestFolder(Ref(controller.m_guestCtx), Eq("//tmp/r/etc"))).WillOnce(Return(1));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_TRUE(controller.CopyToGuest(staged, "//tmp/r/etc", true, skipped, isFolder));

  EXPECT_TRUE(isFolder);
  EXPECT_FALSE(skipped);
  EXPECT_EQ(0u, controller.m_speedCounter.Intervals());
  EXPECT_TRUE(HasLine(LogLevel::Level1, kCopyToGuestOrigin, "Creating guest dir [//tmp/r/etc]"));
  EXPECT_TRUE(HasLine(LogLevel::Level2, kCopyToGuestOrigin, "Successfully created guest dir [//tmp/r/etc]"));
}

TEST_F(CopyToGuest, FailedGuestFolderIsAnError) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFolder("etc");
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillOnce(Return(0));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_FALSE(controller.CopyToGuest(staged, "//tmp/r/etc", true, skipped, isFolder));

  EXPECT_TRUE(isFolder);
  EXPECT_EQ(std::vector<std::string>{"Failed to create guest dir [//tmp/r/etc]"}, ErrorTexts());
}

TEST_F(CopyToGuest, HyperVCreatesNoFolders) {
  initDataVer2.instanceType = VSInstanceHyperV;
  PrepareStaging("//tmp/r");
  const std::string staged = StageFolder("etc");

  bool skipped = false;
  bool isFolder = false;
  EXPECT_FALSE(controller.CopyToGuest(staged, "//tmp/r/", true, skipped, isFolder));

  EXPECT_TRUE(isFolder);
  EXPECT_TRUE(log.sink().Records().empty());
}

// A Hyper-V Unix guest path names the folder that is to hold the file; the first entry of that
// folder may be any other file, which must not decide whether this one is kept.
TEST_F(CopyToGuest, HyperVUnixGuestComparesTheFileItselfNotTheFirstEntryOfItsFolder) {
  initDataVer2.instanceType = VSInstanceHyperV;
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("etc/hosts", kContent, kGuestTime - 10);
  VMInfoStructs::SGuestFile guestEntry;
  guestEntry.name = "hosts";
  guestEntry.modifyTime = kGuestTime;
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r/etc/hosts"), _))
      .WillOnce(DoAll(::testing::SetArgReferee<2>(std::vector<VMInfoStructs::SGuestFile>{guestEntry}), Return(1)));

  bool skipped = false;
  bool isFolder = true;
  EXPECT_FALSE(controller.CopyToGuest(staged, "//tmp/r/etc", true, skipped, isFolder));

  EXPECT_TRUE(skipped);
}

TEST_F(CopyToGuest, HyperVUnixGuestCopiesAFileItsFolderDoesNotHoldYet) {
  initDataVer2.instanceType = VSInstanceHyperV;
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("hosts", kContent, kGuestTime);
  EXPECT_CALL(*guest, IsZqGuestAPI()).WillRepeatedly(Return(false));
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r/hosts"), _)).WillOnce(Return(0));
  EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(staged), Eq("//tmp/r/"), false)).WillOnce(Return(1));

  bool skipped = false;
  bool isFolder = true;
  EXPECT_TRUE(controller.CopyToGuest(staged, "//tmp/r/", true, skipped, isFolder));

  EXPECT_FALSE(skipped);
}

// Over SSH the copy tool writes the path it is given, so a command channel gets the entry's own
// path, not the holding folder the native channel takes.
TEST_F(CopyToGuest, HyperVUnixGuestOverSshCopiesToTheEntrysOwnPath) {
  initDataVer2.instanceType = VSInstanceHyperV;
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("etc/hosts", kContent, kGuestTime);
  EXPECT_CALL(*guest, IsZqGuestAPI()).WillRepeatedly(Return(true));
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r/etc/hosts"), _)).WillOnce(Return(1));
  EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(staged), Eq("//tmp/r/etc/hosts"), false)).WillOnce(Return(1));

  bool skipped = false;
  bool isFolder = true;
  EXPECT_TRUE(controller.CopyToGuest(staged, "//tmp/r/etc", true, skipped, isFolder));
}

TEST_F(CopyToGuest, SymbolicLinkToFolderCountsAsFolder) {
  PrepareStaging("//tmp/r");
  StageFolder("real");
  const std::string link = stagingFolder + "/link";
  ASSERT_EQ(0, symlink((stagingFolder + "/real").c_str(), link.c_str()));
  EXPECT_CALL(*guest, CreateGuestFolder(_, Eq("//tmp/r/link"))).WillOnce(Return(1));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_TRUE(controller.CopyToGuest(link, "//tmp/r/link", true, skipped, isFolder));
  EXPECT_TRUE(isFolder);
}

TEST_F(CopyToGuest, VanishedEntryFailsWithoutTouchingTheGuest) {
  PrepareStaging("//tmp/r");
  const std::string staged = stagingFolder + "/gone.txt";

  bool skipped = false;
  bool isFolder = true;
  EXPECT_FALSE(controller.CopyToGuest(staged, "//tmp/r/gone.txt", true, skipped, isFolder));

  EXPECT_FALSE(isFolder);
  EXPECT_FALSE(skipped);
  EXPECT_EQ(0u, controller.m_speedCounter.Intervals());
  EXPECT_EQ(
      std::vector<std::string>{"Cannot examine staged entry [" + staged + "], " + std::string(std::strerror(ENOENT))},
      ErrorTexts());
}

TEST_F(CopyToGuest, WithoutChannelFails) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("a.txt", kContent, kGuestTime);
  controller.m_pGuestAPI.reset();

  bool skipped = false;
  bool isFolder = false;
  EXPECT_FALSE(controller.CopyToGuest(staged, "//tmp/r/a.txt", true, skipped, isFolder));
  EXPECT_EQ(std::vector<std::string>{"No guest channel for VM [vm1]"}, ErrorTexts());
}

}  // namespace
}  // namespace zqtest
