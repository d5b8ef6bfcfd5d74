// One staged entry end to end: mapping, copy, what stays in staging, and which attribute step runs.
#include "ControllerTestFixture.h"

namespace zqtest {
namespace {

using ::testing::_;
using ::testing::AllOf;
using ::testing::AnyNumber;
using ::testing::DoAll;
using ::testing::Eq;
using ::testing::Field;
using ::testing::Return;
using ::testing::SetArgReferee;
using VMInfoStructs::SGuestFile;

constexpr long long kStagedTime = 1500000000;

class RestoreToVM : public ControllerTest {
 protected:
  CXFileHeader header = UnixHeader();

  static CXFileHeader UnixHeader() {
    CXFileHeader h;
    h.mode = 0100640;
    h.uid = 1000;
    h.gid = 100;
    h.mtime = 1400000000;
    h.ctime = 1400000500;
    return h;
  }

  bool Restore(const std::string& staged, CXFileHeader* withHeader, std::string& guestPath, bool& skipped,
               bool& attributesApplied) {
    return controller.RestoreToVM(staged.c_str(), 0, 0, withHeader, guestPath, skipped, attributesApplied);
  }
};

enum class GuestAnswer {
  CopySucceeds,
  CopyFails,
  GuestHoldsSameTime,
  FolderCreated,
  FolderExists,
  FolderFails,
  AttributesFail
};

struct OutcomeRow {
  const char* name;
  long long instanceType;
  bool stagedIsFolder;
  GuestAnswer answer;  // ignored for Hyper-V folders, which never reach the guest
  bool expectResult;
  bool expectStagedKept;
  bool expectSkipped;
};
void PrintTo(const OutcomeRow& row, std::ostream* out) { *out << row.name; }

class StagingAfterRestore : public RestoreToVM, public ::testing::WithParamInterface<OutcomeRow> {};

TEST_P(StagingAfterRestore, KeepsOnlyEntriesThatReachedTheGuest) {
  const OutcomeRow& row = GetParam();
  initDataVer2.instanceType = row.instanceType;
  PrepareStaging("//tmp/r");
  controller.m_restoreACLs = true;
  const std::string staged = row.stagedIsFolder ? StageFolder("etc") : StageFile("etc", "abc", kStagedTime);
  const bool hyperVFolder = row.instanceType == VSInstanceHyperV && row.stagedIsFolder;
  GuestHoldsNothingElse();
  if (!hyperVFolder) {
    switch (row.answer) {
      case GuestAnswer::CopySucceeds:
        setParams.restoreFlags = kRestoreFlagOverwriteAlways;
        EXPECT_CALL(*guest, IsZqGuestAPI()).WillRepeatedly(Return(false));
  EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(staged), Eq("//tmp/r/etc"), true)).WillOnce(Return(1));
        EXPECT_CALL(*guest, ChangeGuestFileAttributes(_, Eq("//tmp/r/etc"), _)).WillOnce(Return(1));
        break;
      case GuestAnswer::CopyFails:
        setParams.restoreFlags = kRestoreFlagOverwriteAlways;
        EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, _)).WillOnce(Return(0));
        break;
      case GuestAnswer::GuestHoldsSameTime: {
        SGuestFile same;
        same.name = "etc";
        same.type = VMInfoStructs::GuestFileRegular;
        same.size = 3;  // "abc"
        same.modifyTime = kStagedTime;
        EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r"), _))
            .WillOnce(DoAll(SetArgReferee<2>(std::vector<SGuestFile>{same}), Return(1)));
        break;
      }
      case GuestAnswer::FolderCreated:
        EXPECT_CALL(*guest, CreateGuestFolder(_, Eq("//tmp/r/etc"))).WillOnce(Return(1));
        EXPECT_CALL(*guest, ChangeGuestFileAttributes(_, Eq("//tmp/r/etc"), _)).WillOnce(Return(1));
        break;
      case GuestAnswer::FolderExists: {
        SGuestFile folder;
        folder.name = "etc";
        folder.type = VMInfoStructs::GuestFileDirectory;
        EXPECT_CALL(*guest, BrowseGuest(_, Eq("//tmp/r"), _))
            .WillOnce(DoAll(SetArgReferee<2>(std::vector<SGuestFile>{folder}), Return(1)));
        break;  // neither created nor given attributes
      }
      case GuestAnswer::FolderFails:
        EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillOnce(Return(0));
        break;
      case GuestAnswer::AttributesFail:
        setParams.restoreFlags = kRestoreFlagOverwriteAlways;
        EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, _)).WillOnce(Return(1));
        EXPECT_CALL(*guest, ChangeGuestFileAttributes(_, _, _)).WillOnce(Return(0));
        break;
    }
  }

  std::string guestPath;
  bool skipped = false;
  bool attributesApplied = false;
  EXPECT_EQ(row.expectResult, Restore(staged, &header, guestPath, skipped, attributesApplied));

  EXPECT_EQ(row.expectStagedKept, Exists(staged));
  EXPECT_EQ(row.expectSkipped, skipped);
}

