// A restore plan: many restore jobs, each run by its own zqrestore process. This half reads the
// plan file, turns each job into the command line of a single restore, classes how a job ended,
// and keeps the plan's state between runs; PlanRunner.h runs the jobs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

// One job of a plan. Paths are as the plan gives them, resolved against the plan's folder.
struct PlanJob {
  std::string name;  // as the output names the job: its "name", else the VM's name, else "job N"
  std::string jobFile;
  std::string source;
  std::string sourcePath;
  std::string destination;
  std::string overwrite;  // empty: as the job file says
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  // The one-command form, instead of a job file.
  std::string guest;
  std::string guestOs;
  std::string passwordFile;
  std::string passwordEnv;
  // What identifies the job between runs of the same plan (its index and what it restores where).
  std::string key;
};

struct RestorePlan {
  std::string path;    // the plan file
  std::string folder;  // its folder, against which relative paths are read
  std::vector<PlanJob> jobs;
};

// Bounds on a plan file, so that a mistaken file cannot exhaust the proxy.
constexpr uint64_t kMaxPlanBytes = 4 * 1024 * 1024;
constexpr size_t kMaxPlanJobs = 10000;

// Reads `path`: {"jobs": [{"job": ..., "source": ..., ...}, ...]}. Strict: an unknown key, a job
// without a source, a job with both a job file and a guest, or a password written into the plan
// is refused with `error` naming the job and the member. The file is opened as
// ProxyInputFile::Role::Config: run as root, a plan another user owns or may write is refused
// unless --trust-plan-author was given. False with `error` when refused.
bool LoadRestorePlan(const std::string& path, RestorePlan& plan, std::string& error);

// The options for one job's own zqrestore, after "restore" (the summary, output and settings
// options are added by the runner). `dryRun` adds --dry-run.
std::vector<std::string> RestoreArguments(const PlanJob& job, bool dryRun);

// How a job ended, from its exit status and its JSON summary (null when it wrote none).
enum class PlanJobOutcome { Completed, Failed, Interrupted };
struct PlanJobResult {
  PlanJobOutcome outcome = PlanJobOutcome::Failed;
  bool retryable = false;  // unreachable, timed out, the agent not answering: worth another try
  std::string cause;       // in the operator's words; empty when completed
  uint64_t restored = 0;
  uint64_t kept = 0;
  uint64_t failed = 0;
  double seconds = 0;
  int exitStatus = 0;
  int attempts = 0;
};
PlanJobResult ClassifyJobEnd(int exitStatus, const nlohmann::json& summary);

// What a plan remembers between runs: the result of every job that ended, by key.
class PlanState {
 public:
  // Reads the state file, opened as ProxyInputFile::Role::State; a missing file is an empty state.
  // False with `error` for a file that is there but cannot be read as a state, or that another user
  // may have planted (not ours, a hard link, a link, in a folder others may change).
  bool Load(const std::string& path, std::string& error);
  // Written complete or not at all.
  bool Save(const std::string& path, std::string& error) const;

  bool Completed(const std::string& key) const;
  void Record(const std::string& key, const PlanJobResult& result);
  const std::map<std::string, PlanJobResult>& Results() const { return m_results; }

 private:
  std::map<std::string, PlanJobResult> m_results;
};

// "completed", "failed", "interrupted".
const char* PlanOutcomeName(PlanJobOutcome outcome);
