// What the user sees: sizes and durations, the progress line, the summary and the exit status.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "host/EntryListing.h"
#include "host/HumanUnits.h"
#include "support/TestSupport.h"
#include "host/JobSummary.h"
#include "host/InFlightBytes.h"
#include "host/ProgressDisplay.h"
#include "host/SecretMask.h"

namespace {

struct BytesRow {
  uint64_t bytes;
  const char* text;
};

void PrintTo(const BytesRow& row, std::ostream* out) { *out << row.bytes; }

class BytesAreWritten : public testing::TestWithParam<BytesRow> {};
TEST_P(BytesAreWritten, InBinaryUnits) { EXPECT_EQ(FormatBytes(GetParam().bytes), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(Rows, BytesAreWritten,
                         testing::Values(BytesRow{0, "0 B"}, BytesRow{1023, "1023 B"}, BytesRow{1024, "1.0 KiB"},
                                         BytesRow{1536, "1.5 KiB"}, BytesRow{1048575, "1.0 MiB"},
                                         BytesRow{3ull * 256 * 1024 * 1024, "768.0 MiB"},
                                         BytesRow{5ull << 30, "5.0 GiB"}));

struct DurationRow {
  double seconds;
  const char* text;
};

void PrintTo(const DurationRow& row, std::ostream* out) { *out << row.seconds; }

class DurationsAreWritten : public testing::TestWithParam<DurationRow> {};
TEST_P(DurationsAreWritten, ForAPerson) { EXPECT_EQ(FormatDuration(GetParam().seconds), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(Rows, DurationsAreWritten,
                         testing::Values(DurationRow{0, "0.0 s"}, DurationRow{0.44, "0.4 s"},
                                         DurationRow{59.94, "59.9 s"}, DurationRow{59.96, "1:00"},
                                         DurationRow{65, "1:05"}, DurationRow{3723, "1:02:03"},
                                         DurationRow{-3, "0.0 s"}));

TEST(Rates, AreUnknownWithoutTime) {
  EXPECT_EQ(FormatRate(0), "-");
  EXPECT_EQ(FormatRate(2.5 * 1024 * 1024), "2.5 MiB/s");
}

TEST(Progress, EstimatesTheTimeLeftFromBytesAndEntries) {
  ProgressSnapshot snapshot;
  snapshot.entriesTotal = 4;
  snapshot.bytesTotal = 4 * kEntryWeightBytes;
  snapshot.entriesDone = 1;
  snapshot.bytesDone = kEntryWeightBytes;
  snapshot.elapsedSeconds = 10;
  EXPECT_DOUBLE_EQ(EstimateSecondsLeft(snapshot), 30);
  snapshot.entriesDone = 4;
  snapshot.bytesDone = snapshot.bytesTotal;
  EXPECT_DOUBLE_EQ(EstimateSecondsLeft(snapshot), 0);
  snapshot.entriesDone = 0;
  snapshot.bytesDone = 0;
  EXPECT_LT(EstimateSecondsLeft(snapshot), 0) << "nothing done: nothing to say";
}

TEST(Progress, LineShowsEntriesBytesRateAndTimeLeft) {
  ProgressSnapshot snapshot;
  snapshot.entriesDone = 120;
  snapshot.entriesTotal = 2000;
  snapshot.bytesDone = 4 * 1024 * 1024;
  snapshot.bytesTotal = 20 * 1024 * 1024;
  snapshot.elapsedSeconds = 2;
  EXPECT_EQ(FormatProgressLine(snapshot), "  120/2000 entries  4.0 MiB of 20.0 MiB  2.0 MiB/s  23.2 s left");
  snapshot.elapsedSeconds = 0;
  snapshot.entriesDone = 0;
  snapshot.bytesDone = 0;
  EXPECT_EQ(FormatProgressLine(snapshot), "  0/2000 entries  0 B of 20.0 MiB  -  - left");
  // A large file moves the line while it is copied.
  snapshot.elapsedSeconds = 2;
  snapshot.bytesInFlight = 4 * 1024 * 1024;
  EXPECT_EQ(FormatProgressLine(snapshot).rfind("  0/2000 entries  4.0 MiB of 20.0 MiB  2.0 MiB/s  ", 0), 0u);
  EXPECT_GT(EstimateSecondsLeft(snapshot), 0);
}

// The copy in flight is measured where it reads the staged file: in this process or in a tool it
// started, found through the process tree.
TEST(Progress, ReadsHowFarTheCopyOfTheFileInFlightHasCome) {
  zqtest::TempDir dir;
  const std::string staged = dir.Join("big");
  zqtest::WriteFile(staged, std::string(100000, 'x'));
  struct stat info {};
  ASSERT_EQ(stat(staged.c_str(), &info), 0);
  EXPECT_EQ(BytesReadOf(info.st_dev, info.st_ino, getpid()), 0u) << "nobody reads it yet";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t reader = fork();
  if (reader == 0) {
    setpgid(0, 0);
    // A grandchild reads 70000 bytes and waits, as a copy tool started by a tool would.
    if (fork() == 0) {
      const int fd = open(staged.c_str(), O_RDONLY);
      char buffer[70000];
      if (fd < 0 || read(fd, buffer, sizeof buffer) != static_cast<ssize_t>(sizeof buffer)) _exit(1);
      if (write(ready[1], "r", 1) != 1) _exit(1);
      pause();
    }
    close(ready[1]);
    pause();
  }
  setpgid(reader, reader);
  close(ready[1]);
  char byte = 0;
  const bool read70000 = read(ready[0], &byte, 1) == 1;
  const uint64_t seen = BytesReadOf(info.st_dev, info.st_ino, getpid());
  kill(-reader, SIGKILL);
  waitpid(reader, nullptr, 0);
  close(ready[0]);
  ASSERT_TRUE(read70000);
  EXPECT_EQ(seen, 70000u);
}

struct ExitRow {
  const char* name;
  JobOutcome outcome;
  uint64_t failed;
  uint64_t notAttempted;
  bool stoppedOnRequest;
  int expected;
  int signal = 0;  // the signal that asked to stop
};

void PrintTo(const ExitRow& row, std::ostream* out) { *out << row.name; }

class ExitStatuses : public testing::TestWithParam<ExitRow> {};
TEST_P(ExitStatuses, FollowTheOutcome) {
  RestoreReport report;
  report.outcome = GetParam().outcome;
  report.counts.failed = GetParam().failed;
  report.counts.notAttempted = GetParam().notAttempted;
  report.stoppedOnRequest = GetParam().stoppedOnRequest;
  report.stopSignal = GetParam().signal;
  EXPECT_EQ(ExitStatusFor(report), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, ExitStatuses,
    testing::Values(ExitRow{"CompletedCleanly", JobOutcome::Completed, 0, 0, false, kExitSuccess},
                    ExitRow{"CompletedWithFailures", JobOutcome::Completed, 2, 0, false, kExitEntriesFailed},
                    ExitRow{"Refused", JobOutcome::Refused, 0, 0, false, kExitRefused},
                    ExitRow{"HostFailure", JobOutcome::HostFailure, 0, 0, false, kExitHostFailure},
                    ExitRow{"StoppedAfterTooManyFailures", JobOutcome::Interrupted, 5, 10, false, kExitEntriesFailed},
                    ExitRow{"StoppedBySignal", JobOutcome::Interrupted, 0, 10, true, kExitInterrupted},
                    ExitRow{"StoppedByCtrlC", JobOutcome::Interrupted, 0, 10, true, 130, SIGINT},
                    ExitRow{"StoppedBySigterm", JobOutcome::Interrupted, 0, 0, true, 143, SIGTERM}),
    [](const testing::TestParamInfo<ExitRow>& row) { return std::string(row.param.name); });

JobFile MakeJob() {
  JobFile job;
  job.vmName = "web01";
  job.destination = "/srv/restore";
  return job;
}

// The plug-in's own counter is for developers: it stays in the JSON summary, not in the text.
TEST(Summary, OfACompletedJobGivesCountsTimesAndThroughputButNoDeveloperCounter) {
  RestoreReport report;
  report.outcome = JobOutcome::Completed;
  report.guestFolder = "/srv/restore";
  report.counts.restoredFiles = 9;
  report.counts.restoredFolders = 3;
  report.counts.bytesRestored = 2 * 1024 * 1024;
  report.counts.kept = 1;
  report.elapsedSeconds = 2.5;
  report.entryPhaseSeconds = 2;
  report.counter.seen = true;
  report.counter.intervals = 9;
  report.counter.totalBytes = 2 * 1024 * 1024;
  report.counter.totalSeconds = 0.5;
  report.counter.bytesPerSecond = 4 * 1024 * 1024;
  report.stagingFolder = "/jr/ZQ_JobResults/1/2/3/ForGuestVM";
  report.logFile = "/var/log/zqrestore/VSAgentlessRestoreToVM.log";
  SecretMask mask;
  EXPECT_EQ(RenderSummaryText(MakeJob(), report, mask),
            "Restore into VM [web01] folder [/srv/restore]: completed\n"
            "  restored    12 entries: 9 files (2.0 MiB), 3 folders\n"
            "  kept        1 entry (the guest already had them: a file as new or newer, or the folder)\n"
            "  failed      0 entries\n"
            "  elapsed     2.5 s (whole job; entries 2.0 s)\n"
            "  throughput  1.0 MiB/s (measured by zqrestore: bytes restored / time spent on entries)\n"
            "  staging     /jr/ZQ_JobResults/1/2/3/ForGuestVM (removed)\n"
            "  log         /var/log/zqrestore/VSAgentlessRestoreToVM.log\n");
}

TEST(Summary, OfARefusedJobExplainsEachPendingCauseWithoutSecrets) {
  RestoreReport report;
  report.outcome = JobOutcome::Refused;
  report.failedStep = "GetJobOptions";
  report.guestFolder = "/srv/restore";
  report.detail = "Unable to connect to guest VM [web01] as [root].";
  report.pendingCauses.push_back({0x5B0000C3, {"web01", "root"}});
  report.pendingCauses.push_back({0x4800006A, {"Guest said: password hunter2 is wrong"}});
  SecretMask mask({"hunter2"});
  const std::string text = RenderSummaryText(MakeJob(), report, mask);
  EXPECT_NE(text.find("Restore into VM [web01] folder [/srv/restore]: refused while checking the VM and the guest login\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("  reason      Unable to connect to guest VM [web01] as [root].\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  Cannot connect to the guest of virtual machine [web01] as user [root]. Check the guest "
                      "credentials. [0x5B0000C3]\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  Guest said: password ***** is wrong [0x4800006A]\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("hunter2"), std::string::npos);
  EXPECT_EQ(text.find("restored"), std::string::npos) << "a refused job restored nothing to count";
}

TEST(Summary, ListsTheFirstFailuresAndCountsTheRest) {
  RestoreReport report;
  report.outcome = JobOutcome::Completed;
  for (int i = 0; i < 25; ++i) report.failures.push_back({"f" + std::to_string(i), "no space"});
  report.counts.failed = 25;
  SecretMask mask;
  const std::string text = RenderSummaryText(MakeJob(), report, mask);
  EXPECT_NE(text.find("  f19: no space\n"), std::string::npos);
  EXPECT_EQ(text.find("  f20: no space\n"), std::string::npos);
  EXPECT_NE(text.find("  ... and 5 more (--summary-json lists them all)\n"), std::string::npos);
  const nlohmann::json json = RenderSummaryJson(MakeJob(), report, mask);
  EXPECT_EQ(json["failures"].size(), 25u);
  EXPECT_EQ(json["exitStatus"], 1);
  EXPECT_EQ(json["outcome"], "completed");
}

// The headline says how the job ended in the operator's words, never as a call of the plug-in.
TEST(Summary, HeadlineSaysHowTheJobEndedInTheOperatorsWords) {
  struct {
    JobOutcome outcome;
    const char* step;
    uint64_t failed;
    uint64_t notTried;
    const char* interruption;
    const char* headline;
  } const rows[] = {
      {JobOutcome::Completed, "", 0, 0, "", "completed"},
      {JobOutcome::Completed, "", 939, 0, "", "completed with 939 failed"},
      {JobOutcome::Completed, "", 2, 5, "", "completed with 2 failed, 5 not tried"},
      {JobOutcome::Interrupted, "", 0, 7, "stopped on request", "interrupted (stopped on request)"},
      {JobOutcome::Refused, "GenerateGuestAndStagingFolders", 0, 0, "",
       "refused while preparing the destination folder in the guest"},
      {JobOutcome::Refused, "InitStagingFolder", 0, 0, "", "refused while preparing the staging folder on the proxy"},
      {JobOutcome::HostFailure, "CreateVSAgentlessRestoreToVMObject", 0, 0, "",
       "failed on the proxy while starting the plug-in"},
  };
  SecretMask mask;
  for (const auto& row : rows) {
    RestoreReport report;
    report.outcome = row.outcome;
    report.failedStep = row.step;
    report.counts.failed = row.failed;
    report.counts.notAttempted = row.notTried;
    report.interruption = row.interruption;
    EXPECT_EQ(Headline(report), row.headline);
    EXPECT_NE(RenderSummaryText(MakeJob(), report, mask).find(std::string("]: ") + row.headline + "\n"),
              std::string::npos);
    EXPECT_EQ(RenderSummaryJson(MakeJob(), report, mask)["headline"], row.headline);
  }
}

// A failed entry's line says what kind of failure it was before the detail; names in brackets do
// not decide it.
TEST(Summary, FailedEntriesNameTheirCauseInTheOperatorsWords) {
  const std::pair<const char*, const char*> rows[] = {
      {"Failed to copy [a] (write: No space left on device)", "no space left"},
      {"Failed to copy [a] (Disk quota exceeded)", "no space left"},
      {"Failed to copy [a] (bash: /srv/a: Permission denied)", "permission denied"},
      {"Failed to copy [a] (Access to the path 'D:\\a' is denied.)", "permission denied"},
      {"Guest path [/srv/a] exists and is not a folder", "not a folder"},
      {"Failed to copy [a] (mkdir: cannot create directory: Not a directory)", "not a folder"},
      {"Guest path [/srv/a] is a symbolic link; not replaced", "a link refused"},
      {"Failed to copy [a] (the agent: time limit reached while waiting for the answer)", "timed out"},
      {"Failed to copy [a] (ssh: connect to host 10.0.0.9 port 22: No route to host)", "guest unreachable"},
      {"Failed to copy [link timed out permission denied]", ""},
      {"the plug-in reported a failure", ""},
  };
  for (const auto& [reason, cause] : rows) EXPECT_EQ(FailureCause(reason), cause) << reason;
  RestoreReport report;
  report.outcome = JobOutcome::Completed;
  report.failures.push_back({"a", rows[0].first});
  report.counts.failed = 1;
  report.entries.push_back({"a", EntryOutcome::Failed, rows[0].first});
  report.entries.push_back({"b", EntryOutcome::Kept, kKeptGuestAsNew});
  SecretMask mask;
  EXPECT_NE(RenderSummaryText(MakeJob(), report, mask).find("  a: no space left: Failed to copy [a]"),
            std::string::npos);
  const nlohmann::json json = RenderSummaryJson(MakeJob(), report, mask);
  EXPECT_EQ(json["failures"][0]["cause"], "no space left");
  EXPECT_EQ(json["entries"][0]["outcome"], "failed");
  EXPECT_EQ(json["entries"][1], (nlohmann::json{{"path", "b"}, {"outcome", "kept"}, {"reason", kKeptGuestAsNew}}));
  EXPECT_EQ(EntryLine(EntryOutcome::Kept, "b", kKeptGuestAsNew), "kept      b (the guest's file is as new or newer)");
  EXPECT_EQ(EntryLine(EntryOutcome::Failed, "a", rows[0].first),
            "failed    a: no space left: Failed to copy [a] (write: No space left on device)");
}

TEST(Summary, AsJsonCarriesCodesArgumentsAndTexts) {
  RestoreReport report;
  report.outcome = JobOutcome::Refused;
  report.pendingCauses.push_back({0x5B0000C1, {"web01"}});
  SecretMask mask;
  const nlohmann::json json = RenderSummaryJson(MakeJob(), report, mask);
  ASSERT_EQ(json["pendingCauses"].size(), 1u);
  EXPECT_EQ(json["pendingCauses"][0]["code"], "0x5B0000C1");
  EXPECT_EQ(json["pendingCauses"][0]["arguments"], nlohmann::json::array({"web01"}));
  EXPECT_EQ(json["pendingCauses"][0]["text"],
            "Virtual machine [web01] is not powered on. Power it on and run the restore again.");
  EXPECT_EQ(json["exitStatus"], 3);
}

}  // namespace

#include "host/EntryListing.h"
#include "host/GuestAccess.h"
#include "host/HostLogTap.h"
#include "host/TerminalLines.h"

namespace {

TEST(GuestEntries, ShowTypeModeOwnerSizeUtcTimeAndName) {
  VMInfoStructs::SGuestFile entry;
  entry.name = "report 2024.csv";
  entry.type = 2;
  entry.mode = 0100640;
  entry.uid = 1000;
  entry.gid = 100;
  entry.size = 4096;
  entry.modifyTime = 1709285400;  // 2024-03-01 09:30:00 UTC
  EXPECT_EQ(FormatGuestEntry(entry), "- 0640   1000    100         4096 2024-03-01 09:30:00  report 2024.csv");
  entry.type = 1;
  entry.name = "C:";
  entry.mode = 0;
  EXPECT_EQ(FormatGuestEntry(entry).substr(0, 7), "d 0000 ");
}

// Names and reasons from a guest, a backup or a source as a terminal shows them: input bytes, then
// the printed text. Every printer of such text is run over every row below.
struct HostileName {
  const char* what;
  std::string bytes;
  std::string shown;
};
const HostileName kHostileNames[] = {
    {"title change", "a\x1b]0;PWNED\x07" "b", "a\\x1b]0;PWNED\\x07b"},
    {"line breaks", "line\nbreak\rx", "line\\x0abreak\\x0dx"},
    {"UTF-8 C1 CSI", "csi\xc2\x9b" "2J", "csi\\xc2\\x9b2J"},
    {"lone CSI byte", "csi\x9b" "2J", "csi\\x9b2J"},
    {"DEL", "del\x7f", "del\\x7f"},
    {"backslash", "C:\\Users\\back\\slash", "C:\\Users\\back\\slash"},
    {"text that reads as an escape", "a\\x1b\\u{202E}", "a\\\\x1b\\\\u{202E}"},
    {"right-to-left override", "invoice\xe2\x80\xae" "fdp.exe", "invoice\\u{202E}fdp.exe"},
    {"isolates and marks", "\xe2\x81\xa6x\xe2\x81\xa9\xe2\x80\x8e\xe2\x80\x8f", "\\u{2066}x\\u{2069}\\u{200E}\\u{200F}"},
    {"overlong slash", "a\xc0\xaf" "b", "a\\xc0\\xafb"},
    {"truncated sequence", "end\xe2\x82", "end\\xe2\\x82"},
    {"surrogate", "s\xed\xa0\x80", "s\\xed\\xa0\\x80"},
    {"ordinary UTF-8", "\xc3\xbc" "bersicht caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x81", "\xc3\xbc" "bersicht caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x81"},
};

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A hostile guest's names cannot drive the operator's terminal.
TEST(GuestEntries, ShowControlCharactersOfNamesEscaped) {
  for (const HostileName& row : kHostileNames) {
    VMInfoStructs::SGuestFile entry;
    entry.name = row.bytes;
    EXPECT_TRUE(EndsWith(FormatGuestEntry(entry), "  " + row.shown)) << row.what << ": " << FormatGuestEntry(entry);
  }
}

TEST(Printers, ShowEveryHostileNameEscapedAndJsonKeepsItExact) {
  for (const HostileName& row : kHostileNames) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(PrintableText(row.bytes), row.shown);
    // restore --list and the dry run's plan
    EXPECT_EQ(EntryLine(EntryOutcome::Failed, row.bytes, row.bytes), "failed    " + row.shown + ": " + row.shown);
    SourceEntry source;
    source.relativePath = row.bytes;
    PreviewEntry preview{&source, PreviewOutcome::Refuse, row.bytes};
    EXPECT_EQ(PreviewLine(preview), "refuse    " + row.shown + ": " + row.shown);
    // the summary: failed entries, kept entries, the reason of the job
    RestoreReport report;
    report.outcome = JobOutcome::Completed;
    report.failures.push_back({row.bytes, row.bytes});
    report.keptPaths.push_back(row.bytes);
    report.detail = row.bytes;
    SummaryOptions options;
    options.listKept = true;
    SecretMask mask;
    const std::string text = RenderSummaryText(MakeJob(), report, mask, options);
    EXPECT_NE(text.find("\n  " + row.shown + ": " + row.shown + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("(the guest's copy was left alone):\n  " + row.shown + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  reason      " + row.shown + "\n"), std::string::npos) << text;
    const nlohmann::json json = RenderSummaryJson(MakeJob(), report, mask, options);
    EXPECT_EQ(json["failures"][0]["path"].get<std::string>(), row.bytes);
    EXPECT_EQ(json["keptEntries"][0].get<std::string>(), row.bytes);
    // the progress line
    ProgressSnapshot snapshot;
    snapshot.currentEntry = row.bytes;
    EXPECT_TRUE(EndsWith(FormatProgressLine(snapshot), " left  " + row.shown)) << FormatProgressLine(snapshot);
    // log lines on the terminal (--verbose)
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    ASSERT_NE(stream, nullptr);
    {
      LogRecord record;
      record.origin = "f";
      record.text = row.bytes + " hunter2-secret";  // and masked as every other text of the plug-in
      TerminalLogSink(std::make_shared<TerminalLines>(stream, false),
                      std::make_shared<const SecretMask>(std::vector<std::string>{"hunter2-secret"}))
          .Write(record);
    }
    fclose(stream);
    const std::string written(buffer, size);
    free(buffer);
    EXPECT_TRUE(EndsWith(written, "f: " + row.shown + " *****\n")) << written;
  }
}

}  // namespace
