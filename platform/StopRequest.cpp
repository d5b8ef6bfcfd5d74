#include "platform/StopRequest.h"

#include <atomic>

namespace {

std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

}  // namespace

namespace StopRequest {

void RequestNow() { g_requested.store(true); }
bool Requested() { return g_requested.load(); }
void Clear() { g_requested.store(false); }

}  // namespace StopRequest
