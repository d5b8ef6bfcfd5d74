// A throw-away installation of the proxy's SSH tools for tests: a settings file whose base folder
// is the folder of the built tools, and a temporary folder for known_hosts, the OpenSSH
// configuration and the control sockets. ZQ_SETTINGS names the settings file while the object
// lives, so the library in this process and the tools it starts read the same settings.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "support/TestSupport.h"

namespace zqtest {

class SshTestInstallation {
 public:
  explicit SshTestInstallation(const std::string& toolsFolder);

  // Sets one setting and rewrites the settings file.
  void Set(const std::string& section, const std::string& key, const std::string& value);
  // Sends connections to `address` to `port` (a "Host" block in the OpenSSH configuration).
  void AddHost(const std::string& address, int port);

  const std::string& toolsFolder() const { return m_toolsFolder; }
  std::string folder() const { return m_dir.path(); }
  std::string SettingsFile() const { return m_dir.Join("zqrestore.ini"); }
  std::string KnownHostsFile() const { return m_dir.Join("known_hosts"); }
  std::string ConfigFile() const { return m_dir.Join("ssh_config"); }
  std::string ControlDir() const { return m_dir.Join("ctl"); }

 private:
  void WriteSettings() const;

  std::string m_toolsFolder;
  TempDir m_dir;
  std::map<std::string, std::map<std::string, std::string>> m_settings;
  std::string m_config;
  std::unique_ptr<ScopedEnv> m_settingsEnv;
};

}  // namespace zqtest
