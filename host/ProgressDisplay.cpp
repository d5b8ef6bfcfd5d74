#include "host/ProgressDisplay.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "host/HumanUnits.h"
#include "host/InFlightBytes.h"
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
  const double done = static_cast<double>(snapshot.bytesDone + snapshot.bytesInFlight) +
                      static_cast<double>(snapshot.entriesDone) * static_cast<double>(kEntryWeightBytes);
  if (done <= 0 || total <= 0 || snapshot.elapsedSeconds <= 0) return -1;
  if (done >= total) return 0;
  return snapshot.elapsedSeconds * (total - done) / done;
}

std::string FormatProgressLine(const ProgressSnapshot& snapshot) {
  const uint64_t bytes = snapshot.bytesDone + snapshot.bytesInFlight;
  const double rate = snapshot.elapsedSeconds > 0 ? static_cast<double>(bytes) / snapshot.elapsedSeconds : 0;
  const double left = EstimateSecondsLeft(snapshot);
  return "  " + std::to_string(snapshot.entriesDone) + "/" + std::to_string(snapshot.entriesTotal) + " entries  " +
         FormatBytes(bytes) + " of " + FormatBytes(snapshot.bytesTotal) + "  " + FormatRate(rate) +
         "  " + (left < 0 ? std::string("-") : FormatDuration(left)) + " left" + ShownEntry(snapshot.currentEntry);
}

ProgressDisplay::ProgressDisplay(std::shared_ptr<TerminalLines> terminal) : m_terminal(std::move(terminal)) {}

ProgressDisplay::~ProgressDisplay() { StopTicker(); }

void ProgressDisplay::EntriesStarting(const SourceTree& tree) {
  StopTicker();
  std::lock_guard<std::mutex> guard(m_mutex);
  m_snapshot = ProgressSnapshot();
  m_snapshot.entriesTotal = tree.entries.size();
  m_snapshot.bytesTotal = tree.restorableBytes;
  m_inFlight = false;
  m_started = CurrentClock()->Now();
  m_lastDrawn = m_started;
  m_terminal->SetStatus(FormatProgressLine(m_snapshot));
  m_tickerStops = false;
  m_ticker = std::thread(&ProgressDisplay::Tick, this);
}

void ProgressDisplay::FileCopyStarting(const std::string& stagedPath, uint64_t size) {
  struct stat info {};
  const bool known = ::stat(stagedPath.c_str(), &info) == 0;
  std::lock_guard<std::mutex> guard(m_mutex);
  m_inFlight = known;
  m_inFlightDevice = info.st_dev;
  m_inFlightInode = info.st_ino;
  m_inFlightSize = size;
  m_snapshot.bytesInFlight = 0;
}

void ProgressDisplay::EntryDone(const RestoreCounts& counts) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_inFlight = false;
  ++m_copiesDone;
  m_snapshot.bytesInFlight = 0;
  m_snapshot.entriesDone = counts.EntriesDone();
  m_snapshot.bytesDone = counts.bytesRestored + counts.bytesKept;
  RedrawLocked(false);
}

void ProgressDisplay::EntryStarting(const std::string& relativePath) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_snapshot.currentEntry = relativePath;
  RedrawLocked(false);
}

void ProgressDisplay::RedrawLocked(bool evenIfRecent) {
  const auto now = CurrentClock()->Now();
  if (!evenIfRecent && now - m_lastDrawn < kRedrawInterval) return;
  m_lastDrawn = now;
  m_snapshot.elapsedSeconds = std::chrono::duration<double>(now - m_started).count();
  m_terminal->SetStatus(FormatProgressLine(m_snapshot));
}

void ProgressDisplay::Tick() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_tickerWake.wait_for(lock, kTickInterval, [this] { return m_tickerStops; })) {
    if (m_inFlight) {
      const uint64_t copy = m_copiesDone;
      const dev_t device = m_inFlightDevice;
      const ino_t inode = m_inFlightInode;
      const uint64_t size = m_inFlightSize;
      // /proc is read without the lock, so the job is never held up by the display.
      lock.unlock();
      const uint64_t read = std::min(BytesReadOf(device, inode, getpid()), size);
      lock.lock();
      if (m_tickerStops) break;
      if (m_inFlight && m_copiesDone == copy) m_snapshot.bytesInFlight = read;
    }
    RedrawLocked(true);
  }
}

void ProgressDisplay::StopTicker() {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_tickerStops = true;
  }
  m_tickerWake.notify_all();
  if (m_ticker.joinable()) m_ticker.join();
}

void ProgressDisplay::EntriesFinished() {
  StopTicker();
  m_terminal->ClearStatus();
}
