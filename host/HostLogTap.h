// The host's log sink: passes every log line of the process on to where the user wants it (the
// terminal, a file, the installation's log) and remembers what the host itself needs from them:
// the last error line (the reason behind a failed entry or a refused job), the totals of the
// plug-in's throughput counter, which lives inside the plug-in and is visible only in its log, and
// the Unix channel's note that a login other than root could not set an entry's owner.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/SecretMask.h"
#include "platform/EvEvent.h"

class TerminalLines;

// The plug-in's throughput counter as its last log line reported it.
struct CounterReading {
  bool seen = false;
  uint64_t intervals = 0;  // counter lines seen (one per file copy)
  uint64_t totalBytes = 0;
  double totalSeconds = 0;
  double bytesPerSecond = 0;
};

// Reads the job totals out of one line of the throughput counter; false for any other line.
bool ParseCounterLine(const LogRecord& record, CounterReading& reading);

// The guest's own words in the log line of a failed guest command ("Command failed Cmd [...]
// Outout [...] Err [...]"): the last non-empty line the command wrote on standard error, else on
// standard output. Any other line comes back as it is; the command itself stays in the log.
std::string GuestReason(const std::string& errorText);

// The login named by the Unix channel's line "Owner not set on [PATH]: login [LOGIN] is not root",
// which it writes when the guest applied an entry's mode and times but not its owner; false for
// any other line.
bool ParseOwnerNotSetLine(const std::string& text, std::string& login);

class HostLogTap : public LogSink {
 public:
  // Every line goes to each of `downstream` in turn (none: the lines are only tapped).
  explicit HostLogTap(std::vector<std::shared_ptr<LogSink>> downstream);

  void Write(const LogRecord& record) override;

  // Number of error lines so far; a mark for LastErrorSince.
  uint64_t ErrorCount() const;
  // The texts of the error lines written after ErrorCount() returned `mark`, oldest first; only
  // the most recent ones are kept.
  std::vector<std::string> ErrorsSince(uint64_t mark) const;
  // One reason for what failed since `mark`: the last error line says what failed, and the guest's
  // own words from the last failed guest command (or else the first error line) say why; empty
  // when nothing failed.
  std::string ReasonSince(uint64_t mark) const;
  CounterReading Counter() const;
  // Number of "owner not set" lines so far (a mark, as ErrorCount), and the login the last one named.
  uint64_t OwnerNotSetCount() const;
  // The tools' word that guest sessions and connection reuse were off, with its reason; empty when
  // they never said so.
  std::string SessionsOff() const;
  std::string OwnerNotSetLogin() const;

 private:
  std::vector<std::shared_ptr<LogSink>> m_downstream;
  mutable std::mutex m_mutex;
  uint64_t m_errors = 0;
  std::deque<std::string> m_recentErrors;  // the last kRecentErrors error texts
  CounterReading m_counter;
  uint64_t m_ownerNotSet = 0;
  std::string m_sessionsOff;
  std::string m_ownerLogin;
};

// Writes each line, rendered as in the log file, to the terminal as it is written (--verbose).
class TerminalLogSink : public LogSink {
 public:
  // The plug-in masks its own lines by substring; `mask` (may be null) masks them once more as
  // zqrestore masks every other text of the plug-in, so no line reaches the terminal unmasked.
  TerminalLogSink(std::shared_ptr<TerminalLines> terminal, std::shared_ptr<const SecretMask> mask);
  void Write(const LogRecord& record) override;

 private:
  std::shared_ptr<TerminalLines> m_terminal;
  std::shared_ptr<const SecretMask> m_mask;
};

// Appends each rendered line to a file (--log).
class AppendFileLogSink : public LogSink {
 public:
  // False with `error` when the file cannot be opened for appending or is refused, as
  // ProxyOutputFile::OpenForAppend refuses a link, another user's file or an open folder.
  bool Open(const std::string& path, std::string& error);
  ~AppendFileLogSink() override;
  void Write(const LogRecord& record) override;

 private:
  std::mutex m_mutex;
  FILE* m_file = nullptr;
};
