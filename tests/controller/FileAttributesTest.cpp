// The attribute records sent to the guest: owner, group and mode from the entry's header, or the
// staged file's own times.
#include <fcntl.h>
#include <sys/stat.h>

#include "ControllerTestFixture.h"
#include "platform/FXFile.h"

namespace zqtest {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Eq;
using ::testing::Ref;
using ::testing::Return;
using ::testing::SaveArg;
using VMInfoStructs::SGuestFile;

using FileAttributes = ControllerTest;

// The mapped path of a Hyper-V Unix guest names the holding folder; a file's owner, mode and times
// belong to the file.
TEST_F(FileAttributes, HyperVUnixGuestGetsThePermissionsOnTheFileNotItsFolder) {
  initDataVer2.instanceType = VSInstanceHyperV;
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("etc/hosts", "abc", 1);
  CXFileHeader header;
  header.mode = 0640;
  EXPECT_CALL(*guest, ChangeGuestFileAttributes(_, Eq("//tmp/r/etc/hosts"), _)).WillOnce(Return(1));

  EXPECT_TRUE(controller.UpdateUnixPermissions(staged, &header));
}

TEST_F(FileAttributes, UnixPermissionsCarryHeaderValuesCutTo32Bits) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("etc/hosts", "abc", 1);
  CXFileHeader header;
  header.mode = 0100644;
  header.uid = 0x100000005LL;
  header.gid = 0x200000007LL;
  header.mtime = 1600000000;
  header.ctime = 1600000500;
  SGuestFile sent;
  sent.name = "not reset";
  EXPECT_CALL(*guest, ChangeGuestFileAttributes(Ref(controller.m_guestCtx), Eq("//tmp/r/etc/hosts"), _))
      .WillOnce(DoAll(SaveArg<2>(&sent), Return(1)));

  EXPECT_TRUE(controller.UpdateUnixPermissions(staged, &header));

  EXPECT_EQ(5, sent.uid);
  EXPECT_EQ(7, sent.gid);
  EXPECT_EQ(0100644, sent.mode);
  EXPECT_EQ(1600000000, sent.modifyTime);
  EXPECT_EQ(1600000500, sent.accessTime);
  EXPECT_EQ(0, sent.createTime);
  EXPECT_EQ("", sent.name);
  EXPECT_EQ(0, sent.size);
  EXPECT_EQ(0, sent.type);
  const std::vector<std::string> lines = log.sink().Texts();
  EXPECT_EQ((std::vector<std::string>{
                "Updating unix permissions for [//tmp/r/etc/hosts], mtime 1600000000, ctime 1600000500, uid "
                "4294967301, gid 8589934599, mode 33188",
                "Updating unix permissions for [//tmp/r/etc/hosts]",
                "Successfully changed file attributes [//tmp/r/etc/hosts]"}),
            lines);
  for (const LogRecord& record : log.sink().Records()) {
    EXPECT_EQ(kUpdateUnixPermissionsOrigin, record.origin);
    EXPECT_EQ(LogLevel::Level1, record.level);
  }
}

TEST_F(FileAttributes, UnixPermissionsRefusedByGuestIsAnError) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("a", "abc", 1);
  CXFileHeader header;
  EXPECT_CALL(*guest, ChangeGuestFileAttributes(_, _, _)).WillOnce(Return(0));

  EXPECT_FALSE(controller.UpdateUnixPermissions(staged, &header));

  EXPECT_TRUE(HasLine(LogLevel::Error, kUpdateUnixPermissionsOrigin, "Failed to change file attributes [//tmp/r/a]"));
  EXPECT_EQ(1u, ErrorTexts().size());
}

TEST_F(FileAttributes, UnixPermissionsWithoutHeaderAreRefused) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("a", "abc", 1);

  EXPECT_FALSE(controller.UpdateUnixPermissions(staged, nullptr));

  EXPECT_EQ(std::vector<std::string>{"No file header for staged entry [" + staged + "]"}, ErrorTexts());
}

