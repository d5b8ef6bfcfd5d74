// zqrestore as an operator meets it, into a VM of the embedded hypervisor (native guest
// operations): each mistake gets its exit status and a first line that names the cause, a dry run
// changes nothing in the guest, and the selection and override options reach the guest.
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include <unistd.h>

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
        MistakeRow{"JobWithoutDestination", {{"destination", nullptr}}, RestoreWith({"{source}"}), 2,
                   "gives no destination: add \"destination\" to it or give --destination"},
        MistakeRow{"JobAndGuestTogether", {}, RestoreWith({"--guest", "root@192.0.2.1", "{source}"}), 2,
                   "zqrestore: --job and the options of one guest"},
        MistakeRow{"GuestWithABadAddress", {},
                   {"restore", "--guest", "root@bad host", "--guest-os", "linux", "--password-env", "PATH",
                    "--destination", "/r", "{source}"},
                   2, "zqrestore: --guest [root@bad host]: [bad host] is not a host name or an IP address"},
        MistakeRow{"GuestWithoutPasswordInAPipe", {},
                   {"guest", "--guest", "192.0.2.1", "--guest-os", "linux", "browse", "/"}, 2,
                   "zqrestore: no password for the guest: give --password-file FILE or --password-env NAME"},
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
  EXPECT_TRUE(HasLine(never.output, "kept      a.txt (the guest has it and --overwrite never keeps it)"))
      << never.output;
  EXPECT_TRUE(HasLine(never.output, "restored  docs/readme.md")) << never.output;
  EXPECT_NE(never.output.find("  log         " + harness.LogFile()), std::string::npos) << never.output;

  // -v itemizes as --list does; with the JSON summary on standard output nothing else is written
  // there, and it holds every entry with its outcome and why.
  const RunResult itemized = harness.Command(
      Job(), {"restore", "--job", "{job}", "-v", "--progress", "never", "--destination", "/other", source.path()}, true);
  ASSERT_EQ(itemized.status, 0) << itemized.output;
  EXPECT_TRUE(HasLine(itemized.output, "kept      a.txt (the guest's file is as new or newer)")) << itemized.output;
  EXPECT_TRUE(HasLine(itemized.output, "kept      docs (the guest has the folder)")) << itemized.output;
  const RunResult json = harness.Command(
      Job(), {"restore", "--job", "{job}", "-q", "--summary-json", "-", "--destination", "/json", source.path()}, true);
  ASSERT_EQ(json.status, 0) << json.output;
  const nlohmann::json summary = nlohmann::json::parse(json.output, nullptr, false);
  ASSERT_FALSE(summary.is_discarded()) << json.output;
  ASSERT_FALSE(summary["entries"].empty());
  EXPECT_EQ(summary["entries"].size(), summary["restoredFiles"].get<size_t>() + summary["restoredFolders"].get<size_t>());
  EXPECT_EQ(summary["entries"][0]["outcome"], "restored");
}

