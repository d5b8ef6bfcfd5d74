#include "host/JobSummary.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/HumanUnits.h"
#include "host/MessageCatalogue.h"
#include "host/TerminalLines.h"

namespace {

std::string Hex(int code) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

double HostThroughput(const RestoreReport& report) {
  return report.entryPhaseSeconds > 0 ? static_cast<double>(report.counts.bytesRestored) / report.entryPhaseSeconds
                                      : 0;
}

std::string Plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string OwnerWarning(const RestoreReport& report);

// What the summary warns about: owners a login could not set, guest sessions that were off.
std::vector<std::string> Warnings(const RestoreReport& report) {
  std::vector<std::string> warnings;
  if (report.ownerNotSet > 0) warnings.push_back(OwnerWarning(report));
  if (!report.sessionsOff.empty()) warnings.push_back(report.sessionsOff);
  return warnings;
}

std::string OwnerWarning(const RestoreReport& report) {
  return "owner not set on " + Plural(report.ownerNotSet, "entry", "entries") + ": login " + report.ownerLogin +
         " is not root";
}

void WriteCounts(std::ostringstream& out, const RestoreReport& report) {
  const RestoreCounts& counts = report.counts;
  out << "  restored    " << Plural(counts.restoredFiles + counts.restoredFolders, "entry", "entries") << ": "
      << Plural(counts.restoredFiles, "file", "files") << " (" << FormatBytes(counts.bytesRestored) << "), "
      << Plural(counts.restoredFolders, "folder", "folders") << "\n";
  out << "  kept        " << Plural(counts.kept, "entry", "entries")
      << " (the guest already had them: a file as new or newer, or the folder)\n";
  out << "  failed      " << Plural(counts.failed, "entry", "entries") << "\n";
  if (counts.skipped > 0) {
    out << "  skipped     " << Plural(counts.skipped, "entry", "entries")
        << " (links, devices, pipes and sockets are not restored)\n";
  }
  for (const std::string& warning : Warnings(report)) out << "  warning     " << PrintableText(warning) << "\n";
  if (counts.notAttempted > 0) {
    out << "  not tried   " << Plural(counts.notAttempted, "entry", "entries") << "\n";
  }
}

void WriteTimes(std::ostringstream& out, const RestoreReport& report) {
  out << "  elapsed     " << FormatDuration(report.elapsedSeconds) << " (whole job; entries "
      << FormatDuration(report.entryPhaseSeconds) << ")\n";
  out << "  throughput  " << FormatRate(HostThroughput(report))
      << " (measured by zqrestore: bytes restored / time spent on entries)\n";
}

void WriteStaging(std::ostringstream& out, const RestoreReport& report, const SecretMask& mask) {
  if (report.stagingFolder.empty()) return;
  out << "  staging     " << PrintableText(report.stagingFolder) << (report.stagingRemoved ? " (removed)" : " (NOT removed)");
  if (!report.stagingProblem.empty()) out << "; " << PrintableText(mask.Apply(report.stagingProblem));
  out << "\n";
}

void WriteKept(std::ostringstream& out, const RestoreReport& report) {
  if (report.keptPaths.empty()) return;
  out << "Kept entries (the guest's copy was left alone):\n";
  for (const std::string& path : report.keptPaths) out << "  " << PrintableText(path) << "\n";
}

void WritePendingCauses(std::ostringstream& out, const RestoreReport& report, const SecretMask& mask) {
  if (report.pendingCauses.empty()) return;
  out << "Job messages:\n";
  for (const PendingCause& cause : report.pendingCauses) {
    out << "  "
        << PrintableText(mask.Apply(MessageCatalogue::Render(cause.code, cause.arguments, FailureCause(report.detail))))
        << " ["
        << Hex(cause.code)
        << "]\n";
  }
}

void WriteFailures(std::ostringstream& out, const RestoreReport& report, const SecretMask& mask) {
  if (report.failures.empty()) return;
  out << "Failed entries:\n";
  for (size_t i = 0; i < report.failures.size() && i < kFailuresListed; ++i) {
    const std::string cause = FailureCause(report.failures[i].reason);
    out << "  " << PrintableText(report.failures[i].path) << ": " << (cause.empty() ? "" : cause + ": ")
        << PrintableText(mask.Apply(report.failures[i].reason)) << "\n";
  }
  if (report.failures.size() > kFailuresListed) {
    out << "  ... and " << report.failures.size() - kFailuresListed
        << " more (--summary-json lists them all)\n";
  }
}

void WriteSkipped(std::ostringstream& out, const RestoreReport& report) {
  if (report.skippedEntries.empty()) return;
  out << "Skipped entries:\n";
  for (size_t i = 0; i < report.skippedEntries.size() && i < kFailuresListed; ++i) {
    out << "  " << PrintableText(report.skippedEntries[i].path) << ": "
        << PrintableText(report.skippedEntries[i].reason) << "\n";
  }
  if (report.skippedEntries.size() > kFailuresListed) {
    out << "  ... and " << report.skippedEntries.size() - kFailuresListed << " more (--summary-json lists them all)\n";
  }
}

}  // namespace

