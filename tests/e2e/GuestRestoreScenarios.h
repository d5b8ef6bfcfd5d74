// The scenarios every kind of guest goes through end to end, as typed suites over a guest kind.
// A kind is a class that owns the harness and the guest, and answers:
//   static constexpr int kSeconds;                   the time limit of one restore
//   static constexpr long long kChangedInGuestAt;    when a guest user changed a restored file
//                                                     (not older than the backed-up file)
//   void SetUp(const std::string& source);           makes the guest; may skip the test
//   RestoreHarness harness;
//   nlohmann::json Job(extra), Job(extra, password);  a job into the guest's restore folder
//   std::string InGuest(relative);                   where a restored entry lands
//   std::vector<std::string> Secrets();              what must never be printed or logged
//   void ExpectCompleted(result), ExpectFile(file, info), ExpectFolder(folder, info);  what the
//                                                     kind reports and restores beyond the counts,
//                                                     content, times and kind of entry
//   for GuestLogin: void BeforeWrongPassword(), ExpectWrongPassword(result);  the refusal of a
//                                                     wrong password: kWrongPasswordCode, kWrongPasswordText
// Each test file instantiates the suites for its kind; what only one kind does stays in its file.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RestoreHarness.h"
#include "support/ArchiveWriter.h"
#include "support/FileHelpers.h"

namespace e2e {

template <typename Guest>
class GuestRestore : public testing::Test {
 protected:
  void SetUp() override {
    WriteSampleTree(source.path());
    if (HasFatalFailure()) return;
    guest.SetUp(source.path());
  }

  RunResult Restore(const nlohmann::json& job) { return guest.harness.Restore(job, source.path(), Guest::kSeconds); }

  void ExpectNoSecrets(const RunResult& result) { e2e::ExpectNoSecrets(guest.harness, result, guest.Secrets()); }

  // The whole sample tree landed with its content, times and the kind's own attributes.
  void ExpectSampleTreeRestored(const RunResult& result) {
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.summary["restoredFiles"], SampleFiles().size());
    EXPECT_EQ(result.summary["restoredFolders"], SampleFolders().size());
    EXPECT_EQ(result.summary["failed"], 0);
    EXPECT_EQ(result.summary["kept"], 0);
    guest.ExpectCompleted(result);
    for (const SampleFile& file : SampleFiles()) {
      SCOPED_TRACE(file.path);
      const struct stat info = zqtest::StatOf(guest.InGuest(file.path));
      EXPECT_TRUE(S_ISREG(info.st_mode));
      EXPECT_EQ(zqtest::ReadFile(guest.InGuest(file.path)), file.content);
      EXPECT_EQ(info.st_mtime, file.mtime);
      guest.ExpectFile(file, info);
    }
    for (const std::string& folder : SampleFolders()) {
      SCOPED_TRACE(folder);
      const struct stat info = zqtest::StatOf(guest.InGuest(folder));
      EXPECT_TRUE(S_ISDIR(info.st_mode));
      guest.ExpectFolder(folder, info);
    }
    EXPECT_TRUE(guest.harness.LeftoverStagingFolders().empty());
  }

  Guest guest;
  zqtest::TempDir source;
};

TYPED_TEST_SUITE_P(GuestRestore);

TYPED_TEST_P(GuestRestore, RestoresTheSampleTreeWithContentAndTimes) {
  const RunResult result = this->Restore(this->guest.Job());
  this->ExpectSampleTreeRestored(result);
  this->ExpectNoSecrets(result);
}

