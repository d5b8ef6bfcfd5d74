#include "host/PluginLibrary.h"

#include <dlfcn.h>

SharedLibrary::~SharedLibrary() {
  if (m_handle != nullptr) dlclose(m_handle);
}

bool SharedLibrary::Open(const std::string& path, int flags, std::string& error) {
  m_handle = dlopen(path.c_str(), flags);
  if (m_handle == nullptr) {
    const char* reason = dlerror();
    error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
    return false;
  }
  return true;
}

void* SharedLibrary::Symbol(const char* name, std::string& error) const {
  dlerror();
  void* address = dlsym(m_handle, name);
  if (address == nullptr) {
    const char* reason = dlerror();
    error = std::string("the library does not export ") + name + (reason != nullptr ? std::string(": ") + reason : "");
  }
  return address;
}

bool PluginLibrary::Open(const std::string& path, std::string& error) {
  if (!m_library.Open(path, RTLD_NOW | RTLD_LOCAL, error)) return false;
  m_createController = reinterpret_cast<CreateVSAgentlessRestoreToVMObjectFn>(
      m_library.Symbol("CreateVSAgentlessRestoreToVMObject", error));
  if (m_createController == nullptr) return false;
  m_createGuestChannel = reinterpret_cast<decltype(&CreateGuestAPIObject)>(m_library.Symbol("CreateGuestAPIObject", error));
  return m_createGuestChannel != nullptr;
}

ControllerPtr PluginLibrary::CreateController() const {
  IVSAgentlessRestoreToVM* controller = nullptr;
  if (m_createController == nullptr || !m_createController(&controller)) return nullptr;
  return ControllerPtr(controller);
}

ControllerFactory PluginLibrary::Factory() const {
  return [this] { return CreateController(); };
}

bool PluginLibrary::CreateGuestChannel(IVMInfo* vmInfo, const GuestCtx& ctx, std::unique_ptr<IGuestAPI>& channel,
                                       std::string& errorText, bool preferNative) const {
  if (m_createGuestChannel == nullptr) return false;
  return m_createGuestChannel(vmInfo, ctx, channel, errorText, preferNative);
}
