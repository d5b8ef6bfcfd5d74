#include "TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/CNyPath.h"

namespace zqtest {

void CapturingLogSink::Write(const LogRecord& record) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_records.push_back(record);
}

std::vector<LogRecord> CapturingLogSink::Records() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_records;
}

std::vector<std::string> CapturingLogSink::Texts() const {
  std::vector<std::string> texts;
  for (const LogRecord& record : Records()) texts.push_back(record.text);
  return texts;
}

bool CapturingLogSink::Contains(const std::string& text) const {
  for (const LogRecord& record : Records()) {
    if (record.text == text) return true;
  }
  return false;
}

bool CapturingLogSink::AnyContains(const std::string& fragment) const {
  for (const LogRecord& record : Records()) {
    if (record.text.find(fragment) != std::string::npos || record.origin.find(fragment) != std::string::npos) {
      return true;
    }
  }
  return false;
}

void CapturingLogSink::Clear() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_records.clear();
}

ScopedLogCapture::ScopedLogCapture() : m_sink(std::make_shared<CapturingLogSink>()) {
  m_previous = SetLogSink(m_sink);
}

ScopedLogCapture::~ScopedLogCapture() { SetLogSink(m_previous); }

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zqtest.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir() { CNyDirectory::Remove(m_path, true, true); }

class ScopedSettings::MemoryStore : public SettingsStore {
 public:
  bool Lookup(const std::string& section, const std::string& key, std::string& value) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = m_values.find(section + "\n" + key);
    if (it == m_values.end()) return false;
    value = it->second;
    return true;
  }
  void Set(const std::string& section, const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_values[section + "\n" + key] = value;
  }
  void Erase(const std::string& section, const std::string& key) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_values.erase(section + "\n" + key);
  }

 private:
  std::mutex m_mutex;
  std::map<std::string, std::string> m_values;
};

// Tests read every log line, debug lines included (the secret scans above all), so their settings
// start at the highest debug level; a test of the level itself erases or sets it.
ScopedSettings::ScopedSettings() : m_store(std::make_shared<MemoryStore>()) {
  m_store->Set("Log", "DebugLevel", "2");
  m_previous = SetSettingsStore(m_store);
}

ScopedSettings::~ScopedSettings() { SetSettingsStore(m_previous); }

void ScopedSettings::Set(const std::string& section, const std::string& key, const std::string& value) {
  m_store->Set(section, key, value);
}

void ScopedSettings::Erase(const std::string& section, const std::string& key) { m_store->Erase(section, key); }

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : m_name(name) {
  if (const char* old = getenv(name.c_str())) {
    m_hadValue = true;
    m_oldValue = old;
  }
  setenv(name.c_str(), value.c_str(), 1);
  tzset();
}

ScopedEnv::~ScopedEnv() {
  if (m_hadValue) {
    setenv(m_name.c_str(), m_oldValue.c_str(), 1);
  } else {
    unsetenv(m_name.c_str());
  }
  tzset();
}

bool RunningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

}  // namespace zqtest
