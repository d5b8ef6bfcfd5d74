// One run of a plan at a time. Two runs of the same plan would restore the same entries side by
// side, append to the same job output and overwrite each other's state, so a run holds an
// exclusive lock on a file beside the plan's state for as long as it or any of its jobs lives:
// each job inherits the locked descriptor on purpose, so a plan killed outright still counts as
// running until its last job has ended. A second run is refused, and told which run holds the
// lock (its process and when it started).
#pragma once

#include <string>

class PlanLock {
 public:
  PlanLock() = default;
  ~PlanLock();
  PlanLock(const PlanLock&) = delete;
  PlanLock& operator=(const PlanLock&) = delete;

  // Takes the lock file `path` (the plan's state file name with ".lock"), made 0600 in the state
  // file's folder and opened as the other files a plan writes (never through a link, ours alone,
  // one link). False with `error` when the file cannot be used or another run holds it; `plan`
  // names the plan in that message.
  bool Acquire(const std::string& path, const std::string& plan, std::string& error);

  // The locked descriptor (close-on-exec): a job's process clears that flag in its own copy only.
  int Descriptor() const { return m_fd; }

 private:
  int m_fd = -1;
};
