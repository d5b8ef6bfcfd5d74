// Log object of the host framework: every log line of the library goes through EvDebug.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#define ZQ_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

enum class LogLevel { Error = -1, Level0 = 0, Level1 = 1, Level2 = 2 };

// One written log line, before it is rendered as text.
struct LogRecord {
  LogLevel level = LogLevel::Level1;
  std::string origin;  // full signature of the writing function
  std::string text;    // the formatted message
};

// Where log lines go. The default sink appends to a file in the folder named by the
// settings ("Log"/"Directory"); tests install an in-process sink to read the lines.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Write(const LogRecord& record) = 0;
};

// The installation's log file, <[Log] Directory>/VSAgentlessRestoreToVM.log, or empty when the
// settings name no log folder.
std::string InstallationLogFile();
// Opens the installation's log file for appending as ProxyOutputFile::OpenForAppend does, making a
// missing log folder with mode 0700. Returns the descriptor, which the caller closes, or -1 with
// `error` naming the setting, the file and why it was refused.
int OpenInstallationLog(std::string& error);

// The debug level in force: [Log] DebugLevel (0, lines for the operator, by default), or the level
// a host set for this run (zqrestore -vv). Error lines are written at every level.
long long ConfiguredDebugLevel();
// Sets the level for the rest of this process, above the settings; a negative level hands the
// choice back to the settings.
void SetDebugLevelOverride(long long level);

// Installs `sink` as the process-wide log sink and returns the one it replaced.
// A null sink restores the default file sink.
std::shared_ptr<LogSink> SetLogSink(std::shared_ptr<LogSink> sink);
std::shared_ptr<LogSink> CurrentLogSink();

// Renders a record as one line: time with milliseconds, process and thread id, level, origin, text.
std::string FormatLogLine(const LogRecord& record);

class EvDebug {
 public:
  EvDebug() = default;
  virtual ~EvDebug() = default;

  // Debug lines are written at level 1; DebugLvl lines at the given level. A line is written
  // when its level is at most the debug level of the settings ("Log"/"DebugLevel", default 2).
  void Debug(const char* function, const char* format, ...) ZQ_PRINTF_FORMAT(3, 4);
  void DebugLvl(const char* function, int level, const char* format, ...) ZQ_PRINTF_FORMAT(4, 5);
  // Error lines are always written.
  void Error(const char* function, const char* format, ...) ZQ_PRINTF_FORMAT(3, 4);

 private:
  void Emit(LogLevel level, const char* function, const char* format, va_list args);
};

// A log object that can also carry text arguments for the next job event.
class EvEvent : public EvDebug {
 public:
  static constexpr int kArgumentText = 11;  // a NUL-terminated text

  // Appends an argument; only texts (type 11) are understood, other types are ignored.
  void addArgument(const void* value, int type);
  const std::vector<std::string>& arguments() const { return m_arguments; }

 protected:
  std::vector<std::string> TakeArguments();

 private:
  std::vector<std::string> m_arguments;
};
