#include "host/ProgressDisplay.h"

#include "host/HumanUnits.h"
#include "host/TerminalLines.h"
#include "platform/CMediaSpeedCounter.h"

namespace {

// A terminal redrawn more often than this only flickers.
constexpr std::chrono::milliseconds kRedrawInterval(100);

// The entry in flight as the line shows it: escaped as every printed name is (a name may hold a
// line break or a terminal control), and a long path keeps its end.
std::string ShownEntry(const std::string& name) {
  if (name.empty()) return "";
  const std::string path = PrintableText(name);
  if (path.size() <= kEntryShown) return "  " + path;
  // Cut at a character boundary of UTF-8 text.
  size_t start = path.size() - (kEntryShown - 3);
  while (start < path.size() && (static_cast<unsigned char>(path[start]) & 0xC0) == 0x80) ++start;
  return "  ..." + path.substr(start);
}

}  // namespace

double EstimateSecondsLeft(const ProgressSnapshot& snapshot) {
  const double total = static_cast<double>(snapshot.bytesTotal) +
                       static_cast<double>(snapshot.entriesTotal) * static_cast<double>(kEntryWeightBytes);
  const double done = static_cast<double>(snapshot.bytesDone) +
                      static_cast<double>(snapshot.entriesDone) * static_cast<double>(kEntryWeightBytes);
  if (done <= 0 || total <= 0 || snapshot.elapsedSeconds <= 0) return -1;
  if (done >= total) return 0;
  return snapshot.elapsedSeconds * (total - done) / done;
}

std::string FormatProgressLine(const ProgressSnapshot& snapshot) {
  const double rate =
      snapshot.elapsedSeconds > 0 ? static_cast<double>(snapshot.bytesDone) / snapshot.elapsedSeconds : 0;
  const double left = EstimateSecondsLeft(snapshot);
  return "  " + std::to_string(snapshot.entriesDone) + "/" + std::to_string(snapshot.entriesTotal) + " entries  " +
         FormatBytes(snapshot.bytesDone) + " of " + FormatBytes(snapshot.bytesTotal) + "  " + FormatRate(rate) +
         "  " + (left < 0 ? std::string("-") : FormatDuration(left)) + " left" + ShownEntry(snapshot.currentEntry);
}

ProgressDisplay::ProgressDisplay(std::shared_ptr<TerminalLines> terminal) : m_terminal(std::move(terminal)) {}

void ProgressDisplay::EntriesStarting(const SourceTree& tree) {
  m_snapshot = ProgressSnapshot();
  m_snapshot.entriesTotal = tree.entries.size();
  m_snapshot.bytesTotal = tree.restorableBytes;
  m_started = CurrentClock()->Now();
  m_lastDrawn = m_started;
  m_terminal->SetStatus(FormatProgressLine(m_snapshot));
}

void ProgressDisplay::EntryDone(const RestoreCounts& counts) {
  m_snapshot.entriesDone = counts.EntriesDone();
  m_snapshot.bytesDone = counts.bytesRestored + counts.bytesKept;
  Redraw(false);
}

void ProgressDisplay::EntryStarting(const std::string& relativePath) {
  m_snapshot.currentEntry = relativePath;
  Redraw(false);
}

void ProgressDisplay::Redraw(bool evenIfRecent) {
  const auto now = CurrentClock()->Now();
  if (!evenIfRecent && now - m_lastDrawn < kRedrawInterval) return;
  m_lastDrawn = now;
  m_snapshot.elapsedSeconds = std::chrono::duration<double>(now - m_started).count();
  m_terminal->SetStatus(FormatProgressLine(m_snapshot));
}

void ProgressDisplay::EntriesFinished() { m_terminal->ClearStatus(); }
