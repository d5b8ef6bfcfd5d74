// One writer for the lines zqrestore prints on standard error. It keeps an optional status line
// (the progress display) at the bottom: an ordinary line first clears it, then redraws it, so that
// log lines and progress never garble each other.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

class TerminalLines {
 public:
  // `showStatus`: whether status lines are drawn at all (only on a terminal).
  TerminalLines(FILE* stream, bool showStatus);

  bool showsStatus() const { return m_showStatus; }

  // Writes one complete line above the status line.
  void WriteLine(const std::string& line);
  // Writes one complete line to `other` (standard output) with the status line out of its way.
  void WriteLineTo(FILE* other, const std::string& line);
  // Replaces the status line; ignored when status lines are not shown.
  void SetStatus(const std::string& status);
  // Removes the status line for good (before the summary is printed).
  void ClearStatus();

 private:
  void EraseStatusLocked();

  FILE* m_stream;
  bool m_showStatus;
  std::mutex m_mutex;
  std::string m_status;
};
