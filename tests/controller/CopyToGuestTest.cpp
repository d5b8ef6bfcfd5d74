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

// What the listing of the file's folder answers.
enum class Browse {
  NotCalled,
  FindsFile,          // the folder lists the file among others
  AbsentFromListing,  // the folder lists other entries
  EmptyFolder,        // the folder lists nothing
  CannotTell,         // the folder cannot be listed
  FolderInTheWay,     // the folder lists a folder of the file's name, in other letter case
  FindsOtherSize,     // the folder lists the file with the backup's time and another size
  FindsLink,          // the folder lists a link of the file's name, dated like the file
};

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
  bool expectError;
};
void PrintTo(const DecisionRow& row, std::ostream* out) { *out << row.name; }

class CopyToGuest : public ControllerTest {};

class ReplacementDecision : public ControllerTest, public ::testing::WithParamInterface<DecisionRow> {};

using Entries = std::vector<VMInfoStructs::SGuestFile>;

VMInfoStructs::SGuestFile GuestEntry(const char* name, VMInfoStructs::GuestFileType type) {
  VMInfoStructs::SGuestFile entry;
  entry.name = name;
  entry.type = type;
  entry.modifyTime = kGuestTime;
  entry.size = static_cast<int64_t>(std::strlen(kContent));
  return entry;
}

