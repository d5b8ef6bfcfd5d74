// zqrestore as an operator meets it, into a VM of the embedded hypervisor (native guest
// operations): each mistake gets its exit status and a first line that names the cause, a dry run
// changes nothing in the guest, and the selection and override options reach the guest.
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "RestoreHarness.h"

namespace {

using e2e::RestoreHarness;
using e2e::RunResult;

constexpr const char* kVm = "cli-vm";
constexpr const char* kGuid = "564d0000-0000-4000-8000-00000000c11a";
constexpr const char* kGuestUser = "root";
constexpr const char* kGuestPassword = "cli-guest-secret";
constexpr int kVMwareType = 101;

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

bool HasLine(const std::string& output, const std::string& line) {
  return ("\n" + output).find("\n" + line + "\n") != std::string::npos;
}

// Every entry below `root` with its kind, size, mode and modification time, as one text.
std::string Snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  if (std::filesystem::exists(root)) {
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
      struct stat info {};
      lstat(item.path().c_str(), &info);
      std::ostringstream line;
      line << std::oct << info.st_mode << std::dec << " " << info.st_size << " " << info.st_mtime;
      entries[item.path().string()] = line.str();
    }
  }
  std::string text;
  for (const auto& [path, line] : entries) text += path + " " + line + "\n";
  return text;
}

class OperatorCommandLine : public testing::Test {
 protected:
  void SetUp() override {
    harness.server().AddVm(kVm).Guid(kGuid).Tools(3, "guestToolsRunning").UnixGuest(guest.path()).GuestLogin(
        kGuestUser, kGuestPassword);
    harness.server().AddVm("off-vm").Guid("564d0000-0000-4000-8000-00000000c11b").PoweredOff();
    e2e::WriteSampleTree(source.path());
  }

  nlohmann::json Job(const nlohmann::json& extra = nlohmann::json::object()) {
    return harness.Job(kVm, kGuid, "/restore", kGuestUser, kGuestPassword, extra);
  }
  std::string InGuest(const std::string& path) const { return guest.Join(path); }

  RestoreHarness harness{kVMwareType};
  zqtest::TempDir guest;
  zqtest::TempDir source;
};

struct MistakeRow {
  const char* name;
  nlohmann::json jobPatch;  // merged into the job (null removes a member)
  std::vector<std::string> arguments;  // "{job}" is the job file, "{source}" the source folder
  int status;
  const char* firstLine;  // a part of the first line printed
};
void PrintTo(const MistakeRow& row, std::ostream* out) { *out << row.name; }

class OperatorMistake : public OperatorCommandLine, public testing::WithParamInterface<MistakeRow> {};

TEST_P(OperatorMistake, EndsWithItsStatusAndAFirstLineNamingTheCause) {
  const MistakeRow& row = GetParam();
  nlohmann::json job = Job();
  if (!row.jobPatch.is_null()) job.merge_patch(row.jobPatch);
  std::vector<std::string> arguments;
  for (const std::string& argument : row.arguments) {
    std::string expanded = argument;
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"{source}", source.path()}, {"{folder}", harness.Folder()}, {"{guest-file}", "/restore/a.txt"}}) {
      const size_t at = expanded.find(key);
      if (at != std::string::npos) expanded.replace(at, key.size(), value);
    }
    arguments.push_back(expanded);
  }
  if (std::string(row.name) == "PutOntoAnExistingFile") {
    ASSERT_EQ(harness.Restore(Job(), source.path()).status, 0);
  }
  const std::string before = Snapshot(guest.path());
  const RunResult result = harness.Command(job, arguments);
  EXPECT_EQ(result.status, row.status) << result.output;
  std::string first = FirstLine(result.output);
  if (first.find("reached through") != std::string::npos) first = FirstLine(result.output.substr(first.size() + 1));
  EXPECT_EQ(first.rfind("zqrestore", 0), 0u) << result.output;
  EXPECT_NE(first.find(row.firstLine), std::string::npos) << result.output;
  if (row.status == 2) {
    EXPECT_EQ(Snapshot(guest.path()), before) << "a refused command touches nothing";
  }
  EXPECT_EQ(result.output.find(kGuestPassword), std::string::npos);
}

