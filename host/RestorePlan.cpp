#include "host/RestorePlan.h"

#include <set>

#include <nlohmann/json.hpp>

#include "host/JobSummary.h"
#include "platform/ProxyInputFile.h"
#include "platform/ProxyOutputFile.h"

namespace {

using nlohmann::json;

// A job file is small; one larger than this is not read for its VM's name.
constexpr uint64_t kMaxJobFileBytes = 1024 * 1024;

std::string ResolvedAgainst(const std::string& folder, const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  return folder + "/" + path;
}

// Reads `path` whole as a file of `role`, but never more than `limit` bytes: a larger file is
// refused without being read into memory. `error` names the file and the cause.
bool ReadWhole(const std::string& path, ProxyInputFile::Role role, uint64_t limit, std::string& text,
               std::string& error, bool* missing = nullptr) {
  if (ProxyInputFile::ReadText(path, role, static_cast<size_t>(limit), text, error, missing)) return true;
  error = path + " " + error;
  return false;
}

// The VM a job file names, for the plan's output; empty when the file does not say (the job's own
// zqrestore reports a job file it cannot read).
std::string VmNameOf(const std::string& jobFile) {
  std::string text;
  std::string ignored;
  if (!ReadWhole(jobFile, ProxyInputFile::Role::Config, kMaxJobFileBytes, text, ignored)) return "";
  const json document = json::parse(text, nullptr, false);
  if (!document.is_object() || !document.contains("vm") || !document["vm"].is_object()) return "";
  const json& vm = document["vm"];
  return vm.contains("name") && vm["name"].is_string() ? vm["name"].get<std::string>() : "";
}

// Reads one job; `where` is "job N" for the messages.
bool ReadJob(const json& object, const std::string& folder, const std::string& where, PlanJob& job,
             std::string& error) {
  if (!object.is_object()) {
    error = where + " is not an object";
    return false;
  }
  static const std::set<std::string> kKeys = {"name",    "job",         "source",  "sourcePath",   "destination",
                                              "overwrite", "include",   "exclude", "guest",        "guestOs",
                                              "passwordFile", "passwordEnv"};
  for (const auto& [key, value] : object.items()) {
    if (key == "password") {
      error = where + ": a password is never written into a plan; use passwordFile or passwordEnv";
      return false;
    }
    if (kKeys.count(key) == 0) {
      error = where + ": unknown member \"" + key + "\"";
      return false;
    }
    const bool list = key == "include" || key == "exclude";
    if (list ? !value.is_array() : !value.is_string()) {
      error = where + ": \"" + key + "\" must be " + (list ? "a list of texts" : "a text");
      return false;
    }
  }
  auto text = [&object](const char* key) { return object.contains(key) ? object[key].get<std::string>() : ""; };
  auto texts = [&](const char* key, std::vector<std::string>& out) {
    if (!object.contains(key)) return true;
    for (const json& item : object[key]) {
      if (!item.is_string()) {
        error = where + ": \"" + key + "\" must be a list of texts";
        return false;
      }
      out.push_back(item.get<std::string>());
    }
    return true;
  };
  job.name = text("name");
  job.jobFile = ResolvedAgainst(folder, text("job"));
  job.source = ResolvedAgainst(folder, text("source"));
  job.sourcePath = text("sourcePath");
  job.destination = text("destination");
  job.overwrite = text("overwrite");
  job.guest = text("guest");
  job.guestOs = text("guestOs");
  job.passwordFile = ResolvedAgainst(folder, text("passwordFile"));
  job.passwordEnv = text("passwordEnv");
  if (!texts("include", job.include) || !texts("exclude", job.exclude)) return false;
  if (job.source.empty()) {
    error = where + ": \"source\" is required";
  } else if (job.jobFile.empty() == job.guest.empty()) {
    error = where + ": give either \"job\" (a job file) or \"guest\" (the one-command form), not both";
  } else if (!job.overwrite.empty() && job.overwrite != "never" && job.overwrite != "newer" &&
             job.overwrite != "always") {
    error = where + ": \"overwrite\" must be never, newer or always";
  } else if (!job.passwordFile.empty() && !job.passwordEnv.empty()) {
    error = where + ": give one of \"passwordFile\" and \"passwordEnv\"";
  } else if (job.guest.empty() && (!job.guestOs.empty() || !job.passwordFile.empty() || !job.passwordEnv.empty())) {
    error = where + ": \"guestOs\", \"passwordFile\" and \"passwordEnv\" belong to the one-command form (\"guest\")";
  }
  if (!error.empty()) return false;
  if (job.name.empty()) job.name = !job.guest.empty() ? job.guest : VmNameOf(job.jobFile);
  if (job.name.empty()) job.name = where;
  return true;
}

}  // namespace

