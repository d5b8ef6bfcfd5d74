#include "host/HostLogTap.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "host/TerminalLines.h"
#include "platform/CMediaSpeedCounterOrigins.h"
#include "platform/ProxyOutputFile.h"
#include "toolscontract/SshToolsContract.h"

namespace {

// The counter writes its lines from this function; its last line holds the job's totals.
constexpr const char* kCounterOrigin = CMediaSpeedCounterOrigins::kStopOrigin;
constexpr const char* kTotalMarker = "; total [";
constexpr size_t kRecentErrors = 32;
// The parts of the command channels' line for a failed command.
constexpr const char* kCommandFailedPrefix = "Command failed Cmd [";
constexpr const char* kOutputPart = "] Outout [";
constexpr const char* kErrorPart = "] Err [";
// The Unix channel's line for an entry whose owner a login other than root could not set.
constexpr const char* kOwnerNotSetPrefix = "Owner not set on [";
constexpr const char* kOwnerLoginPart = "]: login [";
constexpr const char* kOwnerNotSetEnd = "] is not root";

}  // namespace

bool ParseCounterLine(const LogRecord& record, CounterReading& reading) {
  if (record.origin != kCounterOrigin) return false;
  const size_t total = record.text.find(kTotalMarker);
  if (total == std::string::npos) return false;
  unsigned long long bytes = 0;
  double seconds = 0;
  double rate = 0;
  if (sscanf(record.text.c_str() + total, "; total [%llu] bytes in [%lf] s ([%lf] bytes/s)", &bytes, &seconds,
             &rate) != 3) {
    return false;
  }
  reading.seen = true;
  ++reading.intervals;
  reading.totalBytes = bytes;
  reading.totalSeconds = seconds;
  reading.bytesPerSecond = rate;
  return true;
}

std::string GuestReason(const std::string& errorText) {
  if (errorText.rfind(kCommandFailedPrefix, 0) != 0) return errorText;
  const std::string::size_type errorStart = errorText.rfind(kErrorPart);
  const std::string::size_type outputStart = errorText.rfind(kOutputPart, errorStart);
  if (errorStart == std::string::npos || outputStart == std::string::npos || errorText.back() != ']') {
    return errorText;
  }
  auto lastLine = [](std::string text) {
    boost::algorithm::trim_right(text);
    const std::string::size_type lineStart = text.find_last_of('\n');
    std::string line = lineStart == std::string::npos ? text : text.substr(lineStart + 1);
    boost::algorithm::trim(line);
    return line;
  };
  const size_t errorBegin = errorStart + std::strlen(kErrorPart);
  std::string reason = lastLine(errorText.substr(errorBegin, errorText.size() - 1 - errorBegin));
  if (reason.empty()) {
    const size_t outputBegin = outputStart + std::strlen(kOutputPart);
    reason = lastLine(errorText.substr(outputBegin, errorStart - outputBegin));
  }
  return reason.empty() ? "a guest command failed without a message (the log holds the command)" : reason;
}

bool ParseOwnerNotSetLine(const std::string& text, std::string& login) {
  if (text.rfind(kOwnerNotSetPrefix, 0) != 0 || !boost::algorithm::ends_with(text, kOwnerNotSetEnd)) return false;
  // The path may hold anything, the login no "]": the login part is the last one.
  const std::string::size_type loginPart = text.rfind(kOwnerLoginPart);
  const size_t loginStart = loginPart + std::strlen(kOwnerLoginPart);
  const size_t loginEnd = text.size() - std::strlen(kOwnerNotSetEnd);
  if (loginPart == std::string::npos || loginPart < std::strlen(kOwnerNotSetPrefix) || loginStart > loginEnd) {
    return false;
  }
  login = text.substr(loginStart, loginEnd - loginStart);
  return true;
}

HostLogTap::HostLogTap(std::vector<std::shared_ptr<LogSink>> downstream) : m_downstream(std::move(downstream)) {}

void HostLogTap::Write(const LogRecord& record) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (record.level == LogLevel::Error) {
      ++m_errors;
      m_recentErrors.push_back(record.text);
      if (m_recentErrors.size() > kRecentErrors) m_recentErrors.pop_front();
    }
    ParseCounterLine(record, m_counter);
    if (record.level != LogLevel::Error && ParseOwnerNotSetLine(record.text, m_ownerLogin)) ++m_ownerNotSet;
    const size_t sessionsOff = record.text.find(SshToolsContract::kSessionsOffLogText);
    if (sessionsOff != std::string::npos && m_sessionsOff.empty()) {
      m_sessionsOff = record.text.substr(sessionsOff + std::strlen(SshToolsContract::kSessionsOffLogText));
    }
  }
  for (const std::shared_ptr<LogSink>& sink : m_downstream) {
    if (sink) sink->Write(record);
  }
}

std::string HostLogTap::SessionsOff() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_sessionsOff;
}

uint64_t HostLogTap::ErrorCount() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_errors;
}

std::vector<std::string> HostLogTap::ErrorsSince(uint64_t mark) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  const uint64_t wanted = m_errors > mark ? m_errors - mark : 0;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(wanted, m_recentErrors.size()));
  return std::vector<std::string>(m_recentErrors.end() - static_cast<std::ptrdiff_t>(count), m_recentErrors.end());
}

std::string HostLogTap::ReasonSince(uint64_t mark) const {
  const std::vector<std::string> errors = ErrorsSince(mark);
  if (errors.empty()) return "";
  const std::string what = GuestReason(errors.back());
  std::string why = errors.front();
  for (auto error = errors.rbegin(); error != errors.rend(); ++error) {
    if (error->rfind(kCommandFailedPrefix, 0) == 0) {
      why = GuestReason(*error);
      break;
    }
  }
  if (why.empty() || why == what || errors.size() == 1) return what;
  return what + " (" + why + ")";
}

CounterReading HostLogTap::Counter() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_counter;
}

TerminalLogSink::TerminalLogSink(std::shared_ptr<TerminalLines> terminal, std::shared_ptr<const SecretMask> mask)
    : m_terminal(std::move(terminal)), m_mask(std::move(mask)) {}

// A log line holds guest output and names as they came; on a terminal it is shown escaped.
void TerminalLogSink::Write(const LogRecord& record) {
  const std::string line = FormatLogLine(record);
  m_terminal->WriteLine(PrintableText(m_mask ? m_mask->Apply(line) : line));
}

bool AppendFileLogSink::Open(const std::string& path, std::string& error) {
  const int fd = ProxyOutputFile::OpenForAppend(path, error);
  if (fd < 0) return false;
  m_file = fdopen(fd, "a");
  if (m_file == nullptr) {
    error = "cannot write " + path + ": " + strerror(errno);
    ::close(fd);
    return false;
  }
  return true;
}

AppendFileLogSink::~AppendFileLogSink() {
  if (m_file != nullptr) fclose(m_file);
}

void AppendFileLogSink::Write(const LogRecord& record) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_file == nullptr) return;
  fprintf(m_file, "%s\n", FormatLogLine(record).c_str());
  fflush(m_file);
}

uint64_t HostLogTap::OwnerNotSetCount() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_ownerNotSet;
}

std::string HostLogTap::OwnerNotSetLogin() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_ownerLogin;
}