TYPED_TEST_P(GuestRestore, SecondRunKeepsTheGuestsFilesAndOverwriteAlwaysReplacesThem) {
  auto& guest = this->guest;
  ASSERT_EQ(this->Restore(guest.Job()).status, 0);
  zqtest::WriteFile(guest.InGuest("a.txt"), "changed in the guest\n");
  zqtest::SetFileModifyTime(guest.InGuest("a.txt"), TypeParam::kChangedInGuestAt);

  const RunResult again = this->Restore(guest.Job());
  ASSERT_EQ(again.status, 0) << again.output;
  // The folders exist already: kept too, with the guest's own attributes.
  EXPECT_EQ(again.summary["kept"], SampleFiles().size() + SampleFolders().size());
  EXPECT_EQ(again.summary["restoredFolders"], 0);
  EXPECT_EQ(again.summary["restoredFiles"], 0);
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("a.txt")), "changed in the guest\n");

  const RunResult replaced = this->Restore(guest.Job({{"overwriteAlways", true}}));
  ASSERT_EQ(replaced.status, 0) << replaced.output;
  EXPECT_EQ(replaced.summary["restoredFiles"], SampleFiles().size());
  // Overwrite-always restores the existing folders too: they take the backup's attributes.
  EXPECT_EQ(replaced.summary["restoredFolders"], SampleFolders().size());
  EXPECT_EQ(replaced.summary["kept"], 0);
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("a.txt")), "alpha\n");
  EXPECT_EQ(zqtest::StatOf(guest.InGuest("a.txt")).st_mtime, 1600000000);
  EXPECT_TRUE(guest.harness.LeftoverStagingFolders().empty());
}

// A guest file with the backup's time but another size is another file: it is replaced.
TYPED_TEST_P(GuestRestore, SameTimeWithAnotherSizeIsReplaced) {
  auto& guest = this->guest;
  ASSERT_EQ(this->Restore(guest.Job()).status, 0);
  const long long backedUp = zqtest::StatOf(guest.InGuest("a.txt")).st_mtime;
  zqtest::WriteFile(guest.InGuest("a.txt"), "another file of the same time\n");
  zqtest::SetFileModifyTime(guest.InGuest("a.txt"), backedUp);

  const RunResult again = this->Restore(guest.Job());
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(again.summary["restoredFiles"], 1);
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("a.txt")), "alpha\n");
}

REGISTER_TYPED_TEST_SUITE_P(GuestRestore, RestoresTheSampleTreeWithContentAndTimes,
                            SecondRunKeepsTheGuestsFilesAndOverwriteAlwaysReplacesThem, SameTimeWithAnotherSizeIsReplaced);

// Replace-or-keep by content.
template <typename Guest>
class GuestChecksum : public GuestRestore<Guest> {};

TYPED_TEST_SUITE_P(GuestChecksum);

// By content the time does not count: the backup's bytes dated earlier stay as they are, other bytes
// of the same size and time are replaced.
TYPED_TEST_P(GuestChecksum, KeepsTheSameContentAndReplacesAnotherOfTheSameSizeAndTime) {
  auto& guest = this->guest;
  ASSERT_EQ(this->Restore(guest.Job()).status, 0);
  constexpr long long kEarlier = 1600000000 - 3600;
  zqtest::SetFileModifyTime(guest.InGuest("a.txt"), kEarlier);
  zqtest::WriteFile(guest.InGuest("bin/run.sh"), "#!/bin/sh\necho RUN\n");
  zqtest::SetFileModifyTime(guest.InGuest("bin/run.sh"), 1500000000);

  const RunResult again = this->Restore(guest.Job({{"checksum", true}}));
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(again.summary["restoredFiles"], 1) << again.output;
  EXPECT_EQ(again.summary["kept"], SampleFiles().size() - 1 + SampleFolders().size());
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("bin/run.sh")), "#!/bin/sh\necho run\n");
  EXPECT_EQ(zqtest::StatOf(guest.InGuest("a.txt")).st_mtime, kEarlier);
  size_t keptByContent = 0;
  for (const auto& entry : again.summary["entries"]) {
    keptByContent += entry["path"] == "a.txt" && entry["reason"] == "the guest's file has the same content";
  }
  EXPECT_EQ(keptByContent, 1u) << again.summary["entries"];
  EXPECT_TRUE(guest.harness.LeftoverStagingFolders().empty());
}

REGISTER_TYPED_TEST_SUITE_P(GuestChecksum, KeepsTheSameContentAndReplacesAnotherOfTheSameSizeAndTime);

// Backups of replaced files.
template <typename Guest>
class GuestBackups : public GuestRestore<Guest> {};

TYPED_TEST_SUITE_P(GuestBackups);