const OutcomeRow kOutcomes[] = {
    // name                              type  folder answer                           result kept  skipped
    {"CopiedFileStays", 101, false, GuestAnswer::CopySucceeds, true, true, false},
    {"FailedCopyIsDeleted", 101, false, GuestAnswer::CopyFails, false, false, false},
    {"KeptGuestFileIsDeleted", 101, false, GuestAnswer::GuestHoldsSameTime, false, false, true},
    {"CreatedFolderStays", 101, true, GuestAnswer::FolderCreated, true, true, false},
    {"FailedFolderIsDeleted", 101, true, GuestAnswer::FolderFails, false, false, false},
    {"ExistingGuestFolderIsKeptAndStays", 101, true, GuestAnswer::FolderExists, false, true, true},
    {"HyperVFolderStaysAndSucceeds", 102, true, GuestAnswer::FolderCreated, true, true, false},
    {"FailedAttributesKeepEntry", 101, false, GuestAnswer::AttributesFail, false, true, false},
};
INSTANTIATE_TEST_SUITE_P(Outcomes, StagingAfterRestore, ::testing::ValuesIn(kOutcomes),
                         [](const ::testing::TestParamInfo<OutcomeRow>& info) { return std::string(info.param.name); });

enum class AttributeStep { None, UnixPermissions, FileTimes };

struct AttributeRow {
  const char* name;
  bool unixGuest;
  bool restoreACLs;
  bool commandChannel;
  bool stagedIsFolder;
  bool nullHeader;
  AttributeStep expectedStep;
};
void PrintTo(const AttributeRow& row, std::ostream* out) { *out << row.name; }

class AttributeStepChoice : public RestoreToVM, public ::testing::WithParamInterface<AttributeRow> {};

TEST_P(AttributeStepChoice, RunsTheRightStep) {
  const AttributeRow& row = GetParam();
  PrepareStaging(row.unixGuest ? "//tmp/r" : "D:\\Restore");
  controller.m_restoreACLs = row.restoreACLs;
  setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string expectedGuestPath = row.unixGuest ? "//tmp/r/entry" : "D:\\Restore\\entry";
  const std::string staged = row.stagedIsFolder ? StageFolder("entry") : StageFile("entry", "abc", kStagedTime);
  GuestHoldsNothingElse();
  if (row.stagedIsFolder) {
    EXPECT_CALL(*guest, CreateGuestFolder(_, Eq(expectedGuestPath))).WillOnce(Return(1));
  } else {
    EXPECT_CALL(*guest, CopyFileToGuest(_, _, Eq(expectedGuestPath), true)).WillOnce(Return(1));
  }
  EXPECT_CALL(*guest, IsZqGuestAPI()).Times(AnyNumber()).WillRepeatedly(Return(row.commandChannel));
  switch (row.expectedStep) {
    case AttributeStep::None:
      break;
    case AttributeStep::UnixPermissions:
      EXPECT_CALL(*guest, ChangeGuestFileAttributes(
                              _, Eq(expectedGuestPath),
                              AllOf(Field(&SGuestFile::uid, 1000), Field(&SGuestFile::gid, 100),
                                    Field(&SGuestFile::mode, 0100640), Field(&SGuestFile::modifyTime, 1400000000))))
          .WillOnce(Return(1));
      break;
    case AttributeStep::FileTimes:
      EXPECT_CALL(*guest, ChangeGuestFileAttributes(_, Eq(expectedGuestPath),
                                                    AllOf(Field(&SGuestFile::uid, 0), Field(&SGuestFile::mode, 0),
                                                          Field(&SGuestFile::modifyTime, kStagedTime))))
          .WillOnce(Return(1));
      break;
  }

  std::string guestPath;
  bool skipped = false;
  bool attributesApplied = false;
  EXPECT_TRUE(Restore(staged, row.nullHeader ? nullptr : &header, guestPath, skipped, attributesApplied));

  EXPECT_EQ(expectedGuestPath, guestPath);
  EXPECT_EQ(row.expectedStep != AttributeStep::None, attributesApplied);
  EXPECT_TRUE(Exists(staged));
}

