// The virtual-server application manager of the host framework: which hypervisor instance an
// application or a client belongs to, the instance's type and the server credentials stored for it.
//
// Backed by the installation's application configuration, a JSON file whose path is the setting
// "VirtualServer"/"AppConfigFile" (format in docs/app-config.md). The file is read once per object,
// on first use. A missing or malformed configuration fails every lookup; it is logged once per object.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "platform/EvEvent.h"
#include "vminfo/VMInfoStructs.h"

// The content of an application configuration.
struct AppConfiguration {
  struct Application {
    unsigned long parent = 0;    // 0: none
    unsigned long instance = 0;  // 0: none
  };
  struct Instance {
    int type = 0;
    std::vector<SHostCredentials> credentials;
  };
  std::map<unsigned long, Application> applications;
  std::map<unsigned long, Instance> instances;
  std::map<unsigned long, unsigned long> clientInstances;
};

// The limits of an application configuration: its size and its nesting.
constexpr size_t kAppConfigMaxBytes = 16 * 1024 * 1024;

// Parses and checks a whole application configuration, so that a fault anywhere in it is
// reported at once rather than by whichever lookup happens to reach it. False with `error` (and
// `configuration` left as it was) on any fault, including a text past the limits.
bool ParseAppConfiguration(const std::string& text, AppConfiguration& configuration, std::string& error);

class vsAppMgr {
 public:
  // Results of querySettings and querySettingsForInstance.
  static constexpr int kSettingsLoaded = 0;
  static constexpr int kConfigurationUnavailable = 1;
  static constexpr int kUnknownApplication = 2;
  static constexpr int kUnknownInstance = 3;

  vsAppMgr();

  // Selects the application that querySettings loads. `hostId` is the host's own id of the job's
  // owner; it is kept for the host's signature and does not take part in lookups.
  void setAppId(unsigned long hostId, unsigned long appId);

  // True and the instance id of the client; false (logged) for an unknown client.
  bool GetInstanceId(unsigned long clientId, unsigned long& instanceId);

  // Loads type and credentials of the instance of the application set by setAppId. A failed
  // query (logged) leaves the settings loaded before in place.
  int querySettings();
  // Loads type and credentials of the given instance; on failure as querySettings.
  int querySettingsForInstance(unsigned long instanceId);
  bool isRetCodeError(int retCode) const { return retCode != kSettingsLoaded; }

  // The type of the loaded instance; 0 when no settings are loaded.
  int getInstanceType() const { return m_instanceType; }
  // Replaces the list by the credentials of the loaded instance (empty when none are loaded or
  // stored). Returns whether settings are loaded.
  bool getCredentials(std::vector<SHostCredentials>& credentials) const;

  // True and the parent of application `appId` when it has one; false otherwise (an application
  // without parent is not an error and is not logged).
  bool GetParentAppIdForVM(int& appId, int& parentAppId);

 private:
  bool LoadConfiguration();
  bool ReadConfiguration(std::string& path, std::string& error);
  int LoadInstance(unsigned long instanceId);

  EvDebug m_log;
  unsigned long m_hostId = 0;
  unsigned long m_appId = 0;

  enum class ConfigState { NotRead, Loaded, Failed };
  ConfigState m_configState = ConfigState::NotRead;
  std::string m_configPath;
  AppConfiguration m_config;

  bool m_settingsLoaded = false;
  int m_instanceType = 0;
  std::vector<SHostCredentials> m_credentials;
};
