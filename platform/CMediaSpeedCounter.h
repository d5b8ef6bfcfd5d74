// Throughput counter of the host framework: bytes and time between Start and Stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/EvEvent.h"

// Monotonic clock seam, so that tests can drive the counter with chosen times.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::steady_clock::time_point Now() const = 0;
};
std::shared_ptr<Clock> SetClock(std::shared_ptr<Clock> clock);  // null restores the real clock
std::shared_ptr<Clock> CurrentClock();

class CCounterBase {
 public:
  virtual ~CCounterBase() = default;
  void EnableLogging() { m_logging = true; }
  void Init(const char* name, unsigned long long jobId);
  const std::string& Name() const { return m_name; }
  unsigned long long JobId() const { return m_jobId; }
  bool LoggingEnabled() const { return m_logging; }

 private:
  std::string m_name;
  unsigned long long m_jobId = 0;
  bool m_logging = false;
};

class CMediaSpeedCounter : public CCounterBase {
 public:
  explicit CMediaSpeedCounter(EvDebug* log);
  void Reset();
  void Start();
  // Adds `bytes` and the time since Start; a Stop without a Start adds the bytes only.
  // With logging enabled, writes the throughput of this interval and of the job so far.
  void Stop(unsigned long long bytes);

  unsigned long long TotalBytes() const { return m_totalBytes; }
  double TotalSeconds() const { return m_totalSeconds; }
  unsigned long long Intervals() const { return m_intervals; }
  double BytesPerSecond() const;  // 0 when no time was measured

 private:
  EvDebug* m_externalLog;
  EvDebug m_ownLog;
  bool m_running = false;
  std::chrono::steady_clock::time_point m_startedAt;
  unsigned long long m_totalBytes = 0;
  double m_totalSeconds = 0;
  unsigned long long m_intervals = 0;
};
