#include "host/TerminalLines.h"

namespace {
// Carriage return, then "erase to end of line".
constexpr const char* kEraseLine = "\r\033[K";
}  // namespace

TerminalLines::TerminalLines(FILE* stream, bool showStatus) : m_stream(stream), m_showStatus(showStatus) {}

void TerminalLines::EraseStatusLocked() {
  if (!m_status.empty()) fputs(kEraseLine, m_stream);
}

void TerminalLines::WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> guard(m_mutex);
  EraseStatusLocked();
  fputs(line.c_str(), m_stream);
  fputc('\n', m_stream);
  if (!m_status.empty()) fputs(m_status.c_str(), m_stream);
  fflush(m_stream);
}

void TerminalLines::WriteLineTo(FILE* other, const std::string& line) {
  std::lock_guard<std::mutex> guard(m_mutex);
  EraseStatusLocked();
  fflush(m_stream);
  fputs(line.c_str(), other);
  fputc('\n', other);
  fflush(other);
  if (!m_status.empty()) fputs(m_status.c_str(), m_stream);
  fflush(m_stream);
}

void TerminalLines::SetStatus(const std::string& status) {
  if (!m_showStatus) return;
  std::lock_guard<std::mutex> guard(m_mutex);
  EraseStatusLocked();
  m_status = status;
  fputs(m_status.c_str(), m_stream);
  fflush(m_stream);
}

void TerminalLines::ClearStatus() {
  std::lock_guard<std::mutex> guard(m_mutex);
  EraseStatusLocked();
  m_status.clear();
  fflush(m_stream);
}
