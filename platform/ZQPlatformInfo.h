// Installation settings: an INI file (sections and keys) whose path comes from ZQ_SETTINGS,
// else /etc/zqrestore/zqrestore.ini. A file larger than 1 MiB counts as no settings at all.
#pragma once

#include <map>
#include <memory>
#include <string>

constexpr const char* kSettingsEnvVar = "ZQ_SETTINGS";
constexpr const char* kDefaultSettingsPath = "/etc/zqrestore/zqrestore.ini";

// Source of settings values. The default store reads the INI file named above (re-read when the
// file changes); tests may install another store.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual bool Lookup(const std::string& section, const std::string& key, std::string& value) = 0;
};
std::shared_ptr<SettingsStore> SetSettingsStore(std::shared_ptr<SettingsStore> store);  // null: default
std::shared_ptr<SettingsStore> CurrentSettingsStore();

// Parses INI text: "[Section]" lines, "key = value" lines, ';' or '#' comment lines.
// Keys and sections are case-sensitive; blanks around keys and values are dropped.
std::map<std::string, std::map<std::string, std::string>> ParseIniText(const std::string& text);

class ZQPlatformInfo {
 public:
  // True and `out` filled when the setting exists; `out` untouched otherwise.
  static bool getString(const char* section, const char* key, std::string* out);
  // Accepts true/false, yes/no, on/off, 1/0 in any letter case. Leaves `out` untouched and returns
  // false when the setting is absent or is not a boolean.
  static bool getBoolean(const char* section, const char* key, bool* out);
  // Integer setting; `out` untouched when absent or malformed.
  static bool getInteger(const char* section, const char* key, long long* out);
};
