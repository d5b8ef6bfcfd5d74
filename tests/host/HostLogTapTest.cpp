#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/HostLogTap.h"
#include "host/JobSummary.h"
#include "host/TerminalLines.h"
#include "platform/CMediaSpeedCounter.h"
#include "support/TestSupport.h"

namespace {

// A clock that moves only when told to.
class ManualClock : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return m_now; }
  void Advance(double seconds) {
    m_now += std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  }

 private:
  std::chrono::steady_clock::time_point m_now{};
};

class ScopedClock {
 public:
  explicit ScopedClock(std::shared_ptr<Clock> clock) : m_previous(SetClock(std::move(clock))) {}
  ~ScopedClock() { SetClock(m_previous); }

 private:
  std::shared_ptr<Clock> m_previous;
};

class ScopedTap {
 public:
  explicit ScopedTap(std::vector<std::shared_ptr<LogSink>> downstream = {})
      : tap(std::make_shared<HostLogTap>(std::move(downstream))), m_previous(SetLogSink(tap)) {}
  ~ScopedTap() { SetLogSink(m_previous); }
  std::shared_ptr<HostLogTap> tap;

 private:
  std::shared_ptr<LogSink> m_previous;
};

TEST(HostLogTap, ReadsTheJobTotalsOfTheThroughputCounter) {
  zqtest::ScopedSettings settings;
  settings.Set("Log", "DebugLevel", "2");
  auto clock = std::make_shared<ManualClock>();
  ScopedClock useClock(clock);
  ScopedTap scoped;

  CMediaSpeedCounter counter(nullptr);
  counter.Reset();
  counter.EnableLogging();
  counter.Init("VM Write Speed", 42);
  counter.Start();
  clock->Advance(2);
  counter.Stop(4000);
  counter.Start();
  clock->Advance(2);
  counter.Stop(8000);

  const CounterReading reading = scoped.tap->Counter();
  EXPECT_TRUE(reading.seen);
  EXPECT_EQ(reading.intervals, 2u);
  EXPECT_EQ(reading.totalBytes, 12000u);
  EXPECT_DOUBLE_EQ(reading.totalSeconds, 4.0);
  EXPECT_DOUBLE_EQ(reading.bytesPerSecond, 3000.0);
}

TEST(HostLogTap, IgnoresLinesOfOtherOrigins) {
  CounterReading reading;
  LogRecord record;
  record.origin = "somewhere else";
  record.text = "x; total [1] bytes in [1.000] s ([1] bytes/s)";
  EXPECT_FALSE(ParseCounterLine(record, reading));
  EXPECT_FALSE(reading.seen);
}

TEST(HostLogTap, KeepsTheErrorLinesSinceAMark) {
  ScopedTap scoped;
  EvDebug log;
  log.Error("f", "before");
  const uint64_t mark = scoped.tap->ErrorCount();
  EXPECT_TRUE(scoped.tap->ErrorsSince(mark).empty());
  log.Debug("f", "not an error");
  log.Error("f", "first [%d]", 1);
  log.Error("f", "second");
  EXPECT_EQ(scoped.tap->ErrorsSince(mark), (std::vector<std::string>{"first [1]", "second"}));
}

TEST(HostLogTap, CountsTheOwnerLinesOfANonRootLoginAndNamesTheLogin) {
  ScopedTap scoped;
  EvDebug log;
  log.DebugLvl("f", 0, "Owner not set on [/srv/r/a]: login [zqux1] is not root");
  log.DebugLvl("f", 0, "Owner not set on [/srv/r/b]: login [x] is not root]: login [zqux2] is not root");
  log.Debug("f", "Owner not set on [/srv/r/c]: login [zqux3] is not root, or so");
  log.Error("f", "Owner not set on [/srv/r/d]: login [zqux4] is not root");
  EXPECT_EQ(scoped.tap->OwnerNotSetCount(), 2u);
  EXPECT_EQ(scoped.tap->OwnerNotSetLogin(), "zqux2");
}

// A channel's word that guest sessions were off reaches the summary: the first one, with its reason.
TEST(HostLogTap, KeepsTheFirstWordThatGuestSessionsWereOff) {
  ScopedTap scoped;
  EvDebug log;
  EXPECT_EQ(scoped.tap->SessionsOff(), "");
  log.DebugLvl("f", 0, "Guest sessions are off: guest sessions and connection reuse are off (...), first");
  log.DebugLvl("f", 0, "Guest sessions are off: second");
  EXPECT_EQ(scoped.tap->SessionsOff(), "guest sessions and connection reuse are off (...), first");
  RestoreReport report;
  report.outcome = JobOutcome::Completed;
  report.sessionsOff = scoped.tap->SessionsOff();
  const nlohmann::json summary = RenderSummaryJson(JobFile(), report, SecretMask());
  EXPECT_EQ(summary["warnings"], nlohmann::json::array({report.sessionsOff}));
  EXPECT_NE(RenderSummaryText(JobFile(), report, SecretMask()).find("  warning     " + report.sessionsOff + "\n"),
            std::string::npos);
}

