// The libraries zqrestore loads at run time: the plug-in (through its two exported factories
// only) and, for the guest commands, the VM-information component.
#pragma once

#include <memory>
#include <string>

#include "guestapi/ZQGuestAPI.h"
#include "host/RestoreJob.h"

// A library opened with dlopen and closed when the object goes.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // `path` may be a bare file name, which the dynamic loader searches for. False with `error`.
  bool Open(const std::string& path, int flags, std::string& error);
  // The address of an exported symbol, or null with `error`.
  void* Symbol(const char* name, std::string& error) const;
  bool IsOpen() const { return m_handle != nullptr; }
  // Keeps the library loaded for the rest of the process (objects it made may outlive this).
  void Keep() { m_handle = nullptr; }

 private:
  void* m_handle = nullptr;
};

// The plug-in, reached only through CreateVSAgentlessRestoreToVMObject and CreateGuestAPIObject.
class PluginLibrary {
 public:
  static constexpr const char* kDefaultName = "libVSAgentlessRestoreToVM.so";

  bool Open(const std::string& path, std::string& error);

  // A controller from the exported factory; null when the factory makes none.
  ControllerPtr CreateController() const;
  ControllerFactory Factory() const;

  // The exported channel factory; false with `errorText` as the factory left it.
  bool CreateGuestChannel(IVMInfo* vmInfo, const GuestCtx& ctx, std::unique_ptr<IGuestAPI>& channel,
                          std::string& errorText, bool preferNative) const;

 private:
  SharedLibrary m_library;
  CreateVSAgentlessRestoreToVMObjectFn m_createController = nullptr;
  decltype(&CreateGuestAPIObject) m_createGuestChannel = nullptr;
};