// The replaced file is kept whole under the suffix; a link at the backup name is neither followed
// nor replaced, and that file then stays as it was. A plain file at the backup name is replaced.
TYPED_TEST_P(GuestBackups, KeepTheReplacedFileUnderTheSuffixAndNeverWriteThroughALink) {
  auto& guest = this->guest;
  ASSERT_EQ(this->Restore(guest.Job()).status, 0);
  constexpr long long kEarlier = 1400000000 - 3600;
  zqtest::WriteFile(guest.InGuest("a.txt"), "old a\n");
  zqtest::SetFileModifyTime(guest.InGuest("a.txt"), kEarlier);
  zqtest::WriteFile(guest.InGuest("docs/readme.md"), "old readme\n");
  zqtest::SetFileModifyTime(guest.InGuest("docs/readme.md"), kEarlier);
  zqtest::TempDir outside;
  zqtest::WriteFile(outside.Join("target"), "outside\n");
  ASSERT_EQ(symlink(outside.Join("target").c_str(), guest.InGuest("docs/readme.md~").c_str()), 0);

  const RunResult backedUp = this->Restore(guest.Job({{"backup", true}}));
  EXPECT_EQ(backedUp.status, 1) << backedUp.output;
  EXPECT_EQ(backedUp.summary["restoredFiles"], 1) << backedUp.output;
  EXPECT_EQ(backedUp.summary["failed"], 1);
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("a.txt")), "alpha\n");
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("a.txt~")), "old a\n");
  EXPECT_EQ(zqtest::StatOf(guest.InGuest("a.txt~")).st_mtime, kEarlier);
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("docs/readme.md")), "old readme\n");
  EXPECT_TRUE(zqtest::IsLink(guest.InGuest("docs/readme.md~")));
  EXPECT_EQ(zqtest::ReadFile(outside.Join("target")), "outside\n");

  zqtest::WriteFile(guest.InGuest("a.txt"), "older a\n");
  zqtest::SetFileModifyTime(guest.InGuest("a.txt"), kEarlier);
  zqtest::WriteFile(guest.InGuest("a.txt.bak"), "stale backup\n");
  const RunResult suffixed = this->Restore(guest.Job({{"backup", true}, {"backupSuffix", ".bak"}}));
  ASSERT_EQ(suffixed.status, 0) << suffixed.output;
  EXPECT_EQ(suffixed.summary["restoredFiles"], 2) << suffixed.output;
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("a.txt.bak")), "older a\n");
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("docs/readme.md.bak")), "old readme\n");
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("a.txt~")), "old a\n");
  EXPECT_TRUE(guest.harness.LeftoverStagingFolders().empty());
}

REGISTER_TYPED_TEST_SUITE_P(GuestBackups, KeepTheReplacedFileUnderTheSuffixAndNeverWriteThroughALink);

// Guests that check the guest login themselves.
template <typename Guest>
class GuestLogin : public GuestRestore<Guest> {};

TYPED_TEST_SUITE_P(GuestLogin);

TYPED_TEST_P(GuestLogin, RefusesAWrongGuestPasswordAndRestoresNothing) {
  auto& guest = this->guest;
  guest.BeforeWrongPassword();
  const RunResult result = this->Restore(guest.Job(nlohmann::json::object(), "not-the-guest-password"));
  EXPECT_EQ(result.status, 3) << result.output;
  ASSERT_EQ(result.summary["pendingCauses"].size(), 1u) << result.output;
  EXPECT_EQ(result.summary["pendingCauses"][0]["code"], TypeParam::kWrongPasswordCode);
  EXPECT_NE(result.output.find(TypeParam::kWrongPasswordText), std::string::npos) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], 0);
  EXPECT_FALSE(zqtest::Exists(guest.InGuest("a.txt")));
  EXPECT_TRUE(guest.harness.LeftoverStagingFolders().empty());
  this->ExpectNoSecrets(result);
  guest.ExpectWrongPassword(result);
}


REGISTER_TYPED_TEST_SUITE_P(GuestLogin, RefusesAWrongGuestPasswordAndRestoresNothing);

