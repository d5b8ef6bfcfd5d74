// Job clients of the host framework: where job-visible failures and the job id come from.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/EvEvent.h"

enum EvMessageType { EvMessageTypeDefault = 300 };
enum JMGUIAlertColorLevel { JMGUIAlertColorNone = 0 };
enum JMPendingCauseFlags { JMPendingCauseNone = 0 };

// One pending cause as the host reads it back: the code and the text arguments added before it.
struct PendingCause {
  int code = 0;
  std::vector<std::string> arguments;
};

class ZQJobClient : public EvEvent {
 public:
  // Appends a text argument to the job event that the next pending cause carries.
  ZQJobClient& operator<<(const char* text);

  // Records the job's pending cause with `code` and the text arguments added since the last one
  // (in the order added), logs it, and clears the argument list. Returns 0.
  int setPendingCause(int code, const std::vector<long long>* values, bool, EvMessageType, int, int, int,
                      bool, JMGUIAlertColorLevel, JMPendingCauseFlags, unsigned, unsigned);

  std::vector<PendingCause> pendingCauses() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<PendingCause> m_pendingCauses;
};

class ZQRstJobClient : public ZQJobClient {};

class ZQJobCtrlClient {
 public:
  explicit ZQJobCtrlClient(unsigned long long jobId = 0) : m_jobId(jobId) {}
  unsigned long long GetJobID() const { return m_jobId; }
  void SetJobID(unsigned long long jobId) { m_jobId = jobId; }

 private:
  unsigned long long m_jobId;
};