std::string FailureCause(const std::string& reason) {
  // The reason without its bracketed names, in lower case.
  std::string words;
  int depth = 0;
  for (const char c : reason) {
    if (c == '[') ++depth;
    if (depth == 0) words += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c == ']' && depth > 0) --depth;
  }
  static const std::pair<const char*, std::vector<const char*>> kCauses[] = {
      {"no space left", {"no space left", "disk quota", "quota exceeded", "not enough space", "disk is full"}},
      {"timed out", {"timed out", "time limit", "timeout"}},
      {"guest unreachable",
       {"connection refused", "no route to host", "could not resolve", "network is unreachable",
        "agent is not answering", "not answering"}},
      {"permission denied", {"permission denied", "access is denied", "access to the path", "operation not permitted",
                             "unauthorizedaccess"}},
      {"not a folder", {"not a directory", "not a folder"}},
      {"a link refused", {"link", "reparse point", "junction"}},
  };
  for (const auto& [cause, signs] : kCauses) {
    for (const char* sign : signs) {
      if (words.find(sign) != std::string::npos) return cause;
    }
  }
  return "";
}

const char* EntryOutcomeName(EntryOutcome outcome) {
  switch (outcome) {
    case EntryOutcome::Restored:
      return "restored";
    case EntryOutcome::Kept:
      return "kept";
    case EntryOutcome::Failed:
      return "failed";
    case EntryOutcome::Skipped:
      return "skipped";
  }
  return "unknown";
}

std::string StepInOperatorWords(const std::string& step) {
  static const std::pair<const char*, const char*> kSteps[] = {
      {"CreateVSAgentlessRestoreToVMObject", "while starting the plug-in"},
      {"Init", "while starting the plug-in"},
      {"restore options", "while reading the job"},
      {"GetJobOptions", "while checking the VM and the guest login"},
      {"GenerateGuestAndStagingFolders", "while preparing the destination folder in the guest"},
      {"InitStagingFolder", "while preparing the staging folder on the proxy"},
      {"staging folder", "while preparing the staging folder on the proxy"},
  };
  for (const auto& [name, words] : kSteps) {
    if (step == name) return words;
  }
  return step.empty() ? std::string() : "while " + step;
}

std::string Headline(const RestoreReport& report) {
  const RestoreCounts& counts = report.counts;
  std::string line;
  switch (report.outcome) {
    case JobOutcome::Completed:
      line = counts.failed == 0 ? "completed" : "completed with " + std::to_string(counts.failed) + " failed";
      if (counts.notAttempted > 0) line += ", " + std::to_string(counts.notAttempted) + " not tried";
      return line;
    case JobOutcome::Interrupted:
      line = "interrupted";
      if (!report.interruption.empty()) line += " (" + report.interruption + ")";
      return line;
    case JobOutcome::Refused:
      line = "refused";
      break;
    case JobOutcome::HostFailure:
      line = "failed on the proxy";
      break;
  }
  const std::string step = StepInOperatorWords(report.failedStep);
  return step.empty() ? line : line + " " + step;
}

const char* OutcomeName(JobOutcome outcome) {
  switch (outcome) {
    case JobOutcome::Completed:
      return "completed";
    case JobOutcome::Refused:
      return "refused";
    case JobOutcome::HostFailure:
      return "host failure";
    case JobOutcome::Interrupted:
      return "interrupted";
  }
  return "unknown";
}

int ExitStatusFor(const RestoreReport& report) {
  switch (report.outcome) {
    case JobOutcome::Completed:
      return report.counts.failed == 0 && report.counts.notAttempted == 0 ? kExitSuccess : kExitEntriesFailed;
    case JobOutcome::Refused:
      return kExitRefused;
    case JobOutcome::HostFailure:
      return kExitHostFailure;
    case JobOutcome::Interrupted:
      if (!report.stoppedOnRequest) return kExitEntriesFailed;
      return report.stopSignal > 0 ? 128 + report.stopSignal : kExitInterrupted;
  }
  return kExitHostFailure;
}