TEST_P(ReplacementDecision, FollowsTheTable) {
  const DecisionRow& row = GetParam();
  PrepareStaging("D:\\Restore");
  if (row.overwriteAlways) setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a.txt", kContent, row.localTime);

  const Entries file{GuestEntry("a.txt", VMInfoStructs::GuestFileRegular)};
  const auto answer = [](const Entries& entries, int result) {
    return DoAll(::testing::SetArgReferee<2>(entries), Return(result));
  };
  const auto listFolder = [&]() -> auto& {
    return EXPECT_CALL(*guest, BrowseGuest(Ref(controller.m_guestCtx), Eq("D:\\Restore"), _));
  };
  EXPECT_CALL(*guest, GetLastGuestApiErrorDetails()).WillRepeatedly(Return("no answer"));
  switch (row.browse) {
    case Browse::NotCalled:
      break;
    case Browse::FindsFile:
      listFolder().WillOnce(answer({GuestEntry("b.txt", VMInfoStructs::GuestFileRegular), file[0]}, 1));
      break;
    case Browse::AbsentFromListing:
      listFolder().WillOnce(answer({GuestEntry("b.txt", VMInfoStructs::GuestFileRegular)}, 1));
      break;
    case Browse::EmptyFolder:
      listFolder().WillOnce(Return(1));
      break;
    case Browse::CannotTell:
      listFolder().WillOnce(Return(0));
      break;
    case Browse::FolderInTheWay:
      listFolder().WillOnce(answer({GuestEntry("A.TXT", VMInfoStructs::GuestFileDirectory)}, 1));
      break;
    case Browse::FindsOtherSize: {
      Entries resized = file;
      resized[0].size += 1;
      listFolder().WillOnce(answer(resized, 1));
      break;
    }
    case Browse::FindsLink:
      listFolder().WillOnce(answer({GuestEntry("a.txt", VMInfoStructs::GuestFileSymlink)}, 1));
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
  EXPECT_EQ(row.expectError, !ErrorTexts().empty());
}

const DecisionRow kDecisionTable[] = {
    // name, always, browse, accurate, local, copy, overwrite, result, skipped, error
    {"OverwriteAlwaysCopiesWithoutBrowsing", true, Browse::NotCalled, true, kGuestTime - 5, true, true, true, false,
     false},
    {"OverwriteAlwaysIgnoresInaccurateTime", true, Browse::NotCalled, false, kGuestTime, true, true, true, false, false},
    {"AbsentGuestFileCopiesWithoutOverwrite", false, Browse::AbsentFromListing, true, kGuestTime, true, false, true,
     false, false},
    {"AbsentGuestFileIgnoresInaccurateTime", false, Browse::AbsentFromListing, false, kGuestTime, true, false, true,
     false, false},
    {"EmptyFolderMeansAbsent", false, Browse::EmptyFolder, true, kGuestTime, true, false, true,
     false, false},
    {"FailedBrowseIsAFailureNotAnAbsentFile", false, Browse::CannotTell, true, kGuestTime, false, false, false, false,
     true},
    {"FolderWhereTheFileGoesFails", false, Browse::FolderInTheWay, true, kGuestTime + 100, false, false, false, false,
     true},
    {"FileFoundInItsFolderIsCompared", false, Browse::FindsFile, true, kGuestTime, false, false, false, true,
     false},
    {"InaccurateTimeKeepsGuestFile", false, Browse::FindsFile, false, kGuestTime + 100, false, false, false, true,
     false},
    {"OlderLocalFileKeepsGuestFile", false, Browse::FindsFile, true, kGuestTime - 100, false, false, false, true,
     false},
    {"EqualTimesKeepGuestFile", false, Browse::FindsFile, true, kGuestTime, false, false, false, true, false},
    {"NewerLocalFileOverwrites", false, Browse::FindsFile, true, kGuestTime + 1, true, true, true, false, false},
    {"EqualTimesOtherSizeOverwrites", false, Browse::FindsOtherSize, true, kGuestTime, true, true, true, false,
     false},
    {"LinkAtTheNameFailsAndIsNotKept", false, Browse::FindsLink, true, kGuestTime - 100, false, false, false, false,
     true},
    {"LinkAtTheNameIsNotWrittenThrough", false, Browse::FindsLink, true, kGuestTime + 100, false, false, false, false,
     true},
};
INSTANTIATE_TEST_SUITE_P(Rows, ReplacementDecision, ::testing::ValuesIn(kDecisionTable),
                         [](const ::testing::TestParamInfo<DecisionRow>& info) {
                           return std::string(info.param.name);
                         });

// Replace-or-keep by content (the restore flag checksum): the guest file always has the staged
// file's time here, so that time alone would keep it, or is older, so that time alone would replace it.
struct ContentRow {
  const char* name;
  long long localTime;
  int64_t guestSizeDelta;
  const char* guestAnswer;  // what the channel's digest request answers; null: no request expected
  int hashResult;
  bool expectCopy;
  bool expectSkipped;
  const char* secondAnswer = nullptr;  // a second digest in the same answer
};
void PrintTo(const ContentRow& row, std::ostream* out) { *out << row.name; }

class ContentDecision : public ControllerTest, public ::testing::WithParamInterface<ContentRow> {};

// SHA-256 of kContent, and of another ten bytes.
constexpr const char* kContentDigest = "84d89877f0d4041efb6bf91a16f0248f2fd573e6af05c19f96bedb9f882f7882";
constexpr const char* kOtherDigest = "72399361da6a7754fec986dca5b7cbaf1c810a28ded4abaf56b2106d06cb78b0";

TEST_P(ContentDecision, FollowsTheTable) {
  const ContentRow& row = GetParam();
  PrepareStaging("D:\\Restore");
  setParams.restoreFlags = kRestoreFlagChecksum;
  const std::string staged = StageFile("a.txt", kContent, row.localTime);
  VMInfoStructs::SGuestFile entry = GuestEntry("a.txt", VMInfoStructs::GuestFileRegular);
  entry.size += row.guestSizeDelta;
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("D:\\Restore"), _))
      .WillOnce(DoAll(::testing::SetArgReferee<2>(Entries{entry}), Return(1)));
  EXPECT_CALL(*guest, GetLastGuestApiErrorDetails()).WillRepeatedly(Return("no answer"));
  if (row.guestAnswer != nullptr) {
    std::vector<std::string> answer{row.guestAnswer};
    if (row.secondAnswer != nullptr) answer.push_back(row.secondAnswer);
    EXPECT_CALL(*guest, HashGuestFiles(Ref(controller.m_guestCtx), Eq(std::vector<std::string>{kGuestFile}), _))
        .WillOnce(DoAll(::testing::SetArgReferee<2>(answer), Return(row.hashResult)));
  }
  if (row.expectCopy) EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(staged), Eq(kGuestFile), true)).WillOnce(Return(1));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_EQ(row.expectCopy, controller.CopyToGuest(staged, kGuestFile, true, skipped, isFolder));
  EXPECT_EQ(row.expectSkipped, skipped);
  EXPECT_EQ(!row.expectCopy && !row.expectSkipped, !ErrorTexts().empty());
}

