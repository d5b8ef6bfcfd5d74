// Doubles shared by the Unix channel tests: a VM-information object that only knows its kind, and a
// base folder with stand-ins for the SSH tools. The scripted command runner is the shared one.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "guestapi/ZQUnixGuestAPI.h"
#include "platform/ZqProcess.h"
#include "support/Credentials.h"
#include "support/RefusingVMInfo.h"
#include "support/ScriptedRunner.h"
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

// Names that a shell would take apart if any layer forgot its quoting: both quote kinds, $,
// backquote, backslash, blanks, a leading dash, a newline, non-UTF-8 bytes, a glob, 255 bytes.
// Several carry a command that would leave the file `canary` behind in the working folder.
std::vector<std::string> HostileNames(const std::string& canary);

// Reads a whole file, or "" when it is missing.
inline std::string ReadIfPresent(const std::string& path) { return ReadFile(path); }

}  // namespace zqtest
