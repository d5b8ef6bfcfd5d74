#include "platform/EvEvent.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>

#include "platform/ZQPlatformInfo.h"

namespace {

constexpr const char* kLogFileName = "VSAgentlessRestoreToVM.log";
constexpr long long kDefaultDebugLevel = 2;

// Appends each line to <"Log"/"Directory">/VSAgentlessRestoreToVM.log; without that setting the
// lines go to standard error, so nothing is lost on an unconfigured machine.
class FileLogSink : public LogSink {
 public:
  void Write(const LogRecord& record) override {
    const std::string line = FormatLogLine(record) + "\n";
    std::string directory;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!ZQPlatformInfo::getString("Log", "Directory", &directory) || directory.empty()) {
      fputs(line.c_str(), stderr);
      return;
    }
    mkdir(directory.c_str(), 0700);
    FILE* file = fopen((directory + "/" + kLogFileName).c_str(), "ae");
    if (file == nullptr) {
      fputs(line.c_str(), stderr);
      return;
    }
    fputs(line.c_str(), file);
    fclose(file);
  }

 private:
  std::mutex m_mutex;
};

std::mutex g_sinkMutex;
std::shared_ptr<LogSink>& SinkSlot() {
  static std::shared_ptr<LogSink> sink = std::make_shared<FileLogSink>();
  return sink;
}

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Error:
      return "ERROR";
    case LogLevel::Level0:
      return "DBG0";
    case LogLevel::Level1:
      return "DBG1";
    case LogLevel::Level2:
      return "DBG2";
  }
  return "DBG";
}

long long ConfiguredDebugLevel() {
  long long level = kDefaultDebugLevel;
  ZQPlatformInfo::getInteger("Log", "DebugLevel", &level);
  return level;
}

std::string FormatMessage(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) return format;
  std::string text(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

}  // namespace

std::shared_ptr<LogSink> SetLogSink(std::shared_ptr<LogSink> sink) {
  std::lock_guard<std::mutex> guard(g_sinkMutex);
  if (!sink) sink = std::make_shared<FileLogSink>();
  std::shared_ptr<LogSink> previous = SinkSlot();
  SinkSlot() = std::move(sink);
  return previous;
}

std::shared_ptr<LogSink> CurrentLogSink() {
  std::lock_guard<std::mutex> guard(g_sinkMutex);
  return SinkSlot();
}

std::string FormatLogLine(const LogRecord& record) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[64];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[160];
  snprintf(prefix, sizeof prefix, "%s.%03ld %d %ld %s ", stamp, static_cast<long>(now.tv_usec / 1000),
           static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)), LevelName(record.level));
  return std::string(prefix) + record.origin + ": " + record.text;
}

void EvDebug::Debug(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(LogLevel::Level1, function, format, args);
  va_end(args);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(level <= 0 ? LogLevel::Level0 : (level == 1 ? LogLevel::Level1 : LogLevel::Level2), function, format, args);
  va_end(args);
}

void EvDebug::Error(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(LogLevel::Error, function, format, args);
  va_end(args);
}

void EvDebug::Emit(LogLevel level, const char* function, const char* format, va_list args) {
  if (level != LogLevel::Error && static_cast<long long>(level) > ConfiguredDebugLevel()) return;
  LogRecord record;
  record.level = level;
  record.origin = function != nullptr ? function : "";
  record.text = FormatMessage(format != nullptr ? format : "", args);
  CurrentLogSink()->Write(record);
}

void EvEvent::addArgument(const void* value, int type) {
  if (type != kArgumentText) return;
  m_arguments.emplace_back(value != nullptr ? static_cast<const char*>(value) : "");
}

std::vector<std::string> EvEvent::TakeArguments() {
  std::vector<std::string> taken;
  taken.swap(m_arguments);
  return taken;
}