const std::string kLongDigest = std::string(kContentDigest) + "0";
const ContentRow kContentTable[] = {
    // name, local time, size delta, guest answer, hash result, copy, skipped
    {"SameContentWithAnOlderGuestTimeIsKept", kGuestTime + 100, 0, kContentDigest, 1, false, true},
    {"SameContentInUpperCaseIsKept", kGuestTime + 100, 0,
     "84D89877F0D4041EFB6BF91A16F0248F2FD573E6AF05C19F96BEDB9F882F7882", 1, false, true},
    {"OtherContentOfTheSameSizeAndTimeIsReplaced", kGuestTime, 0, kOtherDigest, 1, true, false},
    {"AnotherSizeIsReplacedWithoutADigest", kGuestTime, 1, nullptr, 1, true, false},
    {"NoRegularFileAnyMoreFails", kGuestTime, 0, "", 1, false, false},
    {"FailedDigestRequestFails", kGuestTime, 0, kContentDigest, 0, false, false},
    {"DigestOneDigitShortFails", kGuestTime, 0, "84d89877f0d4041efb6bf91a16f0248f2fd573e6af05c19f96bedb9f882f788", 1,
     false, false},
    {"DigestOneDigitLongFails", kGuestTime, 0, kLongDigest.c_str(), 1, false, false},
    {"DigestWithANonHexDigitFails", kGuestTime, 0,
     "84d89877f0d4041efb6bf91a16f0248f2fd573e6af05c19f96bedb9f882f788g", 1, false, false},
    {"TwoDigestsForOneFileFail", kGuestTime, 0, kContentDigest, 1, false, false, kContentDigest},
};
INSTANTIATE_TEST_SUITE_P(Rows, ContentDecision, ::testing::ValuesIn(kContentTable),
                         [](const ::testing::TestParamInfo<ContentRow>& info) { return std::string(info.param.name); });

// A job that keeps backups hands the channel its suffix before a copy that replaces a file, and
// copies nothing when the channel cannot keep one.
TEST_F(CopyToGuest, BackupSuffixReachesTheChannelBeforeAReplacingCopyOnly) {
  PrepareStaging("D:\\Restore");
  setParams.restoreFlags = kRestoreFlagBackup;
  controller.m_backupSuffix = ".bak";
  const std::string newer = StageFile("a.txt", kContent, kGuestTime + 60);
  const std::string absent = StageFile("b.txt", kContent, kGuestTime + 60);
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("D:\\Restore"), _))
      .WillOnce(DoAll(::testing::SetArgReferee<2>(Entries{GuestEntry("a.txt", VMInfoStructs::GuestFileRegular)}),
                      Return(1)));
  {
    ::testing::InSequence order;
    EXPECT_CALL(*guest, SetBackupSuffix(Eq(".bak"))).WillOnce(Return(1));
    EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(newer), _, true)).WillOnce(Return(1));
    EXPECT_CALL(*guest, SetBackupSuffix(Eq(".bak"))).WillOnce(Return(0));
  }
  EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(absent), _, false)).WillOnce(Return(1));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_TRUE(controller.CopyToGuest(newer, kGuestFile, true, skipped, isFolder));
  EXPECT_TRUE(controller.CopyToGuest(absent, "D:\\Restore\\b.txt", true, skipped, isFolder));
  setParams.restoreFlags = kRestoreFlagBackup | kRestoreFlagOverwriteAlways;
  EXPECT_FALSE(controller.CopyToGuest(newer, kGuestFile, true, skipped, isFolder));
  EXPECT_FALSE(ErrorTexts().empty());
}