// Guests with Unix names, which hold every name a backup may carry.
template <typename Guest>
class UnixGuestRestore : public GuestRestore<Guest> {};

TYPED_TEST_SUITE_P(UnixGuestRestore);

TYPED_TEST_P(UnixGuestRestore, RestoresHostileNamesAsTheyAreAndRefusesOnlyThoseThePlugInWouldChange) {
  auto& guest = this->guest;
  zqtest::TempDir hostile;
  WriteHostileTree(hostile.path());
  const std::vector<std::string> restorable = RestorableHostileNames();

  const RunResult result = guest.harness.Restore(guest.Job(), hostile.path(), TypeParam::kSeconds);
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_EQ(result.summary["failed"], 2) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], restorable.size() + 1);
  for (const std::string& name : restorable) {
    EXPECT_EQ(zqtest::ReadFile(guest.InGuest(name)), "content of " + name) << name;
  }
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest(kHostileInner)), "inner");
  EXPECT_FALSE(zqtest::Exists(guest.InGuest("back"))) << "a backslash must not become a folder";
  EXPECT_FALSE(zqtest::Exists(guest.InGuest("x:y")));
  EXPECT_NE(result.output.find("back\\slash: the name holds a backslash"), std::string::npos) << result.output;
  for (const std::string& pwned : {guest.InGuest("pwned"), guest.harness.Folder() + "/pwned", std::string("/pwned")}) {
    EXPECT_FALSE(zqtest::Exists(pwned)) << pwned;
  }
  EXPECT_TRUE(guest.harness.LeftoverStagingFolders().empty());
}

// The sample tree packed into a tar.zst (with a link and a pipe beside it, which stay behind)
// restores as the folder does, from the records the archive keeps; --source-path picks a folder.
TYPED_TEST_P(UnixGuestRestore, RestoresATarZstArchiveAsTheFolderItHolds) {
  auto& guest = this->guest;
  zqtest::TempDir packed;
  std::vector<zqtest::ArchiveMember> members = zqtest::MembersOfTree(this->source.path());
  zqtest::ArchiveMember link;
  link.name = "bin/sh-link";
  link.type = S_IFLNK;
  link.linkTarget = "/bin/sh";
  zqtest::ArchiveMember pipe;
  pipe.name = "fifo";
  pipe.type = S_IFIFO;
  members.push_back(link);
  members.push_back(pipe);
  const std::string archive = packed.Join("vm1-etc");
  zqtest::WriteArchive(archive, "pax", "zstd", members);

  const RunResult result = guest.harness.Restore(guest.Job(), archive, TypeParam::kSeconds, {"--list"});
  EXPECT_EQ(result.summary["skipped"], 2) << result.output;
  EXPECT_EQ(result.summary["skippedEntries"][0]["reason"], "symbolic links are not restored");
  const std::string kind = result.summary.value("source", "");
  EXPECT_TRUE(kind.rfind("archive (", 0) == 0 && kind.find(", zstd)") != std::string::npos) << kind;
  EXPECT_NE(result.output.find("skipped   bin/sh-link: symbolic links are not restored"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("skipped   fifo: named pipes are not restored"), std::string::npos) << result.output;
  EXPECT_FALSE(zqtest::Exists(guest.InGuest("bin/sh-link")));
  this->ExpectSampleTreeRestored(result);

  const RunResult picked = guest.harness.Restore(guest.Job({{"overwriteAlways", true}}), archive, TypeParam::kSeconds,
                                                 {"--source-path", "docs/deep"});
  ASSERT_EQ(picked.status, 0) << picked.output;
  EXPECT_EQ(picked.summary["restoredFiles"], 1);
  EXPECT_EQ(zqtest::ReadFile(guest.InGuest("x/y/z.bin")), zqtest::ReadFile(this->source.Join("docs/deep/x/y/z.bin")));
}

REGISTER_TYPED_TEST_SUITE_P(UnixGuestRestore, RestoresHostileNamesAsTheyAreAndRefusesOnlyThoseThePlugInWouldChange,
                            RestoresATarZstArchiveAsTheFolderItHolds);

}  // namespace e2e
