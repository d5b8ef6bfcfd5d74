// One writer for the lines zqrestore prints on standard error. It keeps an optional status line
// (the progress display) at the bottom: an ordinary line first clears it, then redraws it, so that
// log lines and progress never garble each other.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

// Text from a guest, a backup or a source as the operator's terminal may show it. Every name and
// reason zqrestore prints on a terminal goes through here; JSON output keeps names exact. Shown as
// \xNN: C0 controls, DEL, the bytes of a UTF-8 C1 control (such as the two-byte CSI) and every byte
// that is not part of valid UTF-8 (such as a lone 0x9b, which some terminals take as CSI). Shown as
// \u{NNNN}: the bidirectional controls (U+200E, U+200F, U+202A-U+202E, U+2066-U+2069), which would
// make a name read in an order other than its bytes'. A backslash that would read as the start of
// such an escape ("\x", "\u{") is doubled, so that every escape is unambiguous; any other backslash,
// as in a Windows path, is shown as it is. Ordinary UTF-8 text ("übersicht") is kept as it is.
std::string PrintableText(const std::string& text);

class TerminalLines {
 public:
  // `showStatus`: whether status lines are drawn at all (only on a terminal).
  TerminalLines(FILE* stream, bool showStatus);

  bool showsStatus() const { return m_showStatus; }

  // Writes one complete line above the status line.
  void WriteLine(const std::string& line);
  // Writes one complete line to `other` (standard output) with the status line out of its way.
  void WriteLineTo(FILE* other, const std::string& line);
  // Replaces the status line (which may be several lines, joined by '\n'); ignored when status
  // lines are not shown.
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