TEST_F(CopyToGuest, KeptFileIsLoggedWithBothTimes) {
  PrepareStaging("D:\\Restore");
  const std::string staged = StageFile("a.txt", kContent, kGuestTime);
  VMInfoStructs::SGuestFile guestEntry = GuestEntry("a.txt", VMInfoStructs::GuestFileRegular);
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
      .WillOnce(DoAll(::testing::SetArgReferee<2>(Entries{GuestEntry("a.txt", VMInfoStructs::GuestFileRegular)}),
                      Return(1)));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_FALSE(controller.CopyToGuest(staged, kGuestFile, false, skipped, isFolder));

  EXPECT_TRUE(HasLine(LogLevel::Level1, kCopyToGuestOrigin, "File [" + staged + "] time is not accurate"));
}

TEST_F(CopyToGuest, NewerFileIsLoggedAndCopied) {
  PrepareStaging("D:\\Restore");
  const std::string staged = StageFile("a.txt", kContent, kGuestTime + 60);
  VMInfoStructs::SGuestFile guestEntry = GuestEntry("a.txt", VMInfoStructs::GuestFileRegular);
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

// The counter's interval ends, but bytes that never arrived are not counted as written.
TEST_F(CopyToGuest, FailedCopyStopsTheCounterWithoutItsBytes) {
  PrepareStaging("D:\\Restore");
  setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a.txt", kContent, kGuestTime);
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, true)).WillOnce(Return(0));

  bool skipped = false;
  bool isFolder = false;
  EXPECT_FALSE(controller.CopyToGuest(staged, kGuestFile, true, skipped, isFolder));

  EXPECT_EQ(1u, controller.m_speedCounter.Intervals());
  EXPECT_EQ(0u, controller.m_speedCounter.TotalBytes());
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
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r"), _)).WillOnce(Return(1));
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
  EXPECT_CALL(*guest, BrowseGuest(_, _, _)).WillOnce(Return(1));
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
  guestEntry.type = VMInfoStructs::GuestFileRegular;
  guestEntry.modifyTime = kGuestTime;
  VMInfoStructs::SGuestFile firstEntry;
  firstEntry.name = "aliases";
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r/etc"), _))
      .WillOnce(DoAll(::testing::SetArgReferee<2>(Entries{firstEntry, guestEntry}), Return(1)));

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
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r"), _)).WillOnce(Return(1));
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
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r/etc"), _)).WillOnce(Return(1));
  EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(staged), Eq("//tmp/r/etc/hosts"), false)).WillOnce(Return(1));

  bool skipped = false;
  bool isFolder = true;
  EXPECT_TRUE(controller.CopyToGuest(staged, "//tmp/r/etc", true, skipped, isFolder));
}

TEST_F(CopyToGuest, StagedLinkIsNeitherFollowedNorRestored) {
  PrepareStaging("//tmp/r");
  StageFolder("real");
  const std::string link = stagingFolder + "/link";
  ASSERT_EQ(0, symlink((stagingFolder + "/real").c_str(), link.c_str()));

  bool skipped = false;
  bool isFolder = true;
  EXPECT_FALSE(controller.CopyToGuest(link, "//tmp/r/link", true, skipped, isFolder));
  EXPECT_FALSE(isFolder);
  EXPECT_EQ(std::vector<std::string>{"Staged entry [" + link + "] is neither a file nor a folder and is not restored"},
            ErrorTexts());
}

// An existing guest folder is never created again; it is kept as it is, unless the job overwrites
// always: then it is restored (its attributes applied by the caller) like a new one.
TEST_F(CopyToGuest, ExistingGuestFolderIsKeptOrStampedNotCreated) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFolder("etc");
  EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r"), _))
      .WillRepeatedly(DoAll(::testing::SetArgReferee<2>(Entries{GuestEntry("etc", VMInfoStructs::GuestFileDirectory)}),
                            Return(1)));
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).Times(0);
  for (const bool always : {false, true}) {
    SCOPED_TRACE(always ? "overwrite-always" : "replace-or-keep");
    setParams.restoreFlags = always ? kRestoreFlagOverwriteAlways : 0;
    bool skipped = false;
    bool isFolder = false;
    EXPECT_EQ(always, controller.CopyToGuest(staged, "//tmp/r/etc", true, skipped, isFolder));
    EXPECT_TRUE(isFolder);
    EXPECT_EQ(!always, skipped);
  }
  EXPECT_TRUE(ErrorTexts().empty());
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
