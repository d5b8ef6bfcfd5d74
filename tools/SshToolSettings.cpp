#include "tools/SshToolSettings.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "toolscontract/CommandTimeLimits.h"
#include "platform/ZQPlatformInfo.h"
#include "tools/ControlFolder.h"

namespace {

constexpr const char* kSection = "SSH";

void ReadString(const char* key, std::string& value) {
  std::string text;
  if (ZQPlatformInfo::getString(kSection, key, &text) && !text.empty()) value = text;
}

void ReadSeconds(const char* key, long long minimum, long long& value) {
  long long number = 0;
  if (ZQPlatformInfo::getInteger(kSection, key, &number) && number >= minimum) value = number;
}

}  // namespace

std::string DefaultControlDir() {
  const uid_t self = ::geteuid();
  // Places only their owner can make a folder in: no other user can have made ours first.
  if (self == 0) return "/run/zqrestore";
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    const std::string folder = std::string(runtime) + "/zqrestore";
    if (folder.size() <= ControlFolder::kMaxFolderLength) return folder;
  }
  // A user without a runtime folder: a folder in /tmp, which another user may have made first;
  // the tools then check it, refuse it and say so.
  return "/tmp/zqrestore-ssh-" + std::to_string(self);
}

SshToolSettings SshToolSettings::Load(const std::string& toolFolder) {
  SshToolSettings settings;
  if (!ZQPlatformInfo::getString("Base", "dBASEHOME", &settings.baseHome) || settings.baseHome.empty()) {
    settings.baseHome = toolFolder;
  }
  settings.knownHostsFile = settings.baseHome + "/known_hosts";
  settings.configFile = settings.baseHome + "/ssh_config";
  settings.controlDir = DefaultControlDir();
  ReadString("KnownHostsFile", settings.knownHostsFile);
  ReadString("ConfigFile", settings.configFile);
  ReadString("ControlDir", settings.controlDir);
  ReadString("SshProgram", settings.sshProgram);
  ReadString("SftpProgram", settings.sftpProgram);
  ReadSeconds("ConnectTimeout", 1, settings.connectTimeout);
  ReadSeconds("KeepAliveInterval", 1, settings.keepAliveInterval);
  ReadSeconds("KeepAliveCountMax", 1, settings.keepAliveCountMax);
  ReadSeconds("ControlPersist", 0, settings.controlPersist);
  settings.copyInactivityLimit = CommandTimeLimits::kDefaultCopyInactivityLimit;
  ReadSeconds(CommandTimeLimits::kCopyInactivityLimitKey, 0, settings.copyInactivityLimit);
  ReadSeconds("GuestSessionIdle", 0, settings.guestSessionIdle);
  settings.commandTimeLimit = CommandTimeLimits::kDefaultCommandTimeLimit;
  ReadSeconds(CommandTimeLimits::kCommandTimeLimitKey, 0, settings.commandTimeLimit);
  ZQPlatformInfo::getBoolean(kSection, "UseKeys", &settings.useKeys);
  ZQPlatformInfo::getBoolean(kSection, "GuestSessionPerl", &settings.guestSessionPerl);
  return settings;
}

std::string RunningProgramPath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string ParentFolder(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