// A plan runs its jobs side by side in processes of their own, says how each ended, and a second
// run redoes only what did not complete (--restart: everything).
TEST_F(OperatorCommandLine, PlanRunsEveryJobAndASecondRunRedoesOnlyWhatDidNotComplete) {
  const std::string folder = harness.Folder();
  zqtest::WriteFile(folder + "/off.json",
                    harness.Job("off-vm", "564d0000-0000-4000-8000-00000000c11b", "/restore", kGuestUser, kGuestPassword)
                        .dump());
  const nlohmann::json plan = {
      {"jobs",
       {{{"job", "job.json"}, {"source", source.path()}, {"destination", "/p1"}},
        {{"job", "job.json"}, {"source", source.path()}, {"destination", "/p2"},
         {"include", {"*/", "*.txt"}}, {"exclude", {"*"}}},
        {{"name", "powered off"}, {"job", "off.json"}, {"source", source.path()}}}}};
  zqtest::WriteFile(folder + "/plan.json", plan.dump());
  const std::string summaryFile = folder + "/plan-summary.json";
  auto runPlan = [&](std::vector<std::string> extra) {
    std::vector<std::string> arguments = {"plan", folder + "/plan.json", "--parallel", "2", "--summary-json", summaryFile};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const RunResult result = harness.Command(Job(), arguments, true);
    return std::make_pair(result, nlohmann::json::parse(zqtest::ReadFile(summaryFile), nullptr, false));
  };
  const auto [first, firstSummary] = runPlan({});
  EXPECT_EQ(first.status, 1) << first.output;
  ASSERT_EQ(firstSummary["jobs"].size(), 3u) << first.output;
  EXPECT_EQ(firstSummary["jobs"][0]["outcome"], "completed") << first.output;
  EXPECT_EQ(firstSummary["jobs"][1]["outcome"], "completed") << first.output;
  EXPECT_EQ(firstSummary["jobs"][2]["outcome"], "failed");
  EXPECT_FALSE(firstSummary["jobs"][2]["retryable"]) << "a VM that is off stays off";
  EXPECT_NE(firstSummary["jobs"][2]["cause"].get<std::string>().find("refused"), std::string::npos);
  EXPECT_EQ(zqtest::ReadFile(InGuest("p1/bin/run.sh")), "#!/bin/sh\necho run\n");
  EXPECT_EQ(zqtest::ReadFile(InGuest("p2/a.txt")), "alpha\n");
  EXPECT_FALSE(std::filesystem::exists(InGuest("p2/bin/run.sh"))) << "the job's own selection";
  EXPECT_TRUE(HasLine(first.output, "  failed      powered off: " + firstSummary["jobs"][2]["cause"].get<std::string>()))
      << first.output;
  // Each job wrote its own summary, as a single restore does.
  const nlohmann::json jobSummary =
      nlohmann::json::parse(zqtest::ReadFile(firstSummary["jobs"][0]["summaryFile"]), nullptr, false);
  EXPECT_EQ(jobSummary["guestFolder"], "/p1");

  const auto [second, secondSummary] = runPlan({});
  EXPECT_EQ(second.status, 1) << second.output;
  EXPECT_TRUE(secondSummary["jobs"][0]["skipped"]) << second.output;
  EXPECT_TRUE(secondSummary["jobs"][1]["skipped"]);
  EXPECT_FALSE(secondSummary["jobs"][2]["skipped"]) << "a failed job is done again";
  const auto [third, thirdSummary] = runPlan({"--restart"});
  EXPECT_FALSE(thirdSummary["jobs"][0]["skipped"]) << third.output;
  EXPECT_EQ(thirdSummary["jobs"][0]["outcome"], "completed") << third.output;
  // Ctrl-C: no new job starts, the running one stops after its entry, and the state says which
  // jobs were interrupted, so that the next run does them. The signals follow the plan's own
  // "started" lines, and each job has many entries, so the outcome does not hang on timing.
  zqtest::TempDir many;
  for (int i = 0; i < 1500; ++i) zqtest::WriteFile(many.Join("f" + std::to_string(i)), std::string(4096, 'm'));
  nlohmann::json bigPlan = {{"jobs", nlohmann::json::array()}};
  for (const char* destination : {"/b1", "/b2", "/b3"}) {
    bigPlan["jobs"].push_back({{"job", "job.json"}, {"source", many.path()}, {"destination", destination}});
  }
  zqtest::WriteFile(folder + "/big-plan.json", bigPlan.dump());
  const std::string bigSummary = folder + "/big-summary.json";
  // Every job has a time limit: one past it is stopped, and the failure is worth another try.
  const RunResult late = harness.Command(Job(), {"plan", "--parallel", "1", "--job-timeout", "0.2", "--summary-json",
                                                 folder + "/late-summary.json", folder + "/big-plan.json"});
  const nlohmann::json lateSummary =
      nlohmann::json::parse(zqtest::ReadFile(folder + "/late-summary.json"), nullptr, false);
  EXPECT_EQ(late.status, 1) << late.output;
  EXPECT_EQ(lateSummary["jobs"][0]["outcome"], "failed") << late.output;
  EXPECT_EQ(lateSummary["jobs"][0]["cause"].get<std::string>().rfind("timed out", 0), 0u) << late.output;
  EXPECT_TRUE(lateSummary["jobs"][0]["retryable"]);
  // Runs the plan and sends `signal` once the line `started` has been printed. Before the signal a
  // second run of the plan must be refused, naming the first; after it, the running job must end.
  auto signalWhenStarted = [&](const std::string& signal, const std::string& started) {
    const std::string script =
        "\"$@\" >\"$ZQ_OUT\" 2>&1 & pid=$!; "
        "for i in $(seq 600); do grep -qF \"$ZQ_STARTED\" \"$ZQ_OUT\" && break; sleep 0.05; done; "
        "job=$(ps -o pid= --ppid $pid | tr -d ' '); "
        // The job holds the plan's lock, close-on-exec (02000000), so that none of its tools holds it.
        "private() { for f in /proc/$job/fd/*; do [ \"$(readlink \"$f\")\" = \"$ZQ_LOCK\" ] && "
        "[ $((8#$(awk '/^flags:/ {print $2}' /proc/$job/fdinfo/${f##*/}) & 8#2000000)) != 0 ] && return 0; done; "
        "return 1; }; for i in $(seq 600); do private && echo \"job keeps the lock\" && break; sleep 0.05; done; "
        "\"$@\" >\"$ZQ_OUT.again\" 2>&1; again=$?; "
        "kill -" + signal + " $pid; wait $pid; status=$?; "
        "for i in $(seq 600); do ps -o stat= -p $job | grep -qv Z || break; sleep 0.05; done; "
        "ps -o stat= -p $job | grep -qv Z && echo \"job [$job] outlived its plan\"; cat \"$ZQ_OUT\"; "
        "[ $again = 2 ] && grep -qF \"is already running (process $pid, started\" \"$ZQ_OUT.again\" && "
        "echo \"second run refused\"; exit $status";
    return harness.Program(Job(),
                           {"env", "ZQ_OUT=" + folder + "/plan-output", "ZQ_STARTED=" + started,
                            "ZQ_LOCK=" + bigSummary + ".state.lock", "/bin/bash", "-c",
                            script, "bash", ZQ_ZQRESTORE, "--settings", harness.SettingsFile(), "plan", "--parallel",
                            "1", "--summary-json", bigSummary, folder + "/big-plan.json"},
                           120);
  };
  // A plan killed outright keeps the state of every job that had ended; the runs below go on from it.
  const RunResult killed = signalWhenStarted("KILL", "started    cli-vm (job 2)");
  EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.output;
  EXPECT_TRUE(HasLine(killed.output, "job keeps the lock")) << killed.output;
  EXPECT_TRUE(HasLine(killed.output, "second run refused")) << zqtest::ReadFile(folder + "/plan-output.again");
  EXPECT_EQ(killed.output.find("outlived its plan"), std::string::npos) << killed.output;
  const nlohmann::json killedJob =
      nlohmann::json::parse(zqtest::ReadFile(bigSummary + ".state.jobs/0002.summary.json"), nullptr, false);
  EXPECT_FALSE(killedJob.is_object() && killedJob["outcome"] == "completed") << "job 2 ran on after its plan";
  const RunResult stopped = signalWhenStarted("INT", "started    cli-vm (job 3)");
  EXPECT_EQ(stopped.status, 130) << stopped.output;
  const nlohmann::json stoppedSummary = nlohmann::json::parse(zqtest::ReadFile(bigSummary), nullptr, false);
  EXPECT_TRUE(stoppedSummary["jobs"][0]["skipped"]) << "job 1 ended before the kill: " << stopped.output;
  EXPECT_TRUE(stoppedSummary["interrupted"]) << stopped.output;
  EXPECT_EQ(stoppedSummary["jobs"][2]["outcome"], "interrupted") << stopped.output;
  const RunResult resumed = harness.Command(
      Job(), {"plan", "--parallel", "1", "--summary-json", bigSummary, folder + "/big-plan.json"}, true, 120);
  EXPECT_EQ(resumed.status, 0) << resumed.output;
  EXPECT_EQ(zqtest::ReadFile(InGuest("b3/f1499")), std::string(4096, 'm'));
}

