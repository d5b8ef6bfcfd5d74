#include "platform/vsAppMgr.h"

#include <climits>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "platform/InputLimits.h"
#include "platform/ProxyInputFile.h"
#include "platform/ZQPlatformInfo.h"
#include "platform/vsAppMgrOrigins.h"

using namespace vsAppMgrOrigins;

namespace {

constexpr const char* kConfigSection = "VirtualServer";
constexpr const char* kConfigKey = "AppConfigFile";

// The array `name` of the configuration; absent means empty.
const nlohmann::json& ArrayOrEmpty(const nlohmann::json& document, const char* name) {
  static const nlohmann::json kEmpty = nlohmann::json::array();
  auto found = document.find(name);
  if (found == document.end()) {
    return kEmpty;
  }
  if (!found->is_array()) {
    throw std::runtime_error(std::string("[") + name + "] must be an array");
  }
  return *found;
}

unsigned long PositiveId(const nlohmann::json& record, const char* key, bool required) {
  auto found = record.find(key);
  if (found == record.end()) {
    if (required) {
      throw std::runtime_error(std::string("a record lacks [") + key + "]");
    }
    return 0;
  }
  if (!found->is_number_unsigned() || found->get<unsigned long>() == 0) {
    throw std::runtime_error(std::string("[") + key + "] must be a positive integer");
  }
  return found->get<unsigned long>();
}

// The instance type: a whole number in the range of int (a fraction or a larger number would be
// cut to some other type).
int InstanceType(const nlohmann::json& record) {
  auto found = record.find("type");
  if (found == record.end()) {
    throw std::runtime_error("a record lacks [type]");
  }
  const bool fits = found->is_number_unsigned() ? found->get<uint64_t>() <= static_cast<uint64_t>(INT_MAX)
                                                : found->is_number_integer() && found->get<int64_t>() >= INT_MIN &&
                                                      found->get<int64_t>() <= INT_MAX;
  if (!fits) {
    throw std::runtime_error("[type] must be a whole number");
  }
  return found->get<int>();
}

SHostCredentials ParseCredentials(const nlohmann::json& record) {
  SHostCredentials credentials;
  credentials.serverName = record.at("serverName").get<std::string>();
  credentials.userName = record.at("userName").get<std::string>();
  credentials.password = record.at("password").get<std::string>();
  return credentials;
}

}  // namespace

bool ParseAppConfiguration(const std::string& text, AppConfiguration& configuration, std::string& error) {
  nlohmann::json document;
  if (!ParseJsonWithLimits(text, {kAppConfigMaxBytes, kJsonMaxDepth}, document, error)) return false;
  if (!document.is_object()) {
    error = "not a JSON object";
    return false;
  }
  AppConfiguration parsed;
  // The JSON library reports wrong types by exception; none leaves this function.
  try {
    for (const nlohmann::json& record : ArrayOrEmpty(document, "applications")) {
      AppConfiguration::Application& application = parsed.applications[PositiveId(record, "id", true)];
      application.parent = PositiveId(record, "parent", false);
      application.instance = PositiveId(record, "instance", false);
    }
    for (const nlohmann::json& record : ArrayOrEmpty(document, "instances")) {
      AppConfiguration::Instance& instance = parsed.instances[PositiveId(record, "id", true)];
      instance.type = InstanceType(record);
      for (const nlohmann::json& credentials : ArrayOrEmpty(record, "credentials")) {
        instance.credentials.push_back(ParseCredentials(credentials));
      }
    }
    for (const nlohmann::json& record : ArrayOrEmpty(document, "clients")) {
      parsed.clientInstances[PositiveId(record, "id", true)] = PositiveId(record, "instance", true);
    }
  } catch (const std::exception& failure) {
    error = failure.what();
    return false;
  }
  configuration = std::move(parsed);
  return true;
}

vsAppMgr::vsAppMgr() = default;

void vsAppMgr::setAppId(unsigned long hostId, unsigned long appId) {
  m_hostId = hostId;
  m_appId = appId;
}

bool vsAppMgr::GetInstanceId(unsigned long clientId, unsigned long& instanceId) {
  if (!LoadConfiguration()) {
    return false;
  }
  auto client = m_config.clientInstances.find(clientId);
  if (client == m_config.clientInstances.end()) {
    m_log.Error(kGetInstanceIdOrigin, "Client [%lu] has no instance in application configuration [%s]", clientId,
                m_configPath.c_str());
    return false;
  }
  instanceId = client->second;
  return true;
}

int vsAppMgr::querySettings() {
  if (!LoadConfiguration()) {
    return kConfigurationUnavailable;
  }
  auto application = m_config.applications.find(m_appId);
  if (application == m_config.applications.end() || application->second.instance == 0) {
    m_log.Error(kQuerySettingsOrigin, "Application [%lu] has no instance in application configuration [%s]", m_appId,
                m_configPath.c_str());
    return kUnknownApplication;
  }
  return LoadInstance(application->second.instance);
}

int vsAppMgr::querySettingsForInstance(unsigned long instanceId) {
  if (!LoadConfiguration()) {
    return kConfigurationUnavailable;
  }
  return LoadInstance(instanceId);
}

bool vsAppMgr::getCredentials(std::vector<SHostCredentials>& credentials) const {
  credentials = m_credentials;
  return m_settingsLoaded;
}

bool vsAppMgr::GetParentAppIdForVM(int& appId, int& parentAppId) {
  if (!LoadConfiguration()) {
    return false;
  }
  auto application = m_config.applications.find(static_cast<unsigned long>(appId));
  if (appId <= 0 || application == m_config.applications.end() || application->second.parent == 0) {
    return false;
  }
  parentAppId = static_cast<int>(application->second.parent);
  return true;
}

int vsAppMgr::LoadInstance(unsigned long instanceId) {
  auto instance = m_config.instances.find(instanceId);
  if (instance == m_config.instances.end()) {
    m_log.Error(kLoadInstanceOrigin, "Instance [%lu] not found in application configuration [%s]", instanceId,
                m_configPath.c_str());
    return kUnknownInstance;
  }
  m_instanceType = instance->second.type;
  m_credentials = instance->second.credentials;
  m_settingsLoaded = true;
  return kSettingsLoaded;
}

bool vsAppMgr::LoadConfiguration() {
  if (m_configState == ConfigState::NotRead) {
    std::string error;
    m_configState = ReadConfiguration(m_configPath, error) ? ConfigState::Loaded : ConfigState::Failed;
    if (m_configState == ConfigState::Failed) {
      m_log.Error(kLoadConfigurationOrigin, "Application configuration [%s] unusable: %s", m_configPath.c_str(),
                  error.c_str());
    }
  }
  return m_configState == ConfigState::Loaded;
}

bool vsAppMgr::ReadConfiguration(std::string& path, std::string& error) {
  if (!ZQPlatformInfo::getString(kConfigSection, kConfigKey, &path) || path.empty()) {
    error = std::string("setting [") + kConfigSection + "][" + kConfigKey + "] is not set";
    return false;
  }
  // It holds the instances' stored credentials: opened as the other instructions are.
  std::string text;
  bool missing = false;
  if (!ProxyInputFile::ReadText(path, ProxyInputFile::Role::Config, kAppConfigMaxBytes, text, error, &missing)) {
    error = missing ? "cannot open the file" : "the file " + error;
    return false;
  }
  return ParseAppConfiguration(text, m_config, error);
}
