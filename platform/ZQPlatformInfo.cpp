#include "platform/ZQPlatformInfo.h"

#include <sys/stat.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "platform/ProxyInputFile.h"

namespace {

constexpr size_t kSettingsFileMaxBytes = 1024 * 1024;

using IniData = std::map<std::string, std::map<std::string, std::string>>;

// Reads the file named by ZQ_SETTINGS (or the default path) and keeps its contents until the
// path, size or modification time changes.
class IniFileSettingsStore : public SettingsStore {
 public:
  bool Lookup(const std::string& section, const std::string& key, std::string& value) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    Refresh();
    auto sectionIt = m_data.find(section);
    if (sectionIt == m_data.end()) return false;
    auto keyIt = sectionIt->second.find(key);
    if (keyIt == sectionIt->second.end()) return false;
    value = keyIt->second;
    return true;
  }

 private:
  void Refresh() {
    const char* fromEnv = getenv(kSettingsEnvVar);
    const std::string path = (fromEnv != nullptr && *fromEnv != '\0') ? fromEnv : kDefaultSettingsPath;
    // The settings decide where logs, staging folders and tools are: run as root, a file another
    // user owns or may write is no settings at all (zqrestore itself says why before it starts).
    std::string reason;
    const UniqueFd fd = ProxyInputFile::Open(path, ProxyInputFile::Role::Config, reason);
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0) {
      m_data.clear();
      m_path.clear();
      return;
    }
    if (path == m_path && info.st_mtim.tv_sec == m_mtime.tv_sec && info.st_mtim.tv_nsec == m_mtime.tv_nsec &&
        info.st_size == m_size) {
      return;
    }
    // An unreadable file, or one past the limit, is no settings at all.
    std::string text;
    if (!ProxyInputFile::ReadAll(fd.get(), kSettingsFileMaxBytes, text, reason)) text.clear();
    m_data = ParseIniText(text);
    m_path = path;
    m_mtime = info.st_mtim;
    m_size = info.st_size;
  }

  std::mutex m_mutex;
  std::string m_path;
  timespec m_mtime{};
  off_t m_size = -1;
  IniData m_data;
};

std::mutex g_storeMutex;
std::shared_ptr<SettingsStore>& StoreSlot() {
  static std::shared_ptr<SettingsStore> store = std::make_shared<IniFileSettingsStore>();
  return store;
}

bool LookupSetting(const char* section, const char* key, std::string& value) {
  if (section == nullptr || key == nullptr) return false;
  return CurrentSettingsStore()->Lookup(section, key, value);
}

}  // namespace

std::shared_ptr<SettingsStore> SetSettingsStore(std::shared_ptr<SettingsStore> store) {
  std::lock_guard<std::mutex> guard(g_storeMutex);
  if (!store) store = std::make_shared<IniFileSettingsStore>();
  std::shared_ptr<SettingsStore> previous = StoreSlot();
  StoreSlot() = std::move(store);
  return previous;
}

std::shared_ptr<SettingsStore> CurrentSettingsStore() {
  std::lock_guard<std::mutex> guard(g_storeMutex);
  return StoreSlot();
}

IniData ParseIniText(const std::string& text) {
  IniData data;
  std::istringstream lines(text);
  std::string line;
  std::string section;
  while (std::getline(lines, line)) {
    boost::algorithm::trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = boost::algorithm::trim_copy(line.substr(1, line.size() - 2));
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = boost::algorithm::trim_copy(line.substr(0, equals));
    if (key.empty()) continue;
    data[section][key] = boost::algorithm::trim_copy(line.substr(equals + 1));
  }
  return data;
}

bool ZQPlatformInfo::getString(const char* section, const char* key, std::string* out) {
  std::string value;
  if (out == nullptr || !LookupSetting(section, key, value)) return false;
  *out = value;
  return true;
}

bool ZQPlatformInfo::getBoolean(const char* section, const char* key, bool* out) {
  std::string value;
  if (out == nullptr || !LookupSetting(section, key, value)) return false;
  boost::algorithm::to_lower(value);
  if (value == "true" || value == "yes" || value == "on" || value == "1") {
    *out = true;
    return true;
  }
  if (value == "false" || value == "no" || value == "off" || value == "0") {
    *out = false;
    return true;
  }
  return false;
}

bool ZQPlatformInfo::getInteger(const char* section, const char* key, long long* out) {
  std::string value;
  if (out == nullptr || !LookupSetting(section, key, value) || value.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long number = strtoll(value.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  *out = number;
  return true;
}
