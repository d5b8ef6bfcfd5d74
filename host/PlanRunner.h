// Runs a restore plan: up to N jobs at once, each in a zqrestore process of its own (the plug-in's
// command lock is process-wide, so threads would not run guests side by side), with retries of the
// failures worth retrying, a state that lets a second run skip what completed, and one summary.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "host/RestorePlan.h"

class TerminalLines;

struct PlanOptions {
  std::string zqrestore;     // the program each job runs (this zqrestore)
  std::string settingsFile;  // handed to every job
  unsigned parallel = 2;
  unsigned retries = 0;            // more tries for a job that failed in a way worth retrying
  double retryDelaySeconds = 10;   // before the first retry; doubles with each one
  double jobTimeoutSeconds = 24 * 3600;  // a job still running then is stopped as on Ctrl-C
  bool restart = false;            // ignore what an earlier run completed
  bool dryRun = false;
  bool trustPlanAuthor = false;    // handed to every job: its job and settings files are the plan author's
  std::string summaryJson;         // empty: none; "-": standard output
  // Counted by the signal handler: the first stops starting jobs and interrupts the running ones
  // after their current entry, the second stops their entries in flight too.
  const std::atomic<int>* stopRequests = nullptr;
};

// One job's line in the plan's summary.
struct PlanJobReport {
  const PlanJob* job = nullptr;
  PlanJobResult result;
  bool skipped = false;  // completed in an earlier run of the plan
  bool started = false;
  std::string summaryFile;
  std::string outputFile;
};

struct PlanReport {
  std::string stateFile;
  std::string jobsFolder;
  std::vector<PlanJobReport> jobs;
  bool interrupted = false;
  int stopSignal = 0;
  int exitStatus = 0;
  double seconds = 0;
};

// Where a plan keeps its state and its jobs' summaries and output: beside its summary file, or
// beside the plan when the summary has no file.
std::string PlanStateFile(const RestorePlan& plan, const PlanOptions& options);

// Runs the plan. False with `error` (and nothing started) when the plan's state or its jobs'
// folder cannot be used; otherwise the report says how every job ended.
bool RunPlan(const RestorePlan& plan, const PlanOptions& options, TerminalLines& terminal, PlanReport& report,
             std::string& error);

// The variables a job's zqrestore may see: a fixed allow-list (locale, paths, time zone, ZQ_*,
// libguestfs' own), and the variables that the plan or the job's job file names as password
// sources. Every other variable of this process stays here.
std::vector<std::string> JobEnvironment(const PlanJob& job, char** environment);

std::string RenderPlanText(const RestorePlan& plan, const PlanReport& report);
nlohmann::json RenderPlanJson(const RestorePlan& plan, const PlanReport& report);