const std::vector<std::string> kRestore = {"restore", "--job", "{job}", "--progress", "never"};
std::vector<std::string> RestoreWith(std::vector<std::string> more) {
  std::vector<std::string> arguments = kRestore;
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OperatorMistake,
    testing::Values(
        MistakeRow{"RelativeDestination", {{"destination", "restore"}}, RestoreWith({"{source}"}), 2,
                   "job.json: the destination [restore] is not an absolute path of the guest"},
        MistakeRow{"WindowsDestinationOnAUnixGuest", {{"destination", "D:\\Restore"}, {"unixGuest", true}},
                   RestoreWith({"{source}"}), 2, "is a Windows path, but the job says the guest is a Unix guest"},
        MistakeRow{"BackupSuffixWithAFolderSeparator", {}, RestoreWith({"--backup", "--suffix", "a/b", "{source}"}), 2,
                   "zqrestore: --suffix: the backup suffix holds a folder separator"},
        MistakeRow{"BackupSuffixInTheJobTooLong", {{"backup", true}, {"backupSuffix", std::string(33, 's')}},
                   RestoreWith({"{source}"}), 2, "job.json: the backup suffix is longer than 32 bytes"},
        MistakeRow{"SuffixWithoutBackup", {}, RestoreWith({"--suffix", ".bak", "{source}"}), 2,
                   "zqrestore: --suffix: a backup suffix needs --backup"},
        MistakeRow{"RelativeDestinationOnTheCommandLine", {}, RestoreWith({"--destination", "sub", "{source}"}), 2,
                   "zqrestore: --destination: the destination [sub] is not an absolute path of the guest"},
        MistakeRow{"SummaryIntoAMissingFolder", {}, RestoreWith({"--summary-json", "/nonexistent/s.json", "{source}"}),
                   2, "zqrestore: --summary-json: cannot write /nonexistent/s.json: the folder /nonexistent"},
        MistakeRow{"JobWithoutIds", {{"jobIds", nullptr}}, RestoreWith({"{source}"}), 2,
                   "job.json: [jobIds] is required, with at least [jobIds.initAppId]"},
        MistakeRow{"MistypedCommand", {}, {"restor", "--job", "{job}", "{source}"}, 2,
                   "zqrestore: unknown command [restor]; did you mean [restore]?"},
        MistakeRow{"QuietRefusedJob", {{"vm", {{"name", "off-vm"}, {"guid", "564d0000-0000-4000-8000-00000000c11b"}}}},
                   RestoreWith({"-q", "{source}"}), 3, "zqrestore: refused while checking the VM and the guest login"},
        MistakeRow{"BrowseAMissingPath", {}, {"guest", "--job", "{job}", "browse", "/nonexistent"}, 1,
                   "zqrestore: not found: [/nonexistent]"},
        MistakeRow{"PutOntoAnExistingFile", {}, {"guest", "--job", "{job}", "put", "{source}/a.txt", "{guest-file}"},
                   1, "zqrestore: kept: [/restore/a.txt] exists in the guest; use --overwrite"},
        MistakeRow{"Version", {}, {"--version"}, 0, "zqrestore 1."}),
    [](const testing::TestParamInfo<MistakeRow>& row) { return std::string(row.param.name); });

TEST_F(OperatorCommandLine, NamesTheSettingsFileInTheMessages) {
  harness.SetEnvironment("ZQ_SETTINGS", harness.Folder() + "/missing.ini");
  const RunResult missing = harness.Command(Job(), RestoreWith({source.path()}), false);
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(FirstLine(missing.output), "zqrestore: settings file " + harness.Folder() +
                                           "/missing.ini not found (use --settings or ZQ_SETTINGS)");
}

