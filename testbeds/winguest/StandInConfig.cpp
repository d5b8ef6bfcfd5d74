#include "StandInConfig.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "DotNetTime.h"

namespace winguest {

namespace {

bool ReadRequired(const nlohmann::json& doc, const char* key, std::string& out, std::string& error) {
  if (!doc.contains(key) || !doc[key].is_string()) {
    error = std::string("missing string \"") + key + "\"";
    return false;
  }
  out = doc[key].get<std::string>();
  return true;
}

void ReadOptional(const nlohmann::json& doc, const char* key, std::string& out) {
  if (doc.contains(key) && doc[key].is_string()) out = doc[key].get<std::string>();
}

}  // namespace

bool StandInConfig::Load(const std::string& path, StandInConfig& config, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = path + " is not a JSON object";
    return false;
  }
  if (!ReadRequired(doc, "root", config.root, error) || !ReadRequired(doc, "user", config.user, error) ||
      !ReadRequired(doc, "password", config.password, error)) {
    return false;
  }
  if (!doc.contains("addresses") || !doc["addresses"].is_array()) {
    error = "missing array \"addresses\"";
    return false;
  }
  for (const auto& address : doc["addresses"]) {
    if (address.is_string()) config.addresses.push_back(address.get<std::string>());
  }
  ReadOptional(doc, "culture", config.culture);
  ReadOptional(doc, "osName", config.osName);
  ReadOptional(doc, "timeZone", config.timeZone);
  ReadOptional(doc, "journal", config.journal);
  if (doc.contains("freeBytes") && doc["freeBytes"].is_number_integer()) config.freeBytes = doc["freeBytes"].get<int64_t>();
  if (doc.contains("powerShellStartMs") && doc["powerShellStartMs"].is_number_integer()) {
    config.powerShellStartMs = std::max<int64_t>(0, doc["powerShellStartMs"].get<int64_t>());
  }
  if (doc.contains("sessionLoop") && doc["sessionLoop"].is_boolean()) config.sessionLoop = doc["sessionLoop"].get<bool>();
  if (doc.contains("engine") && doc["engine"].is_string()) config.engine = doc["engine"].get<std::string>();
  if (config.engine != "standin" && config.engine != "pwsh") {
    error = "engine must be \"standin\" or \"pwsh\"";
    return false;
  }
  if (doc.contains("swap") && doc["swap"].is_object()) {
    SwapSpec swap;
    ReadOptional(doc["swap"], "moment", swap.moment);
    ReadOptional(doc["swap"], "folder", swap.folder);
    ReadOptional(doc["swap"], "link", swap.link);
    if (swap.moment != "upload" && swap.moment != "rename" && swap.moment != "renamed" && swap.moment != "replaced") {
      error = "swap moment must be \"upload\", \"rename\", \"renamed\" or \"replaced\"";
      return false;
    }
    config.swap = swap;
  }
  config.stateFile = path + ".state.json";
  ReadOptional(doc, "stateFile", config.stateFile);
  if (doc.contains("volumes") && doc["volumes"].is_array()) {
    std::vector<VolumeSpec> volumes;
    for (const auto& volume : doc["volumes"]) {
      VolumeSpec spec;
      if (volume.contains("driveLetter") && volume["driveLetter"].is_string()) {
        spec.driveLetter = volume["driveLetter"].get<std::string>();
      }
      spec.driveType = volume.value("driveType", std::string("Fixed"));
      volumes.push_back(spec);
    }
    config.volumes = volumes;
  }
  if (!FindCulture(config.culture)) {
    error = "unknown culture " + config.culture;
    return false;
  }
  return true;
}

bool StandInConfig::LoadFromEnvironment(StandInConfig& config, std::string& error) {
  const char* path = std::getenv(kConfigEnvVar);
  if (!path || !*path) {
    error = std::string(kConfigEnvVar) + " is not set";
    return false;
  }
  return Load(path, config, error);
}

bool StandInConfig::Answers(const std::string& address) const {
  return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

}  // namespace winguest
