// zqrestore: the reference host. Restores a backed-up tree into a VM through the plug-in, and
// lets an operator check access to a guest first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "host/CommandWords.h"
#include "host/EntryListing.h"
#include "host/EntrySelection.h"
#include "host/GuestAccess.h"
#include "host/GuestPath.h"
#include "host/GuestPreview.h"
#include "host/GuestShortForm.h"
#include "host/HostLogTap.h"
#include "host/JobFile.h"
#include "host/JobSummary.h"
#include "host/PlanRunner.h"
#include "host/PluginLibrary.h"
#include "host/ProgressDisplay.h"
#include "host/RestoreJob.h"
#include "host/SourceReader.h"
#include "host/SourceTree.h"
#include "host/TerminalLines.h"
#include "platform/ProxyInputFile.h"
#include "platform/ProxyOutputFile.h"
#include "platform/ReplaceChoices.h"
#include "platform/StopRequest.h"
#include "platform/ZQPlatformInfo.h"
#include "platform/pstring.h"

namespace {

std::atomic<bool> g_stopRequested{false};
// The signal that asked first (SIGINT or SIGTERM), and how many arrived.
std::atomic<int> g_stopSignal{0};
std::atomic<int> g_stopSignals{0};
// A plan's jobs are processes of their own: the plan hands each request on to them.
std::atomic<bool> g_runningPlan{false};

void Say(const char* text) {
  const ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
  (void)ignored;
}

// The first SIGINT or SIGTERM is acknowledged at once and lets the current entry finish: the job
// ends cleanly (staging folder removed, summary "interrupted"). The second stops the entry in
// flight too: the copy tool's whole process group ends, the guest keeps its old file. A third
// ends the process as the signal does. Only async-signal-safe calls here. The guest tools run in
// process groups of their own, so Ctrl-C on a terminal reaches only this process.
// SIGHUP (the terminal is gone, or the plan that started this job died) asks for the second step
// at once: no one is left to ask again.
void RequestStop(int signal) {
  int expected = 0;
  g_stopSignal.compare_exchange_strong(expected, signal);
  g_stopRequested.store(true);
  int count = ++g_stopSignals;
  if (signal == SIGHUP && count == 1) count = ++g_stopSignals;
  if (g_runningPlan.load()) {
    if (count == 1) Say("\nzqrestore: no new job starts; running jobs stop after their current entry; Ctrl-C again to stop them now\n");
    if (count == 2) Say("\nzqrestore: stopping the running jobs now\n");
    if (count >= 3) {
      ::signal(signal, SIG_DFL);
      ::raise(signal);
    }
    return;
  }
  if (count == 1) {
    Say("\nzqrestore: stopping after the current entry; Ctrl-C again to stop now\n");
  } else if (count == 2) {
    StopRequest::RequestNow();
    Say("\nzqrestore: stopping now; the entry in flight is abandoned and the guest keeps its old file\n");
  } else {
    PrivateInstallation::RemoveNow();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }
}

// A guest command of the short form ends at once on a signal, without its private folder.
void RemoveAndEnd(int signal) {
  PrivateInstallation::RemoveNow();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

// The descriptors this process was started with (a plan's lock among them, which a job holds for
// its plan) stay its own: none reaches a tool it starts.
void KeepInheritedDescriptors() {
  if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  const long limit = std::min(sysconf(_SC_OPEN_MAX), 65536L);
  for (int fd = STDERR_FILENO + 1; fd < limit; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
}

void InstallRemovalHandlers() {
  struct sigaction action {};
  action.sa_handler = RemoveAndEnd;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}


struct CommonOptions {
  std::string jobFile;
  std::string pluginPath;
  std::string logFile;
  std::string vmInfoLibrary = VMInfoConnection::kLibraryName;
  // -v: one line per entry with its outcome (as --list); -vv: the debug log on standard error too.
  int verbosity = 0;
  ShortFormOptions shortForm;
  const JobFile* shortFormJob = nullptr;  // the job of the short form, built before the run
};

// The log's debug level for -vv: every line the plug-in and the tools write.
constexpr long long kDebugLogLevel = 2;

struct RestoreOptions {
  std::string source;
  std::string sourcePath;  // the subtree of the source to restore; empty: all of it
  std::string imageRoot;   // the file system of a disk image to use; empty: as inspection finds
  SourceLimits limits;
  std::string progress = "auto";
  std::string summaryJson;
  uint64_t maxFailures = 0;
  bool quiet = false;
  bool dryRun = false;
  bool list = false;
  std::string overwrite;    // empty: as the job file says
  std::string destination;  // empty: as the job file says
  bool checksum = false;    // with the job file's checksum
  bool backup = false;      // with the job file's backup
  std::string suffix;       // empty: as the job file says, else "~"
  std::vector<SelectionRule> rules;
};

struct GuestOptions {
  bool preferNative = false;
  std::string browsePath;
  std::string folder;
  std::string localFile;
  std::string guestPath;
  bool overwrite = false;
};

std::string DefaultPluginPath() {
  const char* fromEnvironment = getenv("ZQ_PLUGIN");
  return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : PluginLibrary::kDefaultName;
}

// A message may carry names and words of a guest or a backup: it is printed escaped.
void Complain(const std::string& message) { std::cerr << "zqrestore: " << PrintableText(message) << "\n"; }

// The settings file in force: --settings, else $ZQ_SETTINGS, else the default. Empty `error` when
// it can be read.
std::string SettingsFileInForce(const std::string& fromOption, std::string& error) {
  std::string path = fromOption;
  if (path.empty()) {
    const char* fromEnvironment = getenv(kSettingsEnvVar);
    path = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : kDefaultSettingsPath;
  }
  // Opened as every reader of the settings opens it, so that a file refused there is refused here,
  // with its reason, before anything runs.
  std::string reason;
  bool missing = false;
  if (!ProxyInputFile::Open(path, ProxyInputFile::Role::Config, reason, &missing).valid()) {
    error = missing ? "settings file " + path + " not found (use --settings or " + kSettingsEnvVar + ")"
                    : "settings file " + path + " " + reason;
  }
  return path;
}

// Routes the process's log lines: to the terminal with --verbose, to --log's file or else to the
// installation's log folder when the settings name one; the tap always sees them.
std::shared_ptr<HostLogTap> SetUpLogging(const CommonOptions& options, std::shared_ptr<TerminalLines> terminal,
                                         std::shared_ptr<const SecretMask> mask, std::string& error) {
  std::vector<std::shared_ptr<LogSink>> downstream;
  if (options.verbosity >= 2) {
    SetDebugLevelOverride(kDebugLogLevel);
    downstream.push_back(std::make_shared<TerminalLogSink>(std::move(terminal), std::move(mask)));
  }
  if (!options.logFile.empty()) {
    auto file = std::make_shared<AppendFileLogSink>();
    if (!file->Open(options.logFile, error)) {
      error = "--log: " + error;
      return nullptr;
    }
    downstream.push_back(file);
  } else if (!InstallationLogFile().empty()) {
    // The installation's own log file, checked once here so that a refused one stops the job
    // before it starts rather than sending its lines to standard error.
    const int fd = OpenInstallationLog(error);
    if (fd < 0) return nullptr;
    close(fd);
    downstream.push_back(CurrentLogSink());
  }
  auto tap = std::make_shared<HostLogTap>(std::move(downstream));
  SetLogSink(tap);
  return tap;
}

// Starts the log tap and loads the plug-in. Returns 0, or the exit status after saying what failed.
int StartHost(const CommonOptions& common, const std::shared_ptr<TerminalLines>& terminal,
              const std::shared_ptr<const SecretMask>& mask, std::shared_ptr<HostLogTap>& tap, PluginLibrary& plugin) {
  std::string error;
  tap = SetUpLogging(common, terminal, mask, error);
  if (!tap) {
    Complain(error);
    return kExitUsage;
  }
  if (!plugin.Open(common.pluginPath, error)) {
    Complain(error);
    return kExitHostFailure;
  }
  return 0;
}

std::string LogFileInUse(const CommonOptions& options) {
  return options.logFile.empty() ? InstallationLogFile() : options.logFile;
}

bool ShowProgress(const std::string& mode) {
  if (mode == "always") return true;
  if (mode == "never") return false;
  return isatty(STDERR_FILENO) != 0;
}

// --summary-json's name for standard output.
constexpr const char* kStandardOutput = "-";

// Writes the summary complete or not at all, to a file or ("-") to standard output; names from the
// source tree need not be UTF-8, they are written with replacement characters.
bool WriteJsonFile(const std::string& path, const nlohmann::json& document, std::string& error) {
  const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (path == kStandardOutput) {
    std::cout << text << std::flush;
    if (std::cout) return true;
    error = "cannot write the summary to standard output";
    return false;
  }
  return ProxyOutputFile::WriteWhole(path, text, error);
}

// The one line a refused or failed job prints even with -q.
std::string QuietNotice(const RestoreReport& report, const SecretMask& mask) {
  std::string line = Headline(report);
  if (!report.detail.empty()) return line + ": " + mask.Apply(report.detail);
  if (!report.pendingCauses.empty()) line += " (" + std::to_string(report.pendingCauses.size()) + " job messages)";
  return line;
}

// The job file with the command line's overrides applied; false when the job cannot run as given.
bool PrepareJob(const CommonOptions& common, const RestoreOptions* options, JobFile& job, OverwritePolicy& policy) {
  std::string error;
  if (common.shortFormJob != nullptr) {
    job = *common.shortFormJob;
  } else if (!LoadJobFile(common.jobFile, job, error)) {
    Complain("job file " + error);
    return false;
  }
  policy = job.overwriteAlways ? OverwritePolicy::Always : OverwritePolicy::Newer;
  if (options != nullptr) {
    if (!options->destination.empty()) job.destination = options->destination;
    if (!options->overwrite.empty()) ParseOverwritePolicy(options->overwrite, policy);
    job.overwriteAlways = policy == OverwritePolicy::Always;
    job.checksum = job.checksum || options->checksum;
    job.backup = job.backup || options->backup;
    if (!options->suffix.empty()) job.backupSuffix = options->suffix;
    if (!options->suffix.empty() && !job.backup) {
      Complain("--suffix: a backup suffix needs --backup (or the job's \"backup\": true)");
      return false;
    }
  }
  if (job.backup) {
    const std::string suffixProblem =
        ReplaceChoices::BackupSuffixProblem(job.backupSuffix.empty() ? ReplaceChoices::kDefaultBackupSuffix
                                                                     : job.backupSuffix);
    if (!suffixProblem.empty()) {
      Complain((options != nullptr && !options->suffix.empty() ? "--suffix: " : "job file " + common.jobFile + ": ") +
               suffixProblem);
      return false;
    }
  }
  // A guest command needs no destination; a restore needs one from the job or the command line.
  if (job.destination.empty() && options == nullptr) return true;
  if (job.destination.empty()) {
    Complain("job file " + common.jobFile + " gives no destination: add \"destination\" to it or give --destination");
    return false;
  }
  const std::string problem = DestinationProblem(job.destination, job.unixGuest);
  if (!problem.empty()) {
    Complain((options != nullptr && !options->destination.empty() ? "--destination: " : "job file " + common.jobFile +
                                                                                             ": ") +
             problem);
    return false;
  }
  return true;
}

// Opens a guest channel for reading the destination (--dry-run, --overwrite never).
std::unique_ptr<GuestFolderView> OpenGuestView(GuestSession& session, const JobFile& job,
                                               const CommonOptions& common, std::string& error) {
  if (!session.Open(common.vmInfoLibrary, false, error)) return nullptr;
  GuestSession* reader = &session;
  return std::make_unique<GuestFolderView>(
      job.destination, [reader](const std::string& path, std::vector<VMInfoStructs::SGuestFile>& entries) {
        return reader->Channel().BrowseGuest(reader->Context(), path, entries) != 0;
      });
}

int RunRestore(const CommonOptions& common, const RestoreOptions& options) {
  JobFile job;
  OverwritePolicy policy = OverwritePolicy::Newer;
  if (!PrepareJob(common, &options, job, policy)) return kExitUsage;
  std::string error;
  if (!options.summaryJson.empty() && options.summaryJson != kStandardOutput &&
      !ProxyOutputFile::CheckReplaceable(options.summaryJson, error)) {
    Complain("--summary-json: " + error);
    return kExitUsage;
  }
  SourceTree tree;
  std::unique_ptr<SourceReader> source = OpenSource(options.source, options.limits, error, options.imageRoot);
  if (!source || !source->Walk(options.sourcePath, tree, error)) {
    Complain("source " + error);
    return kExitUsage;
  }
  SelectEntries(options.rules, tree);
  auto terminal = std::make_shared<TerminalLines>(stderr, !options.dryRun && ShowProgress(options.progress));
  std::shared_ptr<HostLogTap> tap;
  PluginLibrary plugin;
  const auto masking =
      std::make_shared<const SecretMask>(std::vector<std::string>{job.server.password, job.guest.password});
  const SecretMask& mask = *masking;
  if (const int status = StartHost(common, terminal, masking, tap, plugin)) return status;
  ProgressDisplay progress(terminal);
  // With the JSON summary on standard output, everything written for a reader goes to standard error.
  const bool jsonOnStdout = options.summaryJson == kStandardOutput;
  std::ostream& text = jsonOnStdout ? std::cerr : std::cout;
  EntryReporter reporter(terminal, terminal->showsStatus() ? &progress : nullptr,
                         options.list || common.verbosity >= 1, mask, jsonOnStdout ? stderr : stdout);
  RestoreJobSettings settings;
  settings.source = source.get();
  settings.maxFailures = options.maxFailures;
  settings.stopRequested = &g_stopRequested;
  settings.progress = terminal->showsStatus() ? &progress : nullptr;
  settings.logTap = tap.get();
  settings.observer = &reporter;
  settings.checkOnly = options.dryRun;

  // A reader of the guest's folders, when the plan needs one: for --overwrite never before the job,
  // for a dry run once the plug-in's checks have passed.
  GuestSession session(job, plugin, mask);
  std::unique_ptr<GuestFolderView> guestView;
  auto openGuestView = [&]() {
    const uint64_t mark = tap->ErrorCount();
    guestView = OpenGuestView(session, job, common, error);
    if (guestView) return true;
    const std::string why = tap->ReasonSince(mark);
    Complain(error + (why.empty() ? "" : ": " + mask.Apply(why)));
    return false;
  };
  if (policy == OverwritePolicy::Never && !options.dryRun && !openGuestView()) return kExitRefused;
  if (policy == OverwritePolicy::Never && !options.dryRun) {
    GuestFolderView* view = guestView.get();
    settings.keepWithoutOffering = [view](const SourceEntry& entry) {
      VMInfoStructs::SGuestFile found;
      return view->Find(entry.relativePath, found);
    };
  }

  InstallStopHandlers();
  RestoreReport report = RestoreJob(job, tree, settings).Run(plugin.Factory());
  report.stopSignal = g_stopSignal.load();
  terminal->ClearStatus();
  report.logFile = LogFileInUse(common);
  report.source = source->Kind();

  if (options.dryRun && report.outcome == JobOutcome::Completed) {
    if (!openGuestView()) return kExitRefused;
    const std::vector<PreviewEntry> previews = PreviewRestore(tree, *guestView, policy, job.checksum);
    // The real run's warning: over SSH a login other than root cannot give entries their owners.
    std::vector<std::string> warnings;
    if (job.restoreACLs && !job.destination.empty() && job.destination[0] == '/' &&
        session.Channel().IsZqGuestAPI() && job.guest.userName != "root") {
      warnings.push_back("owner will not be set: login " + job.guest.userName + " is not root");
    }
    if (!options.quiet) {
      for (const PreviewEntry& preview : previews) text << PreviewLine(preview) << "\n";
      text << RenderDryRunText(job, previews, report, mask, warnings);
    }
    text << std::flush;
    const nlohmann::json summary = RenderDryRunJson(job, previews, report, mask, warnings);
    if (!options.summaryJson.empty() && !WriteJsonFile(options.summaryJson, summary, error)) {
      Complain(error);
      return kExitHostFailure;
    }
    return summary["exitStatus"].get<int>();
  }

  const int status = ExitStatusFor(report);
  SummaryOptions summaryOptions;
  summaryOptions.listKept = options.list;
  if (!options.quiet) {
    text << RenderSummaryText(job, report, mask, summaryOptions) << std::flush;
  } else if (status != kExitSuccess) {
    Complain(QuietNotice(report, mask));
  }
  if (!options.summaryJson.empty() &&
      !WriteJsonFile(options.summaryJson, RenderSummaryJson(job, report, mask, summaryOptions), error)) {
    Complain(error);
    if (status == kExitSuccess) return kExitHostFailure;
  }
  return status;
}

struct PlanCommandOptions {
  std::string planFile;
  PlanOptions run;
};

int RunPlanCommand(PlanCommandOptions& options, const std::string& settingsPath) {
  RestorePlan plan;
  std::string error;
  if (!LoadRestorePlan(options.planFile, plan, error)) {
    Complain("plan " + error);
    return kExitUsage;
  }
  if (!options.run.summaryJson.empty() && options.run.summaryJson != kStandardOutput &&
      !ProxyOutputFile::CheckReplaceable(options.run.summaryJson, error)) {
    Complain("--summary-json: " + error);
    return kExitUsage;
  }
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    Complain("cannot tell where zqrestore itself is installed: " + std::string(strerror(errno)));
    return kExitHostFailure;
  }
  options.run.zqrestore.assign(self, static_cast<size_t>(length));
  options.run.settingsFile = settingsPath;
  options.run.stopRequests = &g_stopSignals;
  const bool jsonOnStdout = options.run.summaryJson == kStandardOutput;
  TerminalLines terminal(stderr, isatty(STDERR_FILENO) != 0);
  g_runningPlan.store(true);
  InstallStopHandlers();
  PlanReport report;
  if (!RunPlan(plan, options.run, terminal, report, error)) {
    Complain(error);
    return kExitUsage;
  }
  report.stopSignal = g_stopSignal.load();
  if (report.interrupted) report.exitStatus = 128 + (report.stopSignal > 0 ? report.stopSignal : SIGINT);
  (jsonOnStdout ? std::cerr : std::cout) << RenderPlanText(plan, report) << std::flush;
  if (!options.run.summaryJson.empty() && !WriteJsonFile(options.run.summaryJson, RenderPlanJson(plan, report), error)) {
    Complain(error);
    if (report.exitStatus == kExitSuccess) return kExitHostFailure;
  }
  return report.exitStatus;
}

struct SourceBrowseOptions {
  std::string source;
  std::string path;
  std::string imageRoot;
  SourceLimits limits;
};

// Lists the entries of a source (below PATH) as "guest browse" lists a guest folder: one line
// each, with what would keep an entry from being restored.
int RunSourceBrowse(const SourceBrowseOptions& options) {
  std::string error;
  SourceTree tree;
  std::unique_ptr<SourceReader> source = OpenSource(options.source, options.limits, error, options.imageRoot);
  if (!source || !source->Walk(options.path, tree, error)) {
    Complain("source " + error);
    return kExitUsage;
  }
  std::cerr << "zqrestore: " << PrintableText(options.source) << " read as " << source->Kind() << "\n";
  for (const SourceEntry& entry : tree.entries) std::cout << FormatSourceEntry(entry) << "\n";
  return kExitSuccess;
}

enum class GuestVerb { Browse, MakeFolder, Put };

int RunGuest(const CommonOptions& common, const GuestOptions& options, GuestVerb verb) {
  JobFile job;
  OverwritePolicy policy = OverwritePolicy::Newer;
  if (!PrepareJob(common, nullptr, job, policy)) return kExitUsage;
  std::string error;
  auto terminal = std::make_shared<TerminalLines>(stderr, false);
  std::shared_ptr<HostLogTap> tap;
  PluginLibrary plugin;
  const auto masking =
      std::make_shared<const SecretMask>(std::vector<std::string>{job.server.password, job.guest.password});
  const SecretMask& mask = *masking;
  if (const int status = StartHost(common, terminal, masking, tap, plugin)) return status;
  GuestSession session(job, plugin, mask);
  // The guest's own words behind a failure, from the log lines written since `mark`.
  auto withReason = [&tap, &mask](const std::string& what, uint64_t mark) {
    const std::string why = tap->ReasonSince(mark);
    return why.empty() || what.find(mask.Apply(why)) != std::string::npos ? what : what + ": " + mask.Apply(why);
  };
  uint64_t mark = tap->ErrorCount();
  if (!session.Open(common.vmInfoLibrary, options.preferNative, error)) {
    Complain(withReason(error, mark));
    return kExitRefused;
  }
  std::cerr << "zqrestore: VM [" << PrintableText(job.vmName) << "] reached through " << session.ChannelKind() << "\n";
  mark = tap->ErrorCount();
  bool ok = false;
  switch (verb) {
    case GuestVerb::Browse: {
      std::vector<VMInfoStructs::SGuestFile> entries;
      ok = session.Browse(options.browsePath, entries, error);
      for (const VMInfoStructs::SGuestFile& entry : entries) std::cout << FormatGuestEntry(entry) << "\n";
      break;
    }
    case GuestVerb::MakeFolder:
      ok = session.MakeFolder(options.folder, error);
      break;
    case GuestVerb::Put:
      ok = session.Put(options.localFile, options.guestPath, options.overwrite, error);
      break;
  }
  if (!ok) {
    // "not found" and "kept" are zqrestore's own findings, with nothing behind them in the log.
    const bool ownFinding = error.rfind("not found:", 0) == 0 || error.rfind("kept:", 0) == 0;
    Complain(ownFinding ? error : withReason(error, mark));
    return kExitEntriesFailed;
  }
  return kExitSuccess;
}

// Run as root, job, plan and settings files that another user owns or may write are refused unless
// the operator vouches for their author.
void AddTrustOption(CLI::App& command, bool& trustPlanAuthor) {
  command.add_flag("--trust-plan-author", trustPlanAuthor,
                   "Run as root: read job, plan and settings files that another user owns or may write");
}

void AddCommonOptions(CLI::App& command, CommonOptions& common, std::string& settingsFile, bool& trustPlanAuthor) {
  AddTrustOption(command, trustPlanAuthor);
  command.add_option("-j,--job", common.jobFile, "Job file (JSON): the VM, credentials, destination, ids")
      ->check(CLI::ExistingFile);
  command.add_option("--guest", common.shortForm.guest,
                     "Instead of --job: the SSH guest as [user@]address[:port]; needs --guest-os and a password");
  command.add_option("--guest-os", common.shortForm.guestOs, "With --guest: linux or windows");
  command.add_option("--password-file", common.shortForm.passwordFile,
                     "With --guest: a file that holds the guest's password (else asked for on a terminal)");
  command.add_option("--password-env", common.shortForm.passwordEnv,
                     "With --guest: the environment variable that holds the guest's password");
  command.add_option("--plugin", common.pluginPath, "The plug-in library to load")->capture_default_str();
  command.add_option("--vminfo", common.vmInfoLibrary, "The VM-information component to load (guest reads)")
      ->capture_default_str();
  command.add_option("--log", common.logFile, "Append the log lines to this file");
  command.add_flag("-v,--verbose", common.verbosity,
                   "One line per entry with its outcome and why (as --list); -vv: the debug log on standard error too");
  // Accepted after the command word as well as before it.
  command.add_option("--settings", settingsFile, "Installation settings file");
}

void AddLimitOptions(CLI::App& command, SourceLimits& limits) {
  command.add_option("--max-entries", limits.maxEntries, "Refuse an archive with more members, or a disk image with more entries, than this")
      ->capture_default_str();
  command.add_option("--max-expanded-size", limits.maxExpandedBytes,
                     "Refuse an archive that expands to more bytes than this (default: the staging file "
                     "system's free space, less a reserve)");
}

// The rules of --include and --exclude in the order they were given.
std::vector<SelectionRule> RulesInOrder(const CLI::App& command, const CLI::Option* include,
                                        const CLI::Option* exclude) {
  std::vector<SelectionRule> rules;
  size_t nextInclude = 0;
  size_t nextExclude = 0;
  for (const CLI::Option* option : command.parse_order()) {
    if (option == include && nextInclude < include->results().size()) {
      rules.push_back({true, include->results()[nextInclude++]});
    } else if (option == exclude && nextExclude < exclude->results().size()) {
      rules.push_back({false, exclude->results()[nextExclude++]});
    }
  }
  return rules;
}

}  // namespace

int main(int argc, char** argv) {
  KeepInheritedDescriptors();
  // A peer that goes away (a stopped libvirtd, a closed pipe) is a failed call, not the end of the
  // job: libvirt's client, like every socket user here, expects SIGPIPE to be ignored.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"zqrestore: restore a backed-up tree into a running VM through the agentless restore plug-in"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("zqrestore ") + ZQ_VERSION);
  std::string settingsFile;
  bool trustPlanAuthor = false;
  app.add_option("--settings", settingsFile, "Installation settings file (default: $ZQ_SETTINGS or " +
                                                 std::string(kDefaultSettingsPath) + ")");

  CommonOptions common;
  common.pluginPath = DefaultPluginPath();
  RestoreOptions restore;
  CLI::App* restoreCommand = app.add_subcommand("restore", "Restore the entries of SOURCE into the job's VM");
  AddCommonOptions(*restoreCommand, common, settingsFile, trustPlanAuthor);
  restoreCommand->add_option("source", restore.source, "The backed-up tree: a folder, an archive, or a single file")
      ->required();
  restoreCommand->add_option("--source-path", restore.sourcePath,
                             "Restore only this folder (or file) of the source; its contents land at the destination");
  restoreCommand->add_option("--image-root", restore.imageRoot,
                             "The file system of a disk image to restore from, where inspection cannot tell (/dev/sda2)");
  AddLimitOptions(*restoreCommand, restore.limits);
  restoreCommand->add_flag("-n,--dry-run", restore.dryRun,
                           "Connect and check, list what would be restored, kept or refused; change nothing");
  restoreCommand->add_flag("-l,--list", restore.list, "One line per entry with its outcome; names kept entries");
  restoreCommand->add_option("--overwrite", restore.overwrite,
                             "When a guest file is replaced: never, newer (the default), always; wins over the job")
      ->check(CLI::IsMember({"never", "newer", "always"}));
  restoreCommand->add_flag("--checksum", restore.checksum,
                           "Keep a guest file of the same size and SHA-256 as the backup's, replace any other");
  restoreCommand->add_flag("--backup", restore.backup,
                           "Keep a guest file that is replaced beside it, under its name and the suffix");
  restoreCommand->add_option("--suffix", restore.suffix, "The backup suffix (default \"~\"); with --backup");
  restoreCommand->add_option("--destination", restore.destination,
                             "The folder inside the guest; wins over the job file's destination");
  CLI::Option* include = restoreCommand->add_option("--include", "Take entries matching PATTERN (rsync rules)")
                             ->type_name("PATTERN")
                             ->allow_extra_args(false)
                             ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  CLI::Option* exclude = restoreCommand->add_option("--exclude", "Leave out entries matching PATTERN (rsync rules)")
                             ->type_name("PATTERN")
                             ->allow_extra_args(false)
                             ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  restoreCommand->add_option("--progress", restore.progress, "Progress display on standard error")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str();
  restoreCommand->add_option("--summary-json", restore.summaryJson,
                             "Also write the summary as JSON to this file (every entry with its outcome); "
                             "-: to standard output, the text going to standard error");
  restoreCommand->add_option("--max-failures", restore.maxFailures, "Stop after this many failed entries (0: never)")
      ->capture_default_str();
  restoreCommand->add_flag("-q,--quiet", restore.quiet, "Print no summary; errors are still printed");

  GuestOptions guest;
  CLI::App* guestCommand = app.add_subcommand("guest", "Reach the job's VM the way a restore would");
  guestCommand->require_subcommand(1);
  AddCommonOptions(*guestCommand, common, settingsFile, trustPlanAuthor);
  guestCommand->add_flag("--native", guest.preferNative, "Try the hypervisor's own guest operations first");
  CLI::App* browse = guestCommand->add_subcommand("browse", "List a guest folder (no PATH: the root)");
  browse->fallthrough();
  browse->add_option("path", guest.browsePath, "Guest path");
  CLI::App* mkdir = guestCommand->add_subcommand("mkdir", "Create a guest folder and its parents");
  mkdir->add_option("path", guest.folder, "Guest folder")->required();
  mkdir->fallthrough();
  CLI::App* put = guestCommand->add_subcommand("put", "Copy one local file into the guest");
  put->add_option("local", guest.localFile, "Local file")->required()->check(CLI::ExistingFile);
  put->add_option("guest-path", guest.guestPath, "Guest file path")->required();
  put->add_flag("--overwrite", guest.overwrite, "Replace an existing guest file");
  put->fallthrough();

  PlanCommandOptions planOptions;
  CLI::App* planCommand =
      app.add_subcommand("plan", "Run the restore jobs of PLAN, several at once, each in a zqrestore of its own");
  planCommand->add_option("plan", planOptions.planFile, "The plan (JSON): {\"jobs\": [{\"job\": ..., \"source\": ...}]}")
      ->required();
  planCommand->add_option("--parallel", planOptions.run.parallel, "How many jobs run at once")
      ->check(CLI::Range(1u, 64u))
      ->capture_default_str();
  planCommand->add_option("--retries", planOptions.run.retries,
                          "Try a job again this often when it failed in a way worth retrying (unreachable, timed out)")
      ->check(CLI::Range(0u, 20u))
      ->capture_default_str();
  planCommand->add_flag("--restart", planOptions.run.restart, "Run every job, also those an earlier run completed");
  planCommand->add_flag("-n,--dry-run", planOptions.run.dryRun, "Run every job's dry run and summarise them");
  planCommand->add_option("--summary-json", planOptions.run.summaryJson,
                          "Also write the plan's summary as JSON to this file; -: to standard output");
  planCommand->add_option("--job-timeout", planOptions.run.jobTimeoutSeconds,
                          "Seconds a job may run before it is stopped (default: a day)")
      ->check(CLI::PositiveNumber);
  planCommand->add_option("--settings", settingsFile, "Installation settings file");
  AddTrustOption(*planCommand, trustPlanAuthor);

  SourceBrowseOptions sourceBrowse;
  CLI::App* sourceCommand = app.add_subcommand("source", "Look into a source before restoring from it");
  sourceCommand->require_subcommand(1);
  CLI::App* sourceBrowseCommand =
      sourceCommand->add_subcommand("browse", "List the entries of SOURCE (below PATH) and what keeps one back");
  sourceBrowseCommand->add_option("source", sourceBrowse.source, "A folder, an archive, or a single file")->required();
  sourceBrowseCommand->add_option("path", sourceBrowse.path, "A folder inside the source");
  sourceBrowseCommand->add_option("--image-root", sourceBrowse.imageRoot,
                                  "The file system of a disk image to list, where inspection cannot tell");
  AddLimitOptions(*sourceBrowseCommand, sourceBrowse.limits);

  const std::string unknownWord = UnknownCommandWord(argc, argv);
  if (!unknownWord.empty()) {
    Complain(unknownWord);
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& failure) {
    const int status = app.exit(failure);
    return status == 0 ? kExitSuccess : kExitUsage;
  }
  restore.rules = RulesInOrder(*restoreCommand, include, exclude);
  ProxyInputFile::TrustOtherAuthors(trustPlanAuthor);
  planOptions.run.trustPlanAuthor = trustPlanAuthor;

  // A plan names its guests job by job; each job's own zqrestore reads its form.
  if (planCommand->parsed()) {
    std::string error;
    const std::string settingsPath = SettingsFileInForce(settingsFile, error);
    if (!error.empty()) {
      Complain(error);
      return kExitUsage;
    }
    setenv(kSettingsEnvVar, settingsPath.c_str(), 1);
    return RunPlanCommand(planOptions, settingsPath);
  }

  if (sourceBrowseCommand->parsed()) return RunSourceBrowse(sourceBrowse);

  CommandShape shape;
  shape.jobGiven = !common.jobFile.empty();
  shape.destinationGiven = !restore.destination.empty();
  shape.needsDestination = restoreCommand->parsed();
  shape.canPrompt = isatty(STDIN_FILENO) != 0;
  const std::string shapeProblem = ShortFormProblem(common.shortForm, shape);
  if (!shapeProblem.empty()) {
    Complain(shapeProblem);
    return kExitUsage;
  }
  const bool shortForm = !common.shortForm.guest.empty();
  GuestAddress guestAddress;
  std::string error;
  if (shortForm && !ParseGuestAddress(common.shortForm.guest, guestAddress, error)) {
    Complain(error);
    return kExitUsage;
  }
  std::string settingsPath = SettingsFileInForce(settingsFile, error);
  if (!error.empty()) {
    // The short form runs on the package's defaults when no settings file was named and the
    // installation has none.
    const bool named = !settingsFile.empty() || (getenv(kSettingsEnvVar) != nullptr && *getenv(kSettingsEnvVar));
    if (!shortForm || named || access(settingsPath.c_str(), F_OK) == 0) {
      Complain(error);
      return kExitUsage;
    }
    settingsPath.clear();
    error.clear();
  }

  // The short form's job is built in memory; its inventory, application configuration and
  // settings go into a private folder that is removed when zqrestore ends.
  JobFile shortFormJob;
  PrivateInstallation privateInstallation;
  if (shortForm) {
    std::string password;
    WipeOnExit wipePassword(password);
    const std::string who = (guestAddress.user.empty() ? std::string() : guestAddress.user + "@") + guestAddress.address;
    if (!ReadGuestPassword(common.shortForm, who, password, error)) {
      Complain(error);
      return kExitUsage;
    }
    BuildShortFormJob(guestAddress, common.shortForm.guestOs == "windows", restore.destination, std::move(password),
                      shortFormJob);
    if (restoreCommand->parsed()) {
      InstallStopHandlers();
    } else {
      InstallRemovalHandlers();
    }
    if (!privateInstallation.Create(settingsPath, guestAddress, shortFormJob, error)) {
      Complain(error);
      return kExitHostFailure;
    }
    settingsPath = privateInstallation.SettingsFile();
    common.shortFormJob = &shortFormJob;
  }
  setenv(kSettingsEnvVar, settingsPath.c_str(), 1);

  if (restoreCommand->parsed()) return RunRestore(common, restore);
  if (browse->parsed()) return RunGuest(common, guest, GuestVerb::Browse);
  if (mkdir->parsed()) return RunGuest(common, guest, GuestVerb::MakeFolder);
  return RunGuest(common, guest, GuestVerb::Put);
}
