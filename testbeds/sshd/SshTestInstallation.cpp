#include "SshTestInstallation.h"

#include <cstdlib>
#include <sstream>

#include "platform/ZQPlatformInfo.h"

namespace zqtest {

SshTestInstallation::SshTestInstallation(const std::string& toolsFolder) : m_toolsFolder(toolsFolder) {
  m_settings["Base"]["dBASEHOME"] = toolsFolder;
  m_settings["SSH"]["KnownHostsFile"] = KnownHostsFile();
  m_settings["SSH"]["ConfigFile"] = ConfigFile();
  m_settings["SSH"]["ControlDir"] = ControlDir();
  m_settings["SSH"]["ConnectTimeout"] = "5";
  // The suites run once with the guest session (the default) and once with plain commands,
  if (const char* idle = std::getenv("ZQ_TEST_GUEST_SESSION_IDLE")) m_settings["SSH"]["GuestSessionIdle"] = idle;
  // and, with the session, once more with the bash loop in the guest instead of the Perl one.
  if (const char* perl = std::getenv("ZQ_TEST_GUEST_SESSION_PERL")) m_settings["SSH"]["GuestSessionPerl"] = perl;
  m_settings["Log"]["Directory"] = m_dir.Join("log");
  // Every line, debug lines included, so that the secret scans read all that a job could write.
  m_settings["Log"]["DebugLevel"] = "2";
  WriteSettings();
  WriteFile(ConfigFile(), "");
  m_settingsEnv = std::make_unique<ScopedEnv>(kSettingsEnvVar, SettingsFile());
}

void SshTestInstallation::Set(const std::string& section, const std::string& key, const std::string& value) {
  m_settings[section][key] = value;
  WriteSettings();
}

void SshTestInstallation::AddHost(const std::string& address, int port) {
  m_config += "Host " + address + "\n  Port " + std::to_string(port) + "\n";
  WriteFile(ConfigFile(), m_config);
}

void SshTestInstallation::WriteSettings() const {
  std::ostringstream text;
  for (const auto& [section, keys] : m_settings) {
    text << "[" << section << "]\n";
    for (const auto& [key, value] : keys) text << key << " = " << value << "\n";
  }
  WriteFile(SettingsFile(), text.str());
}

}  // namespace zqtest