bool LoadRestorePlan(const std::string& path, RestorePlan& plan, std::string& error) {
  error.clear();
  std::string text;
  if (!ReadWhole(path, ProxyInputFile::Role::Config, kMaxPlanBytes, text, error)) return false;
  const json document = json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    error = path + ": not a JSON object";
    return false;
  }
  for (const auto& [key, value] : document.items()) {
    if (key != "jobs") {
      error = path + ": unknown member \"" + key + "\"";
      return false;
    }
  }
  if (!document.contains("jobs") || !document["jobs"].is_array() || document["jobs"].empty()) {
    error = path + ": \"jobs\" must be a list of at least one job";
    return false;
  }
  if (document["jobs"].size() > kMaxPlanJobs) {
    error = path + ": more than " + std::to_string(kMaxPlanJobs) + " jobs";
    return false;
  }
  plan.path = path;
  const size_t slash = path.find_last_of('/');
  plan.folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  plan.jobs.clear();
  std::set<std::string> names;
  for (size_t i = 0; i < document["jobs"].size(); ++i) {
    PlanJob job;
    const std::string where = "job " + std::to_string(i + 1);
    if (!ReadJob(document["jobs"][i], plan.folder, where, job, error)) {
      error = path + ": " + error;
      return false;
    }
    if (!names.insert(job.name).second) job.name += " (" + where + ")";
    // The key survives edits elsewhere in the plan only when the job itself is unchanged.
    job.key = std::to_string(i + 1) + "|" + (job.jobFile.empty() ? job.guest : job.jobFile) + "|" + job.source + "|" +
              job.sourcePath + "|" + job.destination;
    plan.jobs.push_back(std::move(job));
  }
  return true;
}

std::vector<std::string> RestoreArguments(const PlanJob& job, bool dryRun) {
  std::vector<std::string> arguments;
  if (!job.jobFile.empty()) arguments.insert(arguments.end(), {"--job", job.jobFile});
  if (!job.guest.empty()) arguments.insert(arguments.end(), {"--guest", job.guest});
  if (!job.guestOs.empty()) arguments.insert(arguments.end(), {"--guest-os", job.guestOs});
  if (!job.passwordFile.empty()) arguments.insert(arguments.end(), {"--password-file", job.passwordFile});
  if (!job.passwordEnv.empty()) arguments.insert(arguments.end(), {"--password-env", job.passwordEnv});
  if (!job.destination.empty()) arguments.insert(arguments.end(), {"--destination", job.destination});
  if (!job.overwrite.empty()) arguments.insert(arguments.end(), {"--overwrite", job.overwrite});
  if (!job.sourcePath.empty()) arguments.insert(arguments.end(), {"--source-path", job.sourcePath});
  for (const std::string& pattern : job.include) arguments.insert(arguments.end(), {"--include", pattern});
  for (const std::string& pattern : job.exclude) arguments.insert(arguments.end(), {"--exclude", pattern});
  if (dryRun) arguments.push_back("--dry-run");
  // "--" keeps a source whose name starts with "-" a source.
  arguments.insert(arguments.end(), {"--", job.source});
  return arguments;
}

