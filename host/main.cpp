// zqrestore: the reference host. Restores a backed-up tree into a VM through the plug-in, and
// lets an operator check access to a guest first.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "GuestAccess.h"
#include "HostLogTap.h"
#include "JobFile.h"
#include "JobSummary.h"
#include "PluginLibrary.h"
#include "ProgressDisplay.h"
#include "RestoreJob.h"
#include "SourceTree.h"
#include "TerminalLines.h"
#include "platform/ZQPlatformInfo.h"

namespace {

std::atomic<bool> g_stopRequested{false};

void RequestStop(int) { g_stopRequested.store(true); }

// The first SIGINT or SIGTERM lets the current entry finish and the job end cleanly (staging
// folder removed); a second one ends the process at once.
void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

struct CommonOptions {
  std::string jobFile;
  std::string pluginPath;
  std::string logFile;
  bool verbose = false;
};

struct RestoreOptions {
  std::string sourceRoot;
  std::string progress = "auto";
  std::string summaryJson;
  uint64_t maxFailures = 0;
  bool quiet = false;
};

struct GuestOptions {
  std::string vmInfoLibrary = VMInfoConnection::kLibraryName;
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

void Complain(const std::string& message) { std::cerr << "zqrestore: " << message << "\n"; }

// Routes the process's log lines: to the terminal with --verbose, to --log's file or else to the
// installation's log folder when the settings name one; the tap always sees them.
std::shared_ptr<HostLogTap> SetUpLogging(const CommonOptions& options, std::shared_ptr<TerminalLines> terminal,
                                         std::string& error) {
  std::vector<std::shared_ptr<LogSink>> downstream;
  if (options.verbose) downstream.push_back(std::make_shared<TerminalLogSink>(std::move(terminal)));
  if (!options.logFile.empty()) {
    auto file = std::make_shared<AppendFileLogSink>();
    if (!file->Open(options.logFile, error)) return nullptr;
    downstream.push_back(file);
  } else {
    std::string folder;
    if (ZQPlatformInfo::getString("Log", "Directory", &folder) && !folder.empty()) {
      downstream.push_back(CurrentLogSink());  // the installation's own log file
    }
  }
  auto tap = std::make_shared<HostLogTap>(std::move(downstream));
  SetLogSink(tap);
  return tap;
}

bool ShowProgress(const std::string& mode) {
  if (mode == "always") return true;
  if (mode == "never") return false;
  return isatty(STDERR_FILENO) != 0;
}

bool WriteJsonFile(const std::string& path, const nlohmann::json& document, std::string& error) {
  std::ofstream file(path, std::ios::trunc);
  // Names from the source tree need not be UTF-8; they are written with replacement characters.
  file << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  if (!file) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

int RunRestore(const CommonOptions& common, const RestoreOptions& options) {
  JobFile job;
  std::string error;
  if (!LoadJobFile(common.jobFile, job, error)) {
    Complain("job file " + error);
    return kExitUsage;
  }
  SourceTree tree;
  if (!WalkSourceTree(options.sourceRoot, tree, error)) {
    Complain("source folder " + error);
    return kExitUsage;
  }
  auto terminal = std::make_shared<TerminalLines>(stderr, ShowProgress(options.progress));
  std::shared_ptr<HostLogTap> tap = SetUpLogging(common, terminal, error);
  if (!tap) {
    Complain(error);
    return kExitUsage;
  }
  PluginLibrary plugin;
  if (!plugin.Open(common.pluginPath, error)) {
    Complain(error);
    return kExitHostFailure;
  }
  SecretMask mask({job.server.password, job.guest.password});
  ProgressDisplay progress(terminal);
  RestoreJobSettings settings;
  settings.sourceRoot = options.sourceRoot;
  settings.maxFailures = options.maxFailures;
  settings.stopRequested = &g_stopRequested;
  settings.progress = terminal->showsStatus() ? &progress : nullptr;
  settings.logTap = tap.get();
  InstallStopHandlers();
  const RestoreReport report = RestoreJob(job, tree, settings).Run(plugin.Factory());
  terminal->ClearStatus();

  if (!options.quiet) std::cout << RenderSummaryText(job, report, mask) << std::flush;
  if (!options.summaryJson.empty() &&
      !WriteJsonFile(options.summaryJson, RenderSummaryJson(job, report, mask), error)) {
    Complain(error);
  }
  return ExitStatusFor(report);
}

enum class GuestVerb { Browse, MakeFolder, Put };

int RunGuest(const CommonOptions& common, const GuestOptions& options, GuestVerb verb) {
  JobFile job;
  std::string error;
  if (!LoadJobFile(common.jobFile, job, error)) {
    Complain("job file " + error);
    return kExitUsage;
  }
  auto terminal = std::make_shared<TerminalLines>(stderr, false);
  std::shared_ptr<HostLogTap> tap = SetUpLogging(common, terminal, error);
  if (!tap) {
    Complain(error);
    return kExitUsage;
  }
  PluginLibrary plugin;
  if (!plugin.Open(common.pluginPath, error)) {
    Complain(error);
    return kExitHostFailure;
  }
  SecretMask mask({job.server.password, job.guest.password});
  GuestSession session(job, plugin, mask);
  if (!session.Open(options.vmInfoLibrary, options.preferNative, error)) {
    Complain(error);
    return kExitRefused;
  }
  std::cerr << "zqrestore: VM [" << job.vmName << "] reached through " << session.ChannelKind() << "\n";
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
    Complain(error);
    return kExitEntriesFailed;
  }
  return kExitSuccess;
}

void AddCommonOptions(CLI::App& command, CommonOptions& common) {
  command.add_option("-j,--job", common.jobFile, "Job file (JSON): the VM, credentials, destination, ids")
      ->required()
      ->check(CLI::ExistingFile);
  command.add_option("--plugin", common.pluginPath, "The plug-in library to load")->capture_default_str();
  command.add_option("--log", common.logFile, "Append the log lines to this file");
  command.add_flag("-v,--verbose", common.verbose, "Show the log lines on standard error as they are written");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zqrestore: restore a backed-up tree into a running VM through the agentless restore plug-in"};
  app.require_subcommand(1);
  std::string settingsFile;
  app.add_option("--settings", settingsFile, "Installation settings file (default: $ZQ_SETTINGS or " +
                                                 std::string(kDefaultSettingsPath) + ")")
      ->check(CLI::ExistingFile);

  CommonOptions common;
  common.pluginPath = DefaultPluginPath();
  RestoreOptions restore;
  CLI::App* restoreCommand = app.add_subcommand("restore", "Restore the entries of SOURCE into the job's VM");
  AddCommonOptions(*restoreCommand, common);
  restoreCommand->add_option("source", restore.sourceRoot, "The backed-up tree (a folder)")->required();
  restoreCommand->add_option("--progress", restore.progress, "Progress display on standard error")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str();
  restoreCommand->add_option("--summary-json", restore.summaryJson, "Also write the summary as JSON to this file");
  restoreCommand->add_option("--max-failures", restore.maxFailures, "Stop after this many failed entries (0: never)")
      ->capture_default_str();
  restoreCommand->add_flag("-q,--quiet", restore.quiet, "Print no summary; the exit status tells the outcome");

  GuestOptions guest;
  CLI::App* guestCommand = app.add_subcommand("guest", "Reach the job's VM the way a restore would");
  guestCommand->require_subcommand(1);
  AddCommonOptions(*guestCommand, common);
  guestCommand->add_option("--vminfo", guest.vmInfoLibrary, "The VM-information component to load")
      ->capture_default_str();
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

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& failure) {
    const int status = app.exit(failure);
    return status == 0 ? kExitSuccess : kExitUsage;
  }
  if (!settingsFile.empty()) setenv(kSettingsEnvVar, settingsFile.c_str(), 1);

  if (restoreCommand->parsed()) return RunRestore(common, restore);
  if (browse->parsed()) return RunGuest(common, guest, GuestVerb::Browse);
  if (mkdir->parsed()) return RunGuest(common, guest, GuestVerb::MakeFolder);
  return RunGuest(common, guest, GuestVerb::Put);
}