// The Ansible collection drives the installed zqrestore: check mode is the dry run, "changed" means
// something was restored, a refused job fails its task with the reason; the fleet playbook runs
// the role on every proxy of the inventory (here this machine).
TEST_F(OperatorCommandLine, AnsibleModuleAndFleetPlaybookRestoreThroughZqrestore) {
  const std::string folder = harness.Folder();
  if (access("/usr/bin/ansible-playbook", X_OK) != 0) {
    if (zqtest::RunningInCi()) FAIL() << "ansible-playbook is missing (package ansible-core)";
    GTEST_SKIP() << "ansible-playbook is missing (package ansible-core)";
  }
  zqtest::WriteFile(folder + "/off.json",
                    harness.Job("off-vm", "564d0000-0000-4000-8000-00000000c11b", "/restore", kGuestUser, kGuestPassword)
                        .dump());
  const nlohmann::json common = {
      {"job", folder + "/job.json"}, {"source", source.path()}, {"settings", harness.SettingsFile()},
      {"zqrestore", ZQ_ZQRESTORE},   {"destination", "/ansible"}};
  nlohmann::json offJob = common;
  offJob["job"] = folder + "/off.json";
  const nlohmann::json fleetJob = {{"job", folder + "/job.json"}, {"source", source.path()}, {"destination", "/fleet"}};
  const nlohmann::json play = nlohmann::json::array(
      {{{"name", "module"},
        {"hosts", "localhost"},
        {"gather_facts", false},
        {"tasks",
         {{{"zq.restore.zqrestore", common}, {"check_mode", true}, {"register", "dry"}},
          {{"zq.restore.zqrestore", common}, {"register", "first"}},
          {{"zq.restore.zqrestore", common}, {"register", "again"}},
          {{"zq.restore.zqrestore", offJob}, {"register", "off"}, {"ignore_errors", true}},
          {{"ansible.builtin.assert",
            {{"that",
              {"dry.changed", "dry.summary.outcome == 'dry run'", "first.changed",
               "first.summary.restoredFiles > 0", "not again.changed", "again.summary.kept > 0", "off.failed",
               "off.rc == 3", "'refused' in off.msg"}}}}}}}},
       {{"import_playbook", "zq.restore.restore_fleet"}}});
  zqtest::WriteFile(folder + "/play.yml", play.dump());  // JSON is YAML
  zqtest::WriteFile(folder + "/hosts.ini", "[proxies]\nlocalhost ansible_connection=local\n");
  const nlohmann::json fleetVariables = {{"zqrestore_restores", {fleetJob}},
                                         {"zqrestore_settings", harness.SettingsFile()},
                                         {"zqrestore_program", ZQ_ZQRESTORE}};
  zqtest::WriteFile(folder + "/fleet.json", fleetVariables.dump());
  harness.SetEnvironment("ANSIBLE_COLLECTIONS_PATH", ZQ_ANSIBLE_COLLECTIONS);
  harness.SetEnvironment("ANSIBLE_HOME", folder + "/ansible-home");
  harness.SetEnvironment("ANSIBLE_LOCAL_TEMP", folder + "/ansible-tmp");
  harness.SetEnvironment("ANSIBLE_NOCOLOR", "1");
  const RunResult run = harness.Program(
      Job(), {"ansible-playbook", "-i", folder + "/hosts.ini", "-c", "local", "-e", "@" + folder + "/fleet.json",
              folder + "/play.yml"},
      300);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(zqtest::ReadFile(InGuest("ansible/a.txt")), "alpha\n") << run.output;
  EXPECT_EQ(zqtest::ReadFile(InGuest("fleet/a.txt")), "alpha\n") << run.output;
  EXPECT_EQ(run.output.find(kGuestPassword), std::string::npos);
}

}  // namespace
