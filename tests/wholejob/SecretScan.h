// Looking for passwords wherever a job could leave them: log lines (in memory and in the log
// file), files, the command lines of every process on the machine while a job runs, and the
// environment of processes that outlive a job.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace wholejob {

// Texts that betray a password: the password itself and, for passwords with quote characters,
// a distinctive piece that survives any quoting.
using Needles = std::vector<std::string>;

// The first needle found in `text`, or "" when there is none.
std::string FindNeedle(const std::string& text, const Needles& needles);

// Captures every log line in memory and also passes it on to the sink it replaced, so that the
// lines reach the log file in the "Log"/"Directory" folder as well.
class TeeLogCapture {
 public:
  TeeLogCapture();
  ~TeeLogCapture();
  TeeLogCapture(const TeeLogCapture&) = delete;
  TeeLogCapture& operator=(const TeeLogCapture&) = delete;
  zqtest::CapturingLogSink& sink();

 private:
  class TeeSink;
  std::shared_ptr<TeeSink> m_sink;
  std::shared_ptr<LogSink> m_previous;
};

// "path: needle" for every regular file below `folder` that holds a needle.
std::vector<std::string> FilesHolding(const std::string& folder, const Needles& needles);

std::vector<pid_t> AllProcesses();
// The command line with its words separated by blanks; "" for a process that is gone.
std::string CommandLineOf(pid_t pid);
// The environment as "NAME=value" entries; empty for a process that is gone or not readable.
std::vector<std::string> EnvironmentOf(pid_t pid);
// Whether `pid` descends from `ancestor`.
bool DescendsFrom(pid_t pid, pid_t ancestor);

// Whether the memory of `pid` holds `text` anywhere in its writable data (heap, stack and other
// private memory, where a process keeps its environment once it has rewritten its process title).
// False with `problem` set when the memory cannot be read.
bool MemoryHolds(pid_t pid, const std::string& text, std::string& problem);

// "pid: command line" of each process of the machine whose command line or environment holds one
// of `scopes` (an installation's folder: its shared connections' command lines name it, and its
// guest sessions carry its settings file in their environment; processes of other jobs on this
// machine, which share the tools, do not) and
// whose environment, as /proc shows it, holds a needle or a value for the password variable. Run
// after a job, it finds what outlived the job still carrying the password: a guest session that
// only unset the variable keeps its value readable there. `examined` counts the processes looked at.
std::vector<std::string> SurvivorsCarryingPasswords(const std::vector<std::string>& scopes, const Needles& needles,
                                                    int& examined);

// Watches the processes of the machine, over and over on a thread of its own, from construction
// until Stop (or destruction), so that even a process that lives for a few milliseconds is seen:
// - the command line of every process must not hold a needle;
// - no process of this test (below this process) may carry the SSH password variable, or a
//   password under any name, in its environment, except the proxy's SSH tools themselves and the
//   shells that start them.
class ProcessWatch {
 public:
  explicit ProcessWatch(Needles needles);
  ~ProcessWatch();
  ProcessWatch(const ProcessWatch&) = delete;
  ProcessWatch& operator=(const ProcessWatch&) = delete;

  void Stop();
  // "pid: command line" of each command line that held a needle.
  std::vector<std::string> CommandLineLeaks() const;
  // "pid: command line" of each process that carried the password variable but may not.
  std::vector<std::string> EnvironmentLeaks() const;
  // How often a command line of the proxy's SSH tools, and an OpenSSH client below this process
  // with a readable environment, were seen: proof that the watch looked while commands ran.
  int ToolSightings() const;
  int OpenSshSightings() const;

 private:
  void Sweep();

  Needles m_needles;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;
  std::vector<std::string> m_commandLineLeaks;
  std::vector<std::string> m_environmentLeaks;
  int m_toolSightings = 0;
  int m_openSshSightings = 0;
  std::thread m_thread;
};

}  // namespace wholejob
