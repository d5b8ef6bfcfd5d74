#include "tools/AskPass.h"

#include <unistd.h>

#include <boost/algorithm/string/trim.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/pstring.h"
#include "tools/OpenSshCommand.h"

namespace AskPass {

namespace {

// The tool, then scp, then ssh, then this askpass run: at most three generations apart.
constexpr int kMaxGenerations = 3;

pid_t MarkedTool() {
  const char* marker = std::getenv(OpenSshCommand::kAskPassMarker);
  if (marker == nullptr) return 0;
  char* end = nullptr;
  long pid = std::strtol(marker, &end, 10);
  return (end != marker && *end == '\0' && pid > 1) ? static_cast<pid_t>(pid) : 0;
}

pid_t ParentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  long parent = 0;
  fields >> state >> parent;
  return static_cast<pid_t>(parent);
}

}  // namespace

bool IsRequested() { return MarkedTool() != 0; }

bool IsAncestor(pid_t pid, int generations) {
  pid_t current = getppid();
  for (int step = 0; step < generations && current > 1; ++step) {
    if (current == pid) return true;
    current = ParentOf(current);
  }
  return false;
}

bool ReadStartEnvironment(pid_t pid, const std::string& name, std::string& value) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  if (!in) return false;
  std::string prefix = name + "=";
  std::string entry;
  WipeOnExit wipeEntry(entry);  // the entry read last may be the password's
  while (std::getline(in, entry, '\0')) {
    if (entry.compare(0, prefix.size(), prefix) == 0) {
      value = entry.substr(prefix.size());
      return true;
    }
  }
  return false;
}

bool IsLoginPrompt(const std::string& question, const std::string& user, const std::string& host) {
  if (user.empty() || host.empty()) return false;
  const std::string asked = boost::algorithm::trim_right_copy(question);
  return asked == user + "@" + host + "'s password:" ||
         asked == user.substr(0, 30) + "@" + host.substr(0, 128) + "'s password:" ||
         asked == "(" + user + "@" + host + ") Password:";
}

int Answer(const std::string& question) {
  const char* user = std::getenv(OpenSshCommand::kAskPassUser);
  const char* host = std::getenv(OpenSshCommand::kAskPassHost);
  if (user == nullptr || host == nullptr || !IsLoginPrompt(question, user, host)) return 1;
  pid_t tool = MarkedTool();
  std::string password;
  WipeOnExit wipePassword(password);
  if (!IsAncestor(tool, kMaxGenerations) ||
      !ReadStartEnvironment(tool, OpenSshCommand::kPasswordVariable, password) || password.empty()) {
    return 1;
  }
  std::printf("%s\n", password.c_str());
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace AskPass
