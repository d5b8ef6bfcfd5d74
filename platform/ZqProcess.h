// Command runner of the host framework: runs one command line through /bin/sh -c.
#pragma once

#include <memory>
#include <string>

// What actually runs a command line; tests may install a double.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Same contract as ZqProcess::system.
  virtual int Run(const std::string& command, std::string* out, std::string* err) = 0;
};
std::shared_ptr<CommandRunner> SetCommandRunner(std::shared_ptr<CommandRunner> runner);  // null: real
std::shared_ptr<CommandRunner> CurrentCommandRunner();

// The real runner: /bin/sh -c, standard input /dev/null, both output streams captured at the same
// time (no deadlock however much the child writes), no descriptor of this process leaks.
class ShellCommandRunner : public CommandRunner {
 public:
  int Run(const std::string& command, std::string* out, std::string* err) override;
};

class ZqProcess {
 public:
  // Returns 0 only when the command ran and exited with status 0. A child killed by a signal or
  // one that could not start is a failure with a text appended to `err`. `out` and `err` may be
  // null; the two last parameters are accepted for the host's signature and not used.
  static int system(const std::string& command, std::string* out, std::string* err, int reserved = 0,
                    bool wait = true);
};
