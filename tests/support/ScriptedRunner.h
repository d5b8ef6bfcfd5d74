// A command runner for tests, in place of the real one: it records every command line and the
// password the SSH tools would find in ZQ_PUTTY_PASS, and answers from a script. Answers queued
// with Queue come first, in order; then `answer`, when set; otherwise the command succeeds with
// no output, except that "uname -a" answers as a Linux guest.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ZqProcess.h"

namespace zqtest {

class ScriptedRunner : public CommandRunner {
 public:
  struct Answer {
    int status = 0;
    std::string output;
  };

  int Run(const std::string& command, std::string* out, std::string* err) override;
  int RunLimited(const std::string& command, std::string* out, std::string* err,
                 const CommandLimits& limits) override;

  void Queue(Answer next);
  std::vector<std::string> Commands() const;
  // ZQ_PUTTY_PASS while each command ran, "<unset>" where it was not set.
  std::vector<std::string> Passwords() const;
  // The limits each command ran with, as "total N" or "quiet N".
  std::vector<std::string> Limits() const;
  // Forgets the commands and passwords recorded so far.
  void Clear();

  std::function<Answer(const std::string&)> answer;

 private:
  mutable std::mutex m_mutex;
  std::deque<Answer> m_queued;
  std::vector<std::string> m_commands;
  std::vector<std::string> m_passwords;
  std::vector<std::string> m_limits;
};

// Installs a runner for the object's life and puts the previous one back afterwards.
class ScopedRunner {
 public:
  explicit ScopedRunner(std::shared_ptr<CommandRunner> runner) : m_previous(SetCommandRunner(std::move(runner))) {}
  ~ScopedRunner() { SetCommandRunner(m_previous); }
  ScopedRunner(const ScopedRunner&) = delete;
  ScopedRunner& operator=(const ScopedRunner&) = delete;

 private:
  std::shared_ptr<CommandRunner> m_previous;
};

}  // namespace zqtest
