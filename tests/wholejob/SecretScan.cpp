#include "SecretScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace wholejob {

namespace {

std::string ReadProcFile(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

pid_t ParentOf(pid_t pid) {
  const std::string stat = ReadProcFile(pid, "stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  pid_t parent = -1;
  fields >> state >> parent;
  return parent;
}

constexpr const char* kPasswordVariableEntry = "ZQ_PUTTY_PASS=";

bool IsSshToolCommand(const std::string& commandLine) {
  return commandLine.find("zqplink.exe") != std::string::npos || commandLine.find("zqpscp.exe") != std::string::npos;
}

}  // namespace

std::string FindNeedle(const std::string& text, const Needles& needles) {
  for (const std::string& needle : needles) {
    if (!needle.empty() && text.find(needle) != std::string::npos) return needle;
  }
  return "";
}

class TeeLogCapture::TeeSink : public zqtest::CapturingLogSink {
 public:
  void Write(const LogRecord& record) override {
    CapturingLogSink::Write(record);
    if (m_next) m_next->Write(record);
  }
  void SetNext(std::shared_ptr<LogSink> next) { m_next = std::move(next); }

 private:
  std::shared_ptr<LogSink> m_next;
};

TeeLogCapture::TeeLogCapture() : m_sink(std::make_shared<TeeSink>()) {
  m_sink->SetNext(CurrentLogSink());
  m_previous = SetLogSink(m_sink);
}

TeeLogCapture::~TeeLogCapture() { SetLogSink(m_previous); }

zqtest::CapturingLogSink& TeeLogCapture::sink() { return *m_sink; }

std::vector<std::string> FilesHolding(const std::string& folder, const Needles& needles) {
  std::vector<std::string> found;
  std::error_code error;
  const auto options = std::filesystem::directory_options::skip_permission_denied;
  for (std::filesystem::recursive_directory_iterator it(folder, options, error), end; !error && it != end;
       it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    const std::string needle = FindNeedle(zqtest::ReadFile(it->path().string()), needles);
    if (!needle.empty()) found.push_back(it->path().string() + ": " + needle);
  }
  return found;
}

std::vector<pid_t> AllProcesses() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return pids;
}

std::string CommandLineOf(pid_t pid) {
  std::string words = ReadProcFile(pid, "cmdline");
  while (!words.empty() && words.back() == '\0') words.pop_back();
  for (char& c : words) {
    if (c == '\0') c = ' ';
  }
  return words;
}

std::vector<std::string> EnvironmentOf(pid_t pid) {
  std::vector<std::string> entries;
  std::istringstream block(ReadProcFile(pid, "environ"));
  std::string entry;
  while (std::getline(block, entry, '\0')) {
    if (!entry.empty()) entries.push_back(entry);
  }
  return entries;
}

bool DescendsFrom(pid_t pid, pid_t ancestor) {
  for (int depth = 0; pid > 1 && depth < 64; ++depth) {
    pid = ParentOf(pid);
    if (pid == ancestor) return true;
  }
  return false;
}

bool MemoryHolds(pid_t pid, const std::string& text, std::string& problem) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::ifstream maps(base + "/maps");
  const int memory = open((base + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (!maps || memory < 0) {
    problem = "cannot read the memory of " + std::to_string(pid) + ": " + std::strerror(errno);
    if (memory >= 0) close(memory);
    return false;
  }
  constexpr size_t kChunk = 1 << 20;
  std::vector<char> buffer(kChunk + text.size());
  bool found = false;
  std::string region;
  while (!found && std::getline(maps, region)) {
    unsigned long start = 0;
    unsigned long end = 0;
    char permissions[5] = {};
    if (std::sscanf(region.c_str(), "%lx-%lx %4s", &start, &end, permissions) != 3) continue;
    if (permissions[0] != 'r' || permissions[1] != 'w') continue;
    // Chunks overlap by the text's length less one, so that no occurrence is cut in two.
    for (unsigned long at = start; !found && at < end; at += kChunk) {
      const size_t wanted = std::min<unsigned long>(end - at, kChunk + text.size() - 1);
      const ssize_t got = pread(memory, buffer.data(), wanted, static_cast<off_t>(at));
      if (got <= 0) break;
      found = std::search(buffer.begin(), buffer.begin() + got, text.begin(), text.end()) != buffer.begin() + got;
    }
  }
  close(memory);
  return found;
}

namespace {

bool IsOpenSshClient(const std::string& commandLine) {
  const std::string program = commandLine.substr(0, commandLine.find(' '));
  const std::string name = program.substr(program.rfind('/') + 1);
  return name == "ssh" || name == "scp";
}

// Parent of every process, read once per sweep.
std::map<pid_t, pid_t> ParentsOf(const std::vector<pid_t>& pids) {
  std::map<pid_t, pid_t> parents;
  for (pid_t pid : pids) parents[pid] = ParentOf(pid);
  return parents;
}

bool IsBelow(pid_t pid, pid_t ancestor, const std::map<pid_t, pid_t>& parents) {
  for (int depth = 0; pid > 1 && depth < 64; ++depth) {
    const auto parent = parents.find(pid);
    if (parent == parents.end()) return false;
    pid = parent->second;
    if (pid == ancestor) return true;
  }
  return false;
}

bool CarriesPasswordVariable(const std::vector<std::string>& environment) {
  for (const std::string& variable : environment) {
    if (variable.rfind(kPasswordVariableEntry, 0) == 0) return true;
  }
  return false;
}

void AddOnce(std::vector<std::string>& list, std::string entry) {
  if (std::find(list.begin(), list.end(), entry) == list.end()) list.push_back(std::move(entry));
}

}  // namespace

std::vector<std::string> SurvivorsCarryingPasswords(const std::vector<std::string>& scopes, const Needles& needles,
                                                    int& examined) {
  std::vector<std::string> leaks;
  examined = 0;
  const pid_t self = getpid();
  for (pid_t pid : AllProcesses()) {
    if (pid == self) continue;
    const std::string commandLine = CommandLineOf(pid);
    std::string entries;
    bool valued = false;
    for (const std::string& variable : EnvironmentOf(pid)) {
      entries += variable + '\n';
      valued |= variable.rfind(kPasswordVariableEntry, 0) == 0 && variable.size() > std::strlen(kPasswordVariableEntry);
    }
    const bool inScope = std::any_of(scopes.begin(), scopes.end(), [&](const std::string& scope) {
      return commandLine.find(scope) != std::string::npos || entries.find(scope) != std::string::npos;
    });
    if (!inScope) continue;
    ++examined;
    if (valued || !FindNeedle(entries, needles).empty()) leaks.push_back(std::to_string(pid) + ": " + commandLine);
  }
  return leaks;
}

ProcessWatch::ProcessWatch(Needles needles) : m_needles(std::move(needles)) {
  m_thread = std::thread([this]() {
    while (!m_stop.load()) {
      Sweep();
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
}

ProcessWatch::~ProcessWatch() { Stop(); }

void ProcessWatch::Stop() {
  m_stop.store(true);
  if (m_thread.joinable()) m_thread.join();
}

void ProcessWatch::Sweep() {
  const pid_t self = getpid();
  const std::vector<pid_t> pids = AllProcesses();
  const std::map<pid_t, pid_t> parents = ParentsOf(pids);
  std::vector<std::string> commandLineLeaks;
  std::vector<std::string> environmentLeaks;
  int toolSightings = 0;
  int openSshSightings = 0;
  for (pid_t pid : pids) {
    const std::string commandLine = CommandLineOf(pid);
    if (commandLine.empty()) continue;
    const std::string described = std::to_string(pid) + ": " + commandLine;
    if (!FindNeedle(commandLine, m_needles).empty()) commandLineLeaks.push_back(described);
    // The tools take the password from the variable, so they and the shells starting them carry it.
    if (IsSshToolCommand(commandLine)) {
      ++toolSightings;
      continue;
    }
    if (!IsBelow(pid, self, parents)) continue;
    const std::vector<std::string> environment = EnvironmentOf(pid);
    if (IsOpenSshClient(commandLine) && !environment.empty()) ++openSshSightings;
    // Neither the variable nor the password under any other name.
    std::string entries;
    for (const std::string& variable : environment) entries += variable + '\n';
    if (CarriesPasswordVariable(environment) || !FindNeedle(entries, m_needles).empty()) {
      environmentLeaks.push_back(described);
    }
  }
  std::lock_guard<std::mutex> guard(m_mutex);
  m_toolSightings += toolSightings;
  m_openSshSightings += openSshSightings;
  for (std::string& leak : commandLineLeaks) AddOnce(m_commandLineLeaks, std::move(leak));
  for (std::string& leak : environmentLeaks) AddOnce(m_environmentLeaks, std::move(leak));
}

std::vector<std::string> ProcessWatch::CommandLineLeaks() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_commandLineLeaks;
}

std::vector<std::string> ProcessWatch::EnvironmentLeaks() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_environmentLeaks;
}

int ProcessWatch::ToolSightings() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_toolSightings;
}

int ProcessWatch::OpenSshSightings() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_openSshSightings;
}

}  // namespace wholejob
