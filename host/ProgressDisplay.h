// The progress line zqrestore keeps on a terminal while entries are restored: entries and bytes
// done, throughput and an estimate of the time left.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/RestoreJob.h"

class TerminalLines;

struct ProgressSnapshot {
  uint64_t entriesDone = 0;
  uint64_t entriesTotal = 0;
  uint64_t bytesDone = 0;  // of restored and kept files
  uint64_t bytesInFlight = 0;  // of the file being copied, as far as its copy has read it
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

// While entries are restored a ticker redraws the line every kTickInterval, with how far the copy
// of the file in flight has read it (InFlightBytes.h), so the line moves during a long copy too.
class ProgressDisplay : public RestoreProgress {
 public:
  explicit ProgressDisplay(std::shared_ptr<TerminalLines> terminal);
  ~ProgressDisplay() override;
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  void EntriesStarting(const SourceTree& tree) override;
  void FileCopyStarting(const std::string& stagedPath, uint64_t size) override;
  void EntryDone(const RestoreCounts& counts) override;
  void EntriesFinished() override;
  // The entry now in flight, shown at the end of the line.
  void EntryStarting(const std::string& relativePath);

 private:
  std::shared_ptr<TerminalLines> m_terminal;
  std::mutex m_mutex;  // the snapshot and the file in flight, shared with the ticker
  ProgressSnapshot m_snapshot;
  bool m_inFlight = false;  // a staged file is being copied: this one, of this size
  dev_t m_inFlightDevice = 0;
  ino_t m_inFlightInode = 0;
  uint64_t m_inFlightSize = 0;
  uint64_t m_copiesDone = 0;  // tells the ticker that the copy it measured has ended
  std::chrono::steady_clock::time_point m_started;
  std::chrono::steady_clock::time_point m_lastDrawn;
  std::thread m_ticker;
  std::condition_variable m_tickerWake;
  bool m_tickerStops = false;

  void RedrawLocked(bool evenIfRecent);
  void Tick();
  void StopTicker();
};

constexpr std::chrono::milliseconds kTickInterval(500);