PlanJobResult ClassifyJobEnd(int exitStatus, const nlohmann::json& summary) {
  PlanJobResult result;
  result.exitStatus = exitStatus;
  if (summary.is_object()) {
    result.restored = summary.value("restoredFiles", uint64_t{0}) + summary.value("restoredFolders", uint64_t{0});
    result.kept = summary.value("kept", uint64_t{0});
    result.failed = summary.value("failed", uint64_t{0});
    result.seconds = summary.value("elapsedSeconds", 0.0);
  }
  const std::string headline = summary.is_object() ? summary.value("headline", std::string()) : std::string();
  const std::string detail = summary.is_object() ? summary.value("detail", std::string()) : std::string();
  switch (exitStatus) {
    case kExitSuccess:
      result.outcome = PlanJobOutcome::Completed;
      return result;
    case 128 + 2:
    case 128 + 15:
      result.outcome = PlanJobOutcome::Interrupted;
      result.cause = "interrupted";
      return result;
    case kExitRefused: {
      // A guest that cannot be reached or answers too late may be back on the next try; a refused
      // login, a wrong destination or a missing VM will not be.
      const std::string cause = FailureCause(detail);
      result.retryable = cause == "guest unreachable" || cause == "timed out";
      result.cause = headline.empty() ? "refused" : headline;
      if (!detail.empty()) result.cause += ": " + detail;
      return result;
    }
    case kExitEntriesFailed:
      result.cause = headline.empty() ? "entries failed in the guest" : headline;
      return result;
    case kExitUsage:
      result.cause = "the job was refused before it started (see its output)";
      return result;
    case kExitHostFailure:
      result.cause = headline.empty() ? "failed on the proxy" : headline;
      if (!detail.empty()) result.cause += ": " + detail;
      return result;
    default:
      result.cause = "zqrestore ended with status " + std::to_string(exitStatus);
      return result;
  }
}

const char* PlanOutcomeName(PlanJobOutcome outcome) {
  switch (outcome) {
    case PlanJobOutcome::Completed:
      return "completed";
    case PlanJobOutcome::Failed:
      return "failed";
    case PlanJobOutcome::Interrupted:
      return "interrupted";
  }
  return "unknown";
}

bool PlanState::Load(const std::string& path, std::string& error) {
  m_results.clear();
  // A state says which jobs to skip: one that another user could have written is refused, and the
  // plan does not run until it is removed or --restart sets it aside.
  std::string text;
  bool missing = false;
  if (!ReadWhole(path, ProxyInputFile::Role::State, kMaxPlanBytes * 4, text, error, &missing)) {
    if (missing) {
      error.clear();
      return true;
    }
    error = "the plan's state " + error + " (remove it, or run with --restart)";
    return false;
  }
  const json document = json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object() || !document.contains("jobs") ||
      !document["jobs"].is_object()) {
    error = path + ": not a plan's state (remove it, or run with --restart)";
    return false;
  }
  for (const auto& [key, value] : document["jobs"].items()) {
    if (!value.is_object()) continue;
    PlanJobResult result;
    const std::string outcome = value.value("outcome", std::string());
    result.outcome = outcome == "completed"     ? PlanJobOutcome::Completed
                     : outcome == "interrupted" ? PlanJobOutcome::Interrupted
                                                : PlanJobOutcome::Failed;
    result.cause = value.value("cause", std::string());
    result.attempts = value.value("attempts", 0);
    result.exitStatus = value.value("exitStatus", 0);
    m_results[key] = result;
  }
  return true;
}

bool PlanState::Save(const std::string& path, std::string& error) const {
  json jobs = json::object();
  for (const auto& [key, result] : m_results) {
    jobs[key] = {{"outcome", PlanOutcomeName(result.outcome)},
                 {"cause", result.cause},
                 {"attempts", result.attempts},
                 {"exitStatus", result.exitStatus}};
  }
  const json document{{"jobs", jobs}};
  return ProxyOutputFile::WriteWhole(path, document.dump(2, ' ', false, json::error_handler_t::replace) + "\n", error);
}

bool PlanState::Completed(const std::string& key) const {
  const auto found = m_results.find(key);
  return found != m_results.end() && found->second.outcome == PlanJobOutcome::Completed;
}

void PlanState::Record(const std::string& key, const PlanJobResult& result) { m_results[key] = result; }
