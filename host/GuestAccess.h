// The guest commands of zqrestore (browse, mkdir, put): reach the job's VM the way a restore
// would, through the VM-information component and the plug-in's exported channel factory, so
// that an operator can check access to a guest before restoring into it.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "guestapi/GuestTypes.h"
#include "host/JobFile.h"
#include "host/PluginLibrary.h"
#include "host/SecretMask.h"
#include "vminfo/IVMInfo.h"

// The component's connection for the job: its instance type and credentials as the installation's
// application configuration gives them, then ConnectToServer with the job's server credentials
// (all three replaced by the stored ones when one of them is empty, as the plug-in does).
class VMInfoConnection {
 public:
  static constexpr const char* kLibraryName = "libVMInfo.so";

  // False with `error` (masked) when the component cannot be loaded, made or connected.
  bool Connect(const JobFile& job, const std::string& libraryPath, const SecretMask& mask, std::string& error);
  IVMInfo* get() const { return m_vmInfo; }
  int instanceType() const { return m_instanceType; }

 private:
  SharedLibrary m_library;
  IVMInfo* m_vmInfo = nullptr;  // never deleted: the component's objects live as long as the process
  int m_instanceType = 0;
};

// The guest login of the job, as every guest operation receives it.
GuestCtx MakeGuestCtx(const JobFile& job);

// One line per entry: type, mode, owner, group, size, modification time (UTC), name.
// The name is shown as PrintableText shows it.
std::string FormatGuestEntry(const VMInfoStructs::SGuestFile& entry);

// Splits a guest path into its folder and last name ("/srv/a" into "/srv" and "a", "D:\\x" into
// "D:\\" and "x"); false for a root ("/", "D:\\"), which has no parent.
bool SplitGuestPath(const std::string& path, std::string& folder, std::string& name);

class GuestSession {
 public:
  GuestSession(const JobFile& job, const PluginLibrary& plugin, const SecretMask& mask);
  ~GuestSession();

  // Connects the component and makes a channel; false with `error`.
  bool Open(const std::string& vmInfoLibrary, bool preferNative, std::string& error);
  // The channel the plug-in chose, as "ZQUnixGuestAPI"-style family words.
  std::string ChannelKind() const;

  // False with "not found: [PATH]" when the guest has no such entry.
  bool Browse(const std::string& path, std::vector<VMInfoStructs::SGuestFile>& entries, std::string& error);
  // Whether the guest has an entry at `path`, from its folder's listing.
  bool Exists(const std::string& path);
  // The channel, for reading the guest (GuestFolderView); valid after Open.
  IGuestAPI& Channel() { return *m_channel; }
  const GuestCtx& Context() const { return m_ctx; }
  bool MakeFolder(const std::string& path, std::string& error);
  // Without `overwrite`, a file the guest has is left alone: false with "kept: ...".
  bool Put(const std::string& localFile, const std::string& guestPath, bool overwrite, std::string& error);

 private:
  std::string LastError(const char* what) const;

  const JobFile& m_job;
  const PluginLibrary& m_plugin;
  const SecretMask& m_mask;
  GuestCtx m_ctx;
  VMInfoConnection m_connection;
  std::unique_ptr<IGuestAPI> m_channel;
};
