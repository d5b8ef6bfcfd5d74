#include "platform/EvEvent.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <atomic>
#include <mutex>

#include "platform/ProxyOutputFile.h"
#include "platform/ZQPlatformInfo.h"

namespace {

constexpr const char* kLogFileName = "VSAgentlessRestoreToVM.log";
constexpr long long kDefaultDebugLevel = 0;
// A log file larger than this is rotated, and this many rotated files are kept beside it, unless
// [Log] MaxSizeMiB and [Log] Keep say otherwise.
constexpr long long kDefaultMaxSizeMiB = 10;
constexpr long long kDefaultKeep = 5;
std::atomic<long long> g_levelOverride{-1};

bool WriteAllTo(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

// Appends each line to the installation's log file; without a log folder in the settings, or when
// the file is refused, the lines go to standard error, so nothing is lost. A refusal is said once.
class FileLogSink : public LogSink {
 public:
  void Write(const LogRecord& record) override {
    const std::string line = FormatLogLine(record) + "\n";
    std::lock_guard<std::mutex> guard(m_mutex);
    if (InstallationLogFile().empty()) {
      fputs(line.c_str(), stderr);
      return;
    }
    std::string error;
    const int fd = OpenInstallationLog(error);
    if (fd < 0) {
      if (!m_refusalSaid) fprintf(stderr, "log file not written, lines go to standard error: %s\n", error.c_str());
      m_refusalSaid = true;
      fputs(line.c_str(), stderr);
      return;
    }
    if (!WriteAllTo(fd, line)) fputs(line.c_str(), stderr);
    ::close(fd);
  }

 private:
  std::mutex m_mutex;
  bool m_refusalSaid = false;
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

ProxyOutputFile::Rotation InstallationLogRotation() {
  long long maxSizeMiB = kDefaultMaxSizeMiB;
  long long keep = kDefaultKeep;
  ZQPlatformInfo::getInteger("Log", "MaxSizeMiB", &maxSizeMiB);
  ZQPlatformInfo::getInteger("Log", "Keep", &keep);
  ProxyOutputFile::Rotation rotation;
  if (maxSizeMiB > 0 && maxSizeMiB <= (1LL << 20)) rotation.atBytes = static_cast<unsigned long long>(maxSizeMiB) << 20;
  rotation.keep = static_cast<int>(keep < 0 ? 0 : (keep > 100 ? 100 : keep));
  return rotation;
}

}  // namespace

long long ConfiguredDebugLevel() {
  const long long override = g_levelOverride.load();
  if (override >= 0) return override;
  long long level = kDefaultDebugLevel;
  ZQPlatformInfo::getInteger("Log", "DebugLevel", &level);
  return level;
}

void SetDebugLevelOverride(long long level) { g_levelOverride.store(level); }

std::string InstallationLogFile() {
  std::string directory;
  if (!ZQPlatformInfo::getString("Log", "Directory", &directory) || directory.empty()) return "";
  return directory + "/" + kLogFileName;
}

int OpenInstallationLog(std::string& error) {
  std::string directory;
  if (!ZQPlatformInfo::getString("Log", "Directory", &directory) || directory.empty()) {
    error = "the settings name no log folder ([Log] Directory)";
    return -1;
  }
  // A missing folder is made private; an existing one is checked as it is when the file is opened.
  ::mkdir(directory.c_str(), 0700);
  const int fd = ProxyOutputFile::OpenForAppend(directory + "/" + kLogFileName, InstallationLogRotation(), error);
  if (fd < 0) error = "[Log] Directory: " + error;
  return fd;
}

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
