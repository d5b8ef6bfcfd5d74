#include <gtest/gtest.h>

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
