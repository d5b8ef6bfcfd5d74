// Doubles shared by the Unix channel tests: a VM-information object that only knows its kind, a
// command runner that records command lines, and a base folder with stand-ins for the SSH tools.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "guestapi/ZQUnixGuestAPI.h"
#include "platform/ZqProcess.h"
#include "support/RefusingVMInfo.h"
#include "support/TestSupport.h"

namespace zqtest {

// Answers GetInstanceType with a fixed kind; every other operation fails.
class StubVMInfo : public RefusingVMInfo {
 public:
  explicit StubVMInfo(VirtualServerInstanceType type) : m_type(type) {}
  VirtualServerInstanceType GetInstanceType() override {
    ++instanceTypeCalls;
    return m_type;
  }

  int instanceTypeCalls = 0;

 private:
  VirtualServerInstanceType m_type;
};

// Records every command line instead of running it. `answer` decides status and output; by
// default "uname -a" answers as Linux and everything else succeeds silently.
class RecordingRunner : public CommandRunner {
 public:
  struct Answer {
    int status = 0;
    std::string output;
  };
  int Run(const std::string& command, std::string* out, std::string* err) override;
  std::vector<std::string> Commands() const;

  std::function<Answer(const std::string&)> answer;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_commands;
};

// Installs a runner for the object's life and puts the previous one back afterwards.
class ScopedRunner {
 public:
  explicit ScopedRunner(std::shared_ptr<CommandRunner> runner) : m_previous(SetCommandRunner(std::move(runner))) {}
  ~ScopedRunner() { SetCommandRunner(m_previous); }

 private:
  std::shared_ptr<CommandRunner> m_previous;
};

// A base folder with the real helper script and stand-ins for the SSH tools: the zqplink.exe
// stand-in runs the remote command words, joined by blanks, with the local /bin/sh, the way an SSH
// server hands a command to the login shell; the zqpscp.exe stand-in copies with cp. Both append
// "start USER PASSWORD" and "end USER PASSWORD" lines to the file named by ZQ_FAKE_LOG, if set,
// and wait ZQ_FAKE_DELAY seconds in between.
class FakeToolsFolder {
 public:
  FakeToolsFolder();
  const std::string& path() const { return m_dir.path(); }

 private:
  TempDir m_dir;
};

GuestLoginCred MakeLogin(const std::string& user, const std::string& password, const std::string& addresses);

// Names that a shell would take apart if any layer forgot its quoting: both quote kinds, $,
// backquote, backslash, blanks, a leading dash, a newline, non-UTF-8 bytes, a glob, 255 bytes.
// Several carry a command that would leave the file `canary` behind in the working folder.
std::vector<std::string> HostileNames(const std::string& canary);

// Reads a whole file, or "" when it is missing.
std::string ReadIfPresent(const std::string& path);

}  // namespace zqtest
