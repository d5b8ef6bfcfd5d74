// What zqrestore tells the user when a job ends: the summary (text or JSON) and the exit status.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "host/JobFile.h"
#include "host/RestoreJob.h"
#include "host/SecretMask.h"

// Exit statuses of zqrestore (docs/zqrestore.md).
enum ExitStatus : int {
  kExitSuccess = 0,       // the job ran and no entry failed
  kExitEntriesFailed = 1,  // the job ran; at least one entry failed or was not attempted
  kExitUsage = 2,         // bad command line, job file or source folder
  kExitRefused = 3,       // the plug-in refused the job (see the pending causes)
  kExitHostFailure = 4,   // the host could not run the job (plug-in not loadable, staging not writable)
  kExitInterrupted = 130  // stopped by SIGINT; by another signal 128 and its number (143: SIGTERM)
};

int ExitStatusFor(const RestoreReport& report);

// How many failed entries the text summary lists; the JSON summary lists them all.
constexpr size_t kFailuresListed = 20;

// What the summary shows beyond the counts.
struct SummaryOptions {
  bool listKept = false;  // the names of kept entries (--list)
};

std::string RenderSummaryText(const JobFile& job, const RestoreReport& report, const SecretMask& mask,
                              const SummaryOptions& options = {});
nlohmann::json RenderSummaryJson(const JobFile& job, const RestoreReport& report, const SecretMask& mask,
                                 const SummaryOptions& options = {});

// "log         PATH", or why no log was kept; empty report.logFile means none.
std::string LogLine(const RestoreReport& report);

// How the job ended, in the operator's words: "completed", "completed with 3 failed", "interrupted
// (stopped on request)", "refused while checking the VM and the guest login". Never names a call
// of the plug-in.
std::string Headline(const RestoreReport& report);

// A step of the job (a plug-in call or a host step) as the operator knows it: "while ...".
std::string StepInOperatorWords(const std::string& step);

// What kind of failure a failed entry's reason tells, in the operator's words: "no space left",
// "permission denied", "not a folder", "a link refused", "timed out", "guest unreachable"; empty
// when the reason says none of these. Paths in brackets are not read, so a file named "link" or
// "timed out" does not decide it.
std::string FailureCause(const std::string& reason);

// "restored", "kept", "failed".
const char* EntryOutcomeName(EntryOutcome outcome);

// "completed", "refused", "host failure", "interrupted".
const char* OutcomeName(JobOutcome outcome);
