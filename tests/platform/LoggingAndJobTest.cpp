#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "platform/CMediaSpeedCounter.h"
#include "platform/EvEvent.h"
#include "platform/ZQJobClient.h"
#include "support/TestSupport.h"

namespace {

using zqtest::ScopedLogCapture;
using zqtest::ScopedSettings;

TEST(Logging, DebugLevelThresholdFiltersDebugLinesButNeverErrors) {
  ScopedSettings settings;
  settings.Set("Log", "DebugLevel", "0");
  ScopedLogCapture capture;
  EvEvent log;
  log.DebugLvl("origin", 0, "level %d", 0);
  log.Debug("origin", "plain debug");
  log.DebugLvl("origin", 2, "level %d", 2);
  log.Error("origin", "error [%s]", "x");
  EXPECT_EQ(capture.sink().Texts(), (std::vector<std::string>{"level 0", "error [x]"}));
  EXPECT_EQ(capture.sink().Records()[1].level, LogLevel::Error);
  EXPECT_EQ(capture.sink().Records()[1].origin, "origin");
}

// Without a setting the log holds the operator's lines; a host can ask for the debug lines for
// one run (zqrestore -vv) and hand the choice back.
TEST(Logging, DefaultLevelIsForTheOperatorAndAHostMayRaiseItForARun) {
  ScopedSettings settings;
  settings.Erase("Log", "DebugLevel");
  ScopedLogCapture capture;
  EvEvent log;
  log.DebugLvl("origin", 0, "info");
  log.DebugLvl("origin", 1, "debug");
  SetDebugLevelOverride(2);
  log.DebugLvl("origin", 2, "detail");
  SetDebugLevelOverride(-1);
  log.DebugLvl("origin", 2, "detail again");
  EXPECT_EQ(capture.sink().Texts(), (std::vector<std::string>{"info", "detail"}));
}

// The installation's log is rotated once it reaches [Log] MaxSizeMiB, keeping [Log] Keep old
// files; in a folder other users may write, it is never renamed.
TEST(Logging, InstallationLogIsRotatedAtItsSizeKeepingItsCount) {
  zqtest::TempDir dir;
  ScopedSettings settings;
  settings.Set("Log", "Directory", dir.Join("logs"));
  settings.Set("Log", "MaxSizeMiB", "1");
  settings.Set("Log", "Keep", "2");
  SetLogSink(nullptr);
  EvEvent log;
  log.Error("origin", "first");
  const std::string file = dir.Join("logs/VSAgentlessRestoreToVM.log");
  const std::string justBelow(1024 * 1024 - 1 - zqtest::ReadFile(file).size(), 'x');
  zqtest::WriteFile(file, zqtest::ReadFile(file) + justBelow);
  log.Error("origin", "still in the first file");
  EXPECT_FALSE(std::filesystem::exists(file + ".1"));
  for (const char* round : {"second", "third", "fourth"}) {
    zqtest::WriteFile(file, std::string(1024 * 1024, 'y'));
    log.Error("origin", "%s", round);
    EXPECT_EQ(zqtest::ReadFile(file).find("yyy"), std::string::npos) << round;
  }
  EXPECT_TRUE(std::filesystem::exists(file + ".2"));
  EXPECT_FALSE(std::filesystem::exists(file + ".3")) << "only two old files are kept";
  // A folder others may write: the file grows instead.
  ASSERT_EQ(chmod(dir.Join("logs").c_str(), 01777), 0);
  zqtest::WriteFile(file, std::string(1024 * 1024, 'y'));
  log.Error("origin", "fifth");
  EXPECT_NE(zqtest::ReadFile(file).find("fifth"), std::string::npos);
  EXPECT_NE(zqtest::ReadFile(file).find("yyy"), std::string::npos) << "renamed in a shared folder";
  SetLogSink(nullptr);
}

TEST(Logging, FormattedLineCarriesLevelOriginAndText) {
  LogRecord record;
  record.level = LogLevel::Error;
  record.origin = "virtual bool C::F(const string&)";
  record.text = "Failed [x]";
  const std::string line = FormatLogLine(record);
  EXPECT_NE(line.find(" ERROR virtual bool C::F(const string&): Failed [x]"), std::string::npos) << line;
  // yyyy-mm-dd hh:mm:ss.mmm at the start
  ASSERT_GT(line.size(), 23u);
  EXPECT_EQ(line[4], '-');
  EXPECT_EQ(line[19], '.');
}

TEST(Logging, FileSinkWritesIntoTheConfiguredFolder) {
  zqtest::TempDir dir;
  ScopedSettings settings;
  settings.Set("Log", "Directory", dir.Join("logs"));
  SetLogSink(nullptr);  // the default file sink
  EvEvent log;
  log.Error("origin", "written to file");
  const std::string content = zqtest::ReadFile(dir.Join("logs/VSAgentlessRestoreToVM.log"));
  EXPECT_NE(content.find("origin: written to file\n"), std::string::npos) << content;
}

TEST(JobClient, PendingCauseCarriesTheArgumentsAddedBeforeItInOrder) {
  ScopedLogCapture capture;
  ZQRstJobClient client;
  client << "vm1" << "user1";
  client.setPendingCause(0x5B0000C3, nullptr, false, EvMessageTypeDefault, 0, 0, 0, false, JMGUIAlertColorNone,
                         JMPendingCauseNone, 0, 0);
  client << "second";
  client.setPendingCause(0x4800006A, nullptr, false, EvMessageTypeDefault, 0, 0, 0, false, JMGUIAlertColorNone,
                         JMPendingCauseNone, 0, 0);
  const auto causes = client.pendingCauses();
  ASSERT_EQ(causes.size(), 2u);
  EXPECT_EQ(causes[0].code, 0x5B0000C3);
  EXPECT_EQ(causes[0].arguments, (std::vector<std::string>{"vm1", "user1"}));
  EXPECT_EQ(causes[1].code, 0x4800006A);
  EXPECT_EQ(causes[1].arguments, (std::vector<std::string>{"second"}));
  EXPECT_TRUE(client.arguments().empty());
}

class ManualClock : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return now; }
  std::chrono::steady_clock::time_point now{};
};

TEST(SpeedCounter, MeasuresBytesAndTimeBetweenStartAndStop) {
  auto clock = std::make_shared<ManualClock>();
  auto previous = SetClock(clock);
  ScopedSettings settings;  // at debug level 2, where the counter writes its lines
  ScopedLogCapture capture;
  CMediaSpeedCounter counter(nullptr);
  counter.Reset();
  counter.EnableLogging();
  counter.Init("VM Write Speed", 42);
  counter.Start();
  clock->now += std::chrono::seconds(2);
  counter.Stop(4000);
  counter.Start();
  clock->now += std::chrono::seconds(2);
  counter.Stop(0);  // a failed copy still closes its interval
  SetClock(previous);
  EXPECT_EQ(counter.TotalBytes(), 4000u);
  EXPECT_DOUBLE_EQ(counter.TotalSeconds(), 4.0);
  EXPECT_DOUBLE_EQ(counter.BytesPerSecond(), 1000.0);
  EXPECT_EQ(counter.Intervals(), 2u);
  EXPECT_TRUE(capture.sink().AnyContains("VM Write Speed job [42]: [4000] bytes in [2.000] s"));
  counter.Reset();
  EXPECT_EQ(counter.TotalBytes(), 0u);
}

}  // namespace
