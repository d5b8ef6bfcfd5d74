// Command runner of the host framework: runs one command line through /bin/sh -c.
#pragma once

#include <memory>
#include <string>

// How long one command may take; 0 means no limit of that kind. A command past a limit is ended
// together with every process of its process group, and fails with a text in its error output.
struct CommandLimits {
  int totalSeconds = 0;  // from start to end
  // With no output and no reading or writing by any process of the command's process group (the
  // I/O counters of /proc/PID/io) for this long, the command counts as hung.
  int inactivitySeconds = 0;
};

// Exit status that ZqProcess::system reports for a command ended at one of its limits, or on the
// operator's request to stop now (StopRequest.h), which also keeps a new command from starting.
constexpr int kCommandLimitStatus = 124;

// What actually runs a command line; tests may install a double.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Same contract as ZqProcess::system.
  virtual int Run(const std::string& command, std::string* out, std::string* err) = 0;
  // The same with time limits; a double that does not look at limits need not override it.
  virtual int RunLimited(const std::string& command, std::string* out, std::string* err,
                         const CommandLimits& limits) {
    (void)limits;
    return Run(command, out, err);
  }
};
std::shared_ptr<CommandRunner> SetCommandRunner(std::shared_ptr<CommandRunner> runner);  // null: real
std::shared_ptr<CommandRunner> CurrentCommandRunner();

// The real runner: /bin/sh -c, standard input /dev/null, both output streams captured at the same
// time (no deadlock however much the child writes), no descriptor of this process leaks.
// With a limit the child leads a process group of its own, so that everything it started can be
// ended with it.
class ShellCommandRunner : public CommandRunner {
 public:
  int Run(const std::string& command, std::string* out, std::string* err) override;
  int RunLimited(const std::string& command, std::string* out, std::string* err,
                 const CommandLimits& limits) override;
};

class ZqProcess {
 public:
  // Returns 0 only when the command ran and exited with status 0. A child killed by a signal or
  // one that could not start is a failure with a text appended to `err`. `out` and `err` may be
  // null; the two last parameters are accepted for the host's signature and not used.
  static int system(const std::string& command, std::string* out, std::string* err, int reserved = 0,
                    bool wait = true);
  // The same within `limits`; a command ended at a limit returns kCommandLimitStatus and its error
  // output ends with a line that names the limit.
  static int system(const std::string& command, std::string* out, std::string* err, const CommandLimits& limits);
};
