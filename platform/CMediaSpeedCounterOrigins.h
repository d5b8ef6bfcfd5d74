// Origin labels of the log lines of the throughput counter,
// shared by its code and its readers, in the one form of controller/VSAgentlessRestoreToVMOrigins.h.
#pragma once

namespace CMediaSpeedCounterOrigins {

// The counter writes its lines from Stop; the host reads them by this label.
constexpr const char* kStopOrigin = "void CMediaSpeedCounter::Stop(unsigned long long)";

}  // namespace CMediaSpeedCounterOrigins