TEST_F(OperatorCommandLine, DryRunListsThePlanAndTouchesNothing) {
  ASSERT_EQ(harness.Restore(Job(), source.path()).status, 0);
  // The guest's a.txt becomes newer than the backup (kept); bin/run.sh goes away (restored).
  zqtest::SetFileModifyTime(InGuest("restore/a.txt"), 1700000000);
  std::filesystem::remove(InGuest("restore/bin/run.sh"));
  zqtest::WriteFile(source.Join("new.txt"), "new");
  const std::string before = Snapshot(guest.path());

  const RunResult plan = harness.Command(
      Job(), {"--settings", harness.SettingsFile(), "restore", "--job", "{job}", "--dry-run", source.path()}, false);
  ASSERT_EQ(plan.status, 0) << plan.output;
  EXPECT_EQ(Snapshot(guest.path()), before) << "the dry run changed the guest";
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
  EXPECT_TRUE(HasLine(plan.output, "keep      a.txt (the guest's file is as new or newer)"))
      << plan.output;
  EXPECT_TRUE(HasLine(plan.output, "restore   bin/run.sh")) << plan.output;
  EXPECT_TRUE(HasLine(plan.output, "restore   new.txt")) << plan.output;
  EXPECT_NE(plan.output.find("Dry run into VM [cli-vm] folder [/restore]: nothing was changed"), std::string::npos);

  // Into a folder the guest does not have yet: everything would be restored, nothing is created.
  // (--settings after the command word this time.)
  const RunResult fresh = harness.Command(
      Job(), RestoreWith({"--settings", harness.SettingsFile(), "--dry-run", "--destination", "/fresh", source.path()}),
      false);
  ASSERT_EQ(fresh.status, 0) << fresh.output;
  EXPECT_EQ(fresh.output.find("\nkeep "), std::string::npos) << fresh.output;
  EXPECT_FALSE(std::filesystem::exists(InGuest("fresh")));
}

TEST_F(OperatorCommandLine, SelectionAndOverridesReachTheGuest) {
  // Only text files and the folders on their way, but not docs/deep, into another folder than the
  // job's. The rules apply in the order given: the first one keeps docs/deep out.
  const RunResult selected =
      harness.Restore(Job(), source.path(), 120,
                      {"--exclude", "/docs/deep/", "--include", "*/", "--include", "*.txt", "--exclude", "*",
                       "--destination", "/other"});
  ASSERT_EQ(selected.status, 0) << selected.output;
  EXPECT_EQ(zqtest::ReadFile(InGuest("other/a.txt")), "alpha\n");
  EXPECT_TRUE(std::filesystem::is_directory(InGuest("other/docs")));
  EXPECT_FALSE(std::filesystem::exists(InGuest("other/docs/deep")));
  EXPECT_FALSE(std::filesystem::exists(InGuest("other/bin/run.sh")));
  EXPECT_FALSE(std::filesystem::exists(InGuest("other/docs/readme.md")));
  EXPECT_FALSE(std::filesystem::exists(InGuest("restore")));

  // A single file as SOURCE lands under its own name.
  const RunResult single = harness.Restore(Job(), source.Join("bin/run.sh"), 120, {"--destination", "/single"});
  ASSERT_EQ(single.status, 0) << single.output;
  EXPECT_EQ(zqtest::ReadFile(InGuest("single/run.sh")), "#!/bin/sh\necho run\n");

  // --overwrite never keeps even an older guest file, and --list names it.
  zqtest::SetFileModifyTime(InGuest("other/a.txt"), 1000);
  zqtest::WriteFile(InGuest("other/a.txt"), "guest's own\n");
  const RunResult never = harness.Restore(Job({{"overwriteAlways", true}}), source.path(), 120,
                                          {"--overwrite", "never", "--list", "--destination", "/other"});
  ASSERT_EQ(never.status, 0) << never.output;
  EXPECT_EQ(zqtest::ReadFile(InGuest("other/a.txt")), "guest's own\n");
  // The folders exist from the run before: kept as well, with the guest's own attributes.
  EXPECT_EQ(never.summary["keptEntries"], nlohmann::json::array({"a.txt", "bin", "docs", "emptydir"}))
      << never.output;
  EXPECT_TRUE(HasLine(never.output, "kept      a.txt")) << never.output;
  EXPECT_TRUE(HasLine(never.output, "restored  docs/readme.md")) << never.output;
  EXPECT_NE(never.output.find("  log         " + harness.LogFile()), std::string::npos) << never.output;
}

}  // namespace