std::string LogLine(const RestoreReport& report) {
  if (report.logFile.empty()) {
    return "  log         not kept (set [Log] Directory in the settings, or give --log FILE)\n";
  }
  return "  log         " + PrintableText(report.logFile) + "\n";
}

std::string RenderSummaryText(const JobFile& job, const RestoreReport& report, const SecretMask& mask,
                              const SummaryOptions& options) {
  std::ostringstream out;
  out << "Restore into VM [" << PrintableText(job.vmName) << "] folder [" << PrintableText(report.guestFolder)
      << "]: " << PrintableText(Headline(report)) << "\n";
  if (!report.detail.empty()) out << "  reason      " << PrintableText(mask.Apply(report.detail)) << "\n";
  if (!report.source.empty()) out << "  source      " << PrintableText(report.source) << "\n";
  if (report.outcome == JobOutcome::Completed || report.outcome == JobOutcome::Interrupted) {
    WriteCounts(out, report);
    WriteTimes(out, report);
  } else {
    out << "  elapsed     " << FormatDuration(report.elapsedSeconds) << "\n";
  }
  WriteStaging(out, report, mask);
  out << LogLine(report);
  WritePendingCauses(out, report, mask);
  WriteFailures(out, report, mask);
  WriteSkipped(out, report);
  if (options.listKept) WriteKept(out, report);
  return out.str();
}

nlohmann::json RenderSummaryJson(const JobFile& job, const RestoreReport& report, const SecretMask& mask,
                                 const SummaryOptions& options) {
  using nlohmann::json;
  const RestoreCounts& counts = report.counts;
  json causes = json::array();
  for (const PendingCause& cause : report.pendingCauses) {
    json arguments = json::array();
    for (const std::string& argument : cause.arguments) arguments.push_back(mask.Apply(argument));
    causes.push_back({{"code", Hex(cause.code)},
                      {"arguments", arguments},
                      {"text", mask.Apply(MessageCatalogue::Render(cause.code, cause.arguments,
                                                                   FailureCause(report.detail)))}});
  }
  json skipped = json::array();
  for (const EntryFailure& entry : report.skippedEntries) skipped.push_back({{"path", entry.path}, {"reason", entry.reason}});
  json failures = json::array();
  for (const EntryFailure& failure : report.failures) {
    failures.push_back(
        {{"path", failure.path}, {"cause", FailureCause(failure.reason)}, {"reason", mask.Apply(failure.reason)}});
  }
  json entries = json::array();
  for (const EntryRecord& entry : report.entries) {
    json record{{"path", entry.path}, {"outcome", EntryOutcomeName(entry.outcome)}, {"reason", mask.Apply(entry.reason)}};
    if (entry.outcome == EntryOutcome::Failed) record["cause"] = FailureCause(entry.reason);
    entries.push_back(std::move(record));
  }
  const CounterReading& counter = report.counter;
  json summary = json{
      {"vmName", job.vmName},
      {"guestFolder", report.guestFolder},
      {"outcome", OutcomeName(report.outcome)},
      {"headline", Headline(report)},
      {"exitStatus", static_cast<int>(ExitStatusFor(report))},
      {"failedStep", report.failedStep},
      {"detail", mask.Apply(report.detail)},
      {"interruption", report.interruption},
      {"restoredFiles", counts.restoredFiles},
      {"restoredFolders", counts.restoredFolders},
      {"kept", counts.kept},
      {"failed", counts.failed},
      {"skipped", counts.skipped},
      {"notAttempted", counts.notAttempted},
      {"bytesRestored", counts.bytesRestored},
      {"bytesKept", counts.bytesKept},
      {"elapsedSeconds", report.elapsedSeconds},
      {"entryPhaseSeconds", report.entryPhaseSeconds},
      {"hostBytesPerSecond", HostThroughput(report)},
      {"counter",
       {{"seen", counter.seen},
        {"copies", counter.intervals},
        {"totalBytes", counter.totalBytes},
        {"totalSeconds", counter.totalSeconds},
        {"bytesPerSecond", counter.bytesPerSecond}}},
      {"stagingFolder", report.stagingFolder},
      {"stagingRemoved", report.stagingRemoved},
      {"stagingProblem", mask.Apply(report.stagingProblem)},
      {"pendingCauses", causes},
      {"failures", failures},
      {"entries", entries},
      {"skippedEntries", skipped},
      {"logFile", report.logFile},
      {"source", report.source},
  };
  summary["warnings"] = Warnings(report);
  if (options.listKept) summary["keptEntries"] = report.keptPaths;
  return summary;
}
