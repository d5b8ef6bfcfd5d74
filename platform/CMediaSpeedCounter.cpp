#include "platform/CMediaSpeedCounter.h"

#include <mutex>

#include "platform/CMediaSpeedCounterOrigins.h"

using namespace CMediaSpeedCounterOrigins;

namespace {

class SteadyClock : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return std::chrono::steady_clock::now(); }
};

std::mutex g_clockMutex;
std::shared_ptr<Clock>& ClockSlot() {
  static std::shared_ptr<Clock> clock = std::make_shared<SteadyClock>();
  return clock;
}

}  // namespace

std::shared_ptr<Clock> SetClock(std::shared_ptr<Clock> clock) {
  std::lock_guard<std::mutex> guard(g_clockMutex);
  if (!clock) clock = std::make_shared<SteadyClock>();
  std::shared_ptr<Clock> previous = ClockSlot();
  ClockSlot() = std::move(clock);
  return previous;
}

std::shared_ptr<Clock> CurrentClock() {
  std::lock_guard<std::mutex> guard(g_clockMutex);
  return ClockSlot();
}

void CCounterBase::Init(const char* name, unsigned long long jobId) {
  m_name = name != nullptr ? name : "";
  m_jobId = jobId;
}

CMediaSpeedCounter::CMediaSpeedCounter(EvDebug* log) : m_externalLog(log) {}

void CMediaSpeedCounter::Reset() {
  m_running = false;
  m_totalBytes = 0;
  m_totalSeconds = 0;
  m_intervals = 0;
}

void CMediaSpeedCounter::Start() {
  m_startedAt = CurrentClock()->Now();
  m_running = true;
}

void CMediaSpeedCounter::Stop(unsigned long long bytes) {
  double seconds = 0;
  if (m_running) {
    seconds = std::chrono::duration<double>(CurrentClock()->Now() - m_startedAt).count();
    if (seconds < 0) seconds = 0;
  }
  m_running = false;
  m_totalBytes += bytes;
  m_totalSeconds += seconds;
  ++m_intervals;
  if (!LoggingEnabled()) return;
  EvDebug& log = m_externalLog != nullptr ? *m_externalLog : m_ownLog;
  const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  log.DebugLvl(kStopOrigin, 2, "%s job [%llu]: [%llu] bytes in [%.3f] s ([%.0f] bytes/s); total [%llu] bytes in [%.3f] s ([%.0f] bytes/s)",
               Name().c_str(), JobId(), bytes, seconds, rate, m_totalBytes, m_totalSeconds, BytesPerSecond());
}

double CMediaSpeedCounter::BytesPerSecond() const {
  return m_totalSeconds > 0 ? static_cast<double>(m_totalBytes) / m_totalSeconds : 0;
}