const AttributeRow kAttributeRows[] = {
    // name                         unix   acls   cmdchan folder nullhdr step
    {"UnixFileWithAcls", true, true, true, false, false, AttributeStep::UnixPermissions},
    {"UnixFolderWithAcls", true, true, true, true, false, AttributeStep::UnixPermissions},
    {"UnixFileWithAclsNativeChannel", true, true, false, false, false, AttributeStep::UnixPermissions},
    {"UnixFileWithoutAcls", true, false, true, false, false, AttributeStep::None},
    {"UnixFileWithoutHeader", true, true, true, false, true, AttributeStep::None},
    {"WindowsFileOverCommandChannel", false, false, true, false, false, AttributeStep::FileTimes},
    {"WindowsFileOverCommandChannelWithAcls", false, true, true, false, false, AttributeStep::FileTimes},
    {"WindowsFolderOverCommandChannel", false, false, true, true, false, AttributeStep::None},
    {"WindowsFileOverNativeChannel", false, false, false, false, false, AttributeStep::None},
    {"WindowsFileWithoutHeader", false, false, true, false, true, AttributeStep::None},
};
INSTANTIATE_TEST_SUITE_P(Steps, AttributeStepChoice, ::testing::ValuesIn(kAttributeRows),
                         [](const ::testing::TestParamInfo<AttributeRow>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(RestoreToVM, FailedAttributeStepIsTheResult) {
  PrepareStaging("//tmp/r");
  controller.m_restoreACLs = true;
  setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a", "abc", kStagedTime);
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, _)).WillOnce(Return(1));
  EXPECT_CALL(*guest, ChangeGuestFileAttributes(_, _, _)).WillOnce(Return(0));

  std::string guestPath;
  bool skipped = false;
  bool attributesApplied = true;
  EXPECT_FALSE(Restore(staged, &header, guestPath, skipped, attributesApplied));
  EXPECT_FALSE(attributesApplied);
}

TEST_F(RestoreToVM, HyperVUnixGuestGetsTheHoldingFolder) {
  initDataVer2.instanceType = VSInstanceHyperV;
  PrepareStaging("//tmp/r");
  setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("etc/hosts", "abc", kStagedTime);
  EXPECT_CALL(*guest, IsZqGuestAPI()).WillRepeatedly(Return(false));
  EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(staged), Eq("//tmp/r/etc"), true)).WillOnce(Return(1));

  std::string guestPath;
  bool skipped = false;
  bool attributesApplied = false;
  EXPECT_TRUE(Restore(staged, nullptr, guestPath, skipped, attributesApplied));
  EXPECT_EQ("//tmp/r/etc", guestPath);
}

TEST_F(RestoreToVM, UndeletableStagedEntryIsLoggedAndStillFails) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFolder("full");
  WriteFile(staged + "/inside.txt", "keeps the folder from being removed");
  GuestHoldsNothingElse();
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillOnce(Return(0));

  std::string guestPath;
  bool skipped = false;
  bool attributesApplied = false;
  EXPECT_FALSE(Restore(staged, &header, guestPath, skipped, attributesApplied));

  EXPECT_TRUE(Exists(staged));
  bool logged = false;
  for (const LogRecord& record : log.sink().Records()) {
    if (record.level == LogLevel::Level1 && record.origin == kRestoreToVMOrigin && record.text.find("Error [") == 0 &&
        record.text.find("] deleting staged file [" + staged + "]") != std::string::npos) {
      logged = true;
    }
  }
  EXPECT_TRUE(logged);
}

TEST_F(RestoreToVM, EntryOutsideStagingIsRefusedAndNotDeleted) {
  PrepareStaging("//tmp/r");
  const std::string outside = root.Join("precious.txt");
  WriteFile(outside, "not ours");
  const std::string sibling = stagingFolder + "x";
  WriteFile(sibling, "not ours either");

  for (const std::string& staged : {outside, sibling}) {
    SCOPED_TRACE(staged);
    log.sink().Clear();
    std::string guestPath = "untouched";
    bool skipped = false;
    bool attributesApplied = false;
    EXPECT_FALSE(Restore(staged, &header, guestPath, skipped, attributesApplied));
    u_longlong_t bytes = 7;
    EXPECT_FALSE(controller.RestoreToVM_ImageLevel(staged, 0, 0, true, bytes, skipped));

    EXPECT_TRUE(Exists(staged));
    EXPECT_EQ("untouched", guestPath);
    EXPECT_EQ(7u, bytes);
    EXPECT_TRUE(HasLine(LogLevel::Error, kRestoreToVMOrigin,
                        "Cannot restore staged entry [" + staged + "]: the entry is not inside the staging folder"));
    EXPECT_TRUE(HasLine(LogLevel::Error, kRestoreImageLevelOrigin,
                        "Cannot restore staged entry [" + staged + "]: the entry is not inside the staging folder"));
    EXPECT_EQ(2u, ErrorTexts().size());
  }
}

TEST_F(RestoreToVM, NullStagedPathIsRefused) {
  PrepareStaging("//tmp/r");
  std::string guestPath;
  bool skipped = false;
  bool attributesApplied = false;
  EXPECT_FALSE(controller.RestoreToVM(nullptr, 0, 0, &header, guestPath, skipped, attributesApplied));
  EXPECT_EQ(1u, ErrorTexts().size());
}

