#include "ScriptedRunner.h"

#include <cstdlib>

namespace zqtest {

int ScriptedRunner::Run(const std::string& command, std::string* out, std::string* err) {
  Answer reply;
  bool queued = false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_commands.push_back(command);
    const char* password = std::getenv("ZQ_PUTTY_PASS");
    m_passwords.push_back(password != nullptr ? password : "<unset>");
    if (!m_queued.empty()) {
      reply = m_queued.front();
      m_queued.pop_front();
      queued = true;
    }
  }
  if (!queued) {
    if (answer) {
      reply = answer(command);
    } else if (command.find("uname -a") != std::string::npos) {
      reply.output = "Linux guest 6.1.0 x86_64 GNU/Linux\n";
    }
  }
  if (out != nullptr) *out = reply.output;
  if (err != nullptr) err->clear();
  return reply.status;
}

int ScriptedRunner::RunLimited(const std::string& command, std::string* out, std::string* err,
                               const CommandLimits& limits) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_limits.push_back(limits.inactivitySeconds > 0 ? "quiet " + std::to_string(limits.inactivitySeconds)
                                                    : "total " + std::to_string(limits.totalSeconds));
  }
  return Run(command, out, err);
}

std::vector<std::string> ScriptedRunner::Limits() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_limits;
}

void ScriptedRunner::Queue(Answer next) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_queued.push_back(std::move(next));
}

std::vector<std::string> ScriptedRunner::Commands() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_commands;
}

std::vector<std::string> ScriptedRunner::Passwords() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_passwords;
}

void ScriptedRunner::Clear() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_commands.clear();
  m_passwords.clear();
  m_limits.clear();
}

}  // namespace zqtest
