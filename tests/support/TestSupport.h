// Shared helpers for the test suites: log capture, temporary folders, settings files.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FileHelpers.h"
#include "platform/EvEvent.h"
#include "platform/ZQPlatformInfo.h"

namespace zqtest {

// Collects every log line written while it is installed; restores the previous sink on destruction.
class CapturingLogSink : public LogSink {
 public:
  void Write(const LogRecord& record) override;
  std::vector<LogRecord> Records() const;
  std::vector<std::string> Texts() const;  // message texts only, in order
  bool Contains(const std::string& text) const;      // a message equal to `text`
  bool AnyContains(const std::string& fragment) const;  // `fragment` inside any origin or message
  void Clear();

 private:
  mutable std::mutex m_mutex;
  std::vector<LogRecord> m_records;
};

class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  CapturingLogSink& sink() { return *m_sink; }

 private:
  std::shared_ptr<CapturingLogSink> m_sink;
  std::shared_ptr<LogSink> m_previous;
};

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  std::string Join(const std::string& relative) const { return m_path + "/" + relative; }

 private:
  std::string m_path;
};

// Settings served from memory while the object lives; restores the previous store afterwards.
class ScopedSettings {
 public:
  ScopedSettings();
  ~ScopedSettings();
  void Set(const std::string& section, const std::string& key, const std::string& value);
  void Erase(const std::string& section, const std::string& key);

 private:
  class MemoryStore;
  std::shared_ptr<MemoryStore> m_store;
  std::shared_ptr<SettingsStore> m_previous;
};

// Sets an environment variable (TZ and the like) for the object's life, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string m_name;
  bool m_hadValue = false;
  std::string m_oldValue;
};

// True when CI=true: there tests that need a tool or a test bed must run, never skip.
bool RunningInCi();

}  // namespace zqtest