TEST_F(FileAttributes, FileTimesCarryTheStagedFileTimesOnly) {
  PrepareStaging("D:\\Restore");
  const std::string staged = StageFile("Users/a.txt", "abc", 1);
  SetTimes(staged, 1500000100, 1500000000);
  long expectedCreate = 0;
  ASSERT_FALSE(FXFile::GetFileTimes(staged, &expectedCreate, nullptr, nullptr).IsError());
  SGuestFile sent;
  EXPECT_CALL(*guest, ChangeGuestFileAttributes(Ref(controller.m_guestCtx), Eq("D:\\Restore\\Users\\a.txt"), _))
      .WillOnce(DoAll(SaveArg<2>(&sent), Return(1)));

  EXPECT_TRUE(controller.UpdateFileTimes(staged));

  EXPECT_EQ(1500000000, sent.modifyTime);
  EXPECT_EQ(1500000100, sent.accessTime);
  EXPECT_EQ(expectedCreate, sent.createTime);
  EXPECT_NE(0, sent.createTime);
  EXPECT_EQ(0, sent.uid);
  EXPECT_EQ(0, sent.gid);
  EXPECT_EQ(0, sent.mode);
  EXPECT_EQ("", sent.name);
  EXPECT_TRUE(HasLine(LogLevel::Level2, kUpdateFileTimesOrigin, "Updating attributes for [D:\\Restore\\Users\\a.txt]"));
  EXPECT_TRUE(HasLine(LogLevel::Level1, kUpdateFileTimesOrigin,
                      "Successfully changed file attributes [D:\\Restore\\Users\\a.txt]"));
}

// A copy tool that reads the staged file moves its access time (relatime); the guest still gets
// the backed-up one, read before the copy.
TEST_F(FileAttributes, FileTimesAreTheStagedTimesFromBeforeTheCopy) {
  PrepareStaging("D:\\Restore");
  setParams.restoreFlags = kRestoreFlagOverwriteAlways;
  const std::string staged = StageFile("a.txt", "abc", 1);
  SetTimes(staged, 1500000100, 1500000000);
  EXPECT_CALL(*guest, CopyFileToGuest(_, Eq(staged), _, true)).WillOnce([&](auto&&...) {
    SetTimes(staged, 1790000000, 1500000000);  // what reading the file does to its access time
    return 1;
  });
  SGuestFile sent;
  EXPECT_CALL(*guest, ChangeGuestFileAttributes(_, _, _)).WillOnce(DoAll(SaveArg<2>(&sent), Return(1)));

  bool skipped = false;
  bool isFolder = false;
  ASSERT_TRUE(controller.CopyToGuest(staged, "D:\\Restore\\a.txt", true, skipped, isFolder));
  EXPECT_TRUE(controller.UpdateFileTimes(staged));

  EXPECT_EQ(1500000100, sent.accessTime);
  EXPECT_EQ(1500000000, sent.modifyTime);
}

TEST_F(FileAttributes, FileTimesRefusedByGuestIsAnError) {
  PrepareStaging("D:\\Restore");
  const std::string staged = StageFile("a.txt", "abc", 1);
  EXPECT_CALL(*guest, ChangeGuestFileAttributes(_, _, _)).WillOnce(Return(0));

  EXPECT_FALSE(controller.UpdateFileTimes(staged));

  EXPECT_EQ(std::vector<std::string>{"Failed to change file attributes [D:\\Restore\\a.txt]"}, ErrorTexts());
}

TEST_F(FileAttributes, UnreadableTimesAreNotSent) {
  PrepareStaging("D:\\Restore");
  const std::string staged = stagingFolder + "/vanished.txt";

  EXPECT_FALSE(controller.UpdateFileTimes(staged));

  const std::vector<std::string> errors = ErrorTexts();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(0u, errors[0].find("Cannot read the times of staged file [" + staged + "], "));
}

TEST_F(FileAttributes, EntriesOutsideStagingAreRefused) {
  PrepareStaging("//tmp/r");
  const std::string outside = root.Join("other");
  WriteFile(outside, "x");
  CXFileHeader header;

  EXPECT_FALSE(controller.UpdateUnixPermissions(outside, &header));
  EXPECT_FALSE(controller.UpdateFileTimes(outside));

  EXPECT_EQ(2u, ErrorTexts().size());
}

TEST_F(FileAttributes, WithoutChannelBothFail) {
  PrepareStaging("//tmp/r");
  const std::string staged = StageFile("a", "abc", 1);
  controller.m_pGuestAPI.reset();
  CXFileHeader header;

  EXPECT_FALSE(controller.UpdateUnixPermissions(staged, &header));
  EXPECT_FALSE(controller.UpdateFileTimes(staged));

  EXPECT_EQ((std::vector<std::string>{"No guest channel for VM [vm1]", "No guest channel for VM [vm1]"}), ErrorTexts());
}

}  // namespace
}  // namespace zqtest