TEST(HostLogTap, PassesEveryLineDownstream) {
  auto capture = std::make_shared<zqtest::CapturingLogSink>();
  ScopedTap scoped({capture});
  EvDebug log;
  log.DebugLvl("origin", 0, "hello [%s]", "x");
  EXPECT_TRUE(capture->Contains("hello [x]"));
}

// --log in a shared folder: a link planted at the name is refused, and its target stays as it was.
TEST(HostLogTap, LogFileOfTheCommandLineRefusesAPlantedLinkAndAppendsToItsOwnFile) {
  zqtest::TempDir dir;
  zqtest::WriteFile(dir.Join("victim"), "untouched\n");
  ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
  ASSERT_EQ(symlink(dir.Join("victim").c_str(), dir.Join("planted.log").c_str()), 0);
  std::string error;
  AppendFileLogSink planted;
  EXPECT_FALSE(planted.Open(dir.Join("planted.log"), error));
  EXPECT_NE(error.find("cannot write " + dir.Join("planted.log") + ": it is a link"), std::string::npos) << error;
  EXPECT_EQ(zqtest::ReadFile(dir.Join("victim")), "untouched\n");
  AppendFileLogSink own;
  ASSERT_TRUE(own.Open(dir.Join("own.log"), error)) << error;
  LogRecord record;
  record.text = "kept";
  own.Write(record);
  EXPECT_NE(zqtest::ReadFile(dir.Join("own.log")).find(": kept\n"), std::string::npos);
}

TEST(TerminalLines, ClearsTheStatusLineForALogLineAndRedrawsIt) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  ASSERT_NE(stream, nullptr);
  {
    TerminalLines terminal(stream, true);
    terminal.SetStatus("1/2");
    terminal.WriteLine("a log line");
    terminal.SetStatus("plan\n  vm1");  // a plan's status: each of its lines is erased
    terminal.ClearStatus();
  }
  fclose(stream);
  const std::string written(buffer, size);
  free(buffer);
  EXPECT_EQ(written, "1/2\r\033[Ka log line\n1/2\r\033[Kplan\n  vm1\r\033[K\033[1A\r\033[K");
}

TEST(TerminalLines, ShowNoStatusInAPipe) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  ASSERT_NE(stream, nullptr);
  {
    TerminalLines terminal(stream, false);
    terminal.SetStatus("1/2");
    terminal.WriteLine("line");
    terminal.ClearStatus();
  }
  fclose(stream);
  const std::string written(buffer, size);
  free(buffer);
  EXPECT_EQ(written, "line\n");
}

}  // namespace

namespace {

TEST(HostLogTap, GivesTheGuestsOwnWordsAsTheReasonAndLeavesTheCommandInTheLog) {
  struct Row {
    const char* line;
    const char* reason;
  } rows[] = {
      {"Command failed Cmd [zqplink.exe -l u 10.0.0.5 bash -s -- --chown 0 0 '/r/a'] Outout [] Err [chown: changing "
       "ownership of '/r/a': Operation not permitted\n]",
       "chown: changing ownership of '/r/a': Operation not permitted"},
      {"Command failed Cmd [zqplink.exe ...] Outout [] Err [Permission denied, please try again.\nzqplink.exe: "
       "authentication refused for u at 10.0.0.5\n]",
       "zqplink.exe: authentication refused for u at 10.0.0.5"},
      {"Command failed Cmd [x] Outout [bash: line 1: uname: not found\n] Err []", "bash: line 1: uname: not found"},
      {"Command failed Cmd [x] Outout [] Err []",
       "a guest command failed without a message (the log holds the command)"},
      {"Failed to copy [a] to [b]", "Failed to copy [a] to [b]"},
  };
  for (const Row& row : rows) EXPECT_EQ(GuestReason(row.line), row.reason) << row.line;

  ScopedTap scoped;
  EvDebug log;
  const uint64_t mark = scoped.tap->ErrorCount();
  log.Error("f", "%s", "Command failed Cmd [probe windows] Outout [] Err [bash: cmd: command not found]");
  log.Error("f", "%s", "Command failed Cmd [probe unix] Outout [] Err [zqplink.exe: cannot connect to 10.0.0.5]");
  log.Error("f", "Failed to initialise the guest channel");
  EXPECT_EQ(scoped.tap->ReasonSince(mark),
            "Failed to initialise the guest channel (zqplink.exe: cannot connect to 10.0.0.5)");
}

}  // namespace
