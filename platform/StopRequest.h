// The operator's request to stop now, not after the entry in flight: set by the host (from its
// signal handler, so it must stay async-signal-safe) and seen by everything that may take long on
// behalf of one entry: a command in flight (ZqProcess ends its whole process group) and a copy
// done in this process. One flag for the process: the plug-in, the component and the host share
// this library.
#pragma once

namespace StopRequest {

// Asks every long operation, running or to come, to end at once. Async-signal-safe.
void RequestNow();
// Whether RequestNow was called (and not cleared since).
bool Requested();
// Forgets the request: for a host that goes on with another job, and for tests.
void Clear();

// What a command or a copy ended this way reports as its reason.
constexpr const char* kReason = "stopped on request";

}  // namespace StopRequest
