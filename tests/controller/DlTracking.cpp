#include "DlTracking.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

extern "C" void* __real_dlopen(const char* name, int flags);
extern "C" int __real_dlclose(void* handle);

namespace dltracking {
namespace {

constexpr const char* kVMInfoLibrary = "libVMInfo.so";

std::mutex g_mutex;
std::string g_redirect;
std::vector<OpenCall> g_opens;
std::map<void*, int> g_closes;

}  // namespace

void Reset() {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_redirect.clear();
  g_opens.clear();
  g_closes.clear();
}

void RedirectVMInfo(const std::string& path) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_redirect = path;
}

std::vector<OpenCall> VMInfoOpens() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_opens;
}

int CloseCount(void* handle) {
  std::lock_guard<std::mutex> guard(g_mutex);
  auto found = g_closes.find(handle);
  return found == g_closes.end() ? 0 : found->second;
}

}  // namespace dltracking

extern "C" void* __wrap_dlopen(const char* name, int flags) {
  using namespace dltracking;
  if (name == nullptr || std::strcmp(name, kVMInfoLibrary) != 0) {
    return __real_dlopen(name, flags);
  }
  std::string target;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    target = g_redirect.empty() ? std::string(name) : g_redirect;
  }
  void* handle = __real_dlopen(target.c_str(), flags);
  const int openErrno = errno;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_opens.push_back({name, flags, handle});
  }
  errno = openErrno;  // the caller reports it
  return handle;
}

extern "C" int __wrap_dlclose(void* handle) {
  {
    std::lock_guard<std::mutex> guard(dltracking::g_mutex);
    ++dltracking::g_closes[handle];
  }
  return __real_dlclose(handle);
}
