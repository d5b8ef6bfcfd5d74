// The progress line zqrestore keeps on a terminal while entries are restored: entries and bytes
// done, throughput and an estimate of the time left.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "host/RestoreJob.h"

class TerminalLines;

struct ProgressSnapshot {
  uint64_t entriesDone = 0;
  uint64_t entriesTotal = 0;
  uint64_t bytesDone = 0;  // of restored and kept files
  uint64_t bytesTotal = 0;
  double elapsedSeconds = 0;
  std::string currentEntry;  // the entry in flight, relative to the source; may be empty
};

// Seconds left, from the pace so far. Each entry is weighted as if it carried kEntryWeightBytes on
// top of its size, because every entry costs guest round trips however small it is. Negative when
// nothing can be said yet.
double EstimateSecondsLeft(const ProgressSnapshot& snapshot);
constexpr uint64_t kEntryWeightBytes = 64 * 1024;

// "  120/2000 entries  4.0 MiB of 20.0 MiB  1.2 MiB/s  14.0 s left  docs/readme.md"; an entry
// path longer than kEntryShown characters is shown by its last ones, after "...".
std::string FormatProgressLine(const ProgressSnapshot& snapshot);
constexpr size_t kEntryShown = 40;

class ProgressDisplay : public RestoreProgress {
 public:
  explicit ProgressDisplay(std::shared_ptr<TerminalLines> terminal);

  void EntriesStarting(const SourceTree& tree) override;
  void EntryDone(const RestoreCounts& counts) override;
  void EntriesFinished() override;
  // The entry now in flight, shown at the end of the line.
  void EntryStarting(const std::string& relativePath);

 private:
  std::shared_ptr<TerminalLines> m_terminal;
  ProgressSnapshot m_snapshot;
  std::chrono::steady_clock::time_point m_started;
  std::chrono::steady_clock::time_point m_lastDrawn;

  void Redraw(bool evenIfRecent);
};