TEST_F(RestoreToVM, WithoutChannelFailsAndKeepsStagedEntry) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("a", "abc", kStagedTime);
  controller.m_pGuestAPI.reset();

  std::string guestPath = "untouched";
  bool skipped = false;
  bool attributesApplied = false;
  EXPECT_FALSE(Restore(staged, &header, guestPath, skipped, attributesApplied));
  u_longlong_t bytes = 0;
  EXPECT_FALSE(controller.RestoreToVM_ImageLevel(staged, 0, 0, true, bytes, skipped));

  EXPECT_TRUE(Exists(staged));
  EXPECT_EQ("untouched", guestPath);
  EXPECT_EQ((std::vector<std::string>{"No guest channel for VM [vm1]", "No guest channel for VM [vm1]"}), ErrorTexts());
}

class RestoreImageLevel : public RestoreToVM {};

TEST_F(RestoreImageLevel, UnknownSizeReportsStagedFileSize) {
  PrepareStaging("D:\\Restore");
  const std::string staged = StageFile("disk/a.bin", std::string(1234, 'x'), kStagedTime);
  GuestHoldsNothingElse();
  EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(staged), Eq("D:\\Restore\\disk\\a.bin"), false)).WillOnce(Return(1));

  u_longlong_t bytes = 0;
  bool skipped = false;
  EXPECT_TRUE(controller.RestoreToVM_ImageLevel(staged, 0, 0, true, bytes, skipped));

  EXPECT_EQ(1234u, bytes);
  EXPECT_TRUE(Exists(staged));
  EXPECT_EQ(1234u, controller.m_speedCounter.TotalBytes());
}

TEST_F(RestoreImageLevel, KnownSizeIsReportedAsGiven) {
  PrepareStaging("D:\\Restore");
  setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a.bin", "abc", kStagedTime);
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, true)).WillOnce(Return(1));

  u_longlong_t bytes = 0;
  bool skipped = false;
  EXPECT_TRUE(controller.RestoreToVM_ImageLevel(staged, 0, 5000, true, bytes, skipped));
  EXPECT_EQ(5000u, bytes);
}

TEST_F(RestoreImageLevel, InaccurateTimeKeepsExistingGuestFile) {
  PrepareStaging("D:\\Restore");
  const std::string staged = StageFile("a.bin", "abc", kStagedTime);
  SGuestFile existing;
  existing.name = "a.bin";
  existing.type = VMInfoStructs::GuestFileRegular;
  EXPECT_CALL(*guest, BrowseGuest(_, _, _)).WillOnce(DoAll(SetArgReferee<2>(std::vector<SGuestFile>{existing}), Return(1)));

  u_longlong_t bytes = 42;
  bool skipped = false;
  EXPECT_FALSE(controller.RestoreToVM_ImageLevel(staged, 0, 0, false, bytes, skipped));

  EXPECT_TRUE(skipped);
  EXPECT_EQ(42u, bytes);
  EXPECT_FALSE(Exists(staged));
}

TEST_F(RestoreImageLevel, FailedCopyDeletesStagedFile) {
  PrepareStaging("D:\\Restore");
  setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a.bin", "abc", kStagedTime);
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, _)).WillOnce(Return(0));

  u_longlong_t bytes = 42;
  bool skipped = false;
  EXPECT_FALSE(controller.RestoreToVM_ImageLevel(staged, 0, 3, true, bytes, skipped));

  EXPECT_EQ(42u, bytes);
  EXPECT_FALSE(Exists(staged));
}

TEST_F(RestoreImageLevel, HyperVFolderSucceedsWithoutGuest) {
  initDataVer2.instanceType = VSInstanceHyperV;
  PrepareStaging("//tmp/r");
  const std::string staged = StageFolder("d");

  u_longlong_t bytes = 42;
  bool skipped = false;
  EXPECT_TRUE(controller.RestoreToVM_ImageLevel(staged, 0, 0, true, bytes, skipped));

  EXPECT_EQ(42u, bytes);
  EXPECT_TRUE(Exists(staged));
}

TEST_F(RestoreImageLevel, FolderCreatedReportsItsSize) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFolder("d");
  GuestHoldsNothingElse();
  EXPECT_CALL(*guest, CreateGuestFolder(_, Eq("//tmp/r/d"))).WillOnce(Return(1));

  u_longlong_t bytes = 42;
  bool skipped = false;
  EXPECT_TRUE(controller.RestoreToVM_ImageLevel(staged, 0, 9, true, bytes, skipped));
  EXPECT_EQ(9u, bytes);
}

}  // namespace
}  // namespace zqtest
