// The backup host's side of a whole restore-to-VM job, played against the built plug-in: it loads
// libVSAgentlessRestoreToVM.so with dlopen, makes a controller through the exported factory and
// drives it only through IVSAgentlessRestoreToVM, in the host's order:
//
//   factory, Init, GetJobOptions (restore options built from JSON), GenerateGuestAndStagingFolders,
//   InitStagingFolder, then per entry: write it below the published staging folder and RestoreToVM,
//   and finally DeInitStagingFolder and delete.
//
// A step that fails ends the job there, as a host abandons it; the record says how far it got.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/ZQJobClient.h"

namespace wholejob {

// One restored entry as the host stages it, with the values of its per-entry header.
struct StagedEntry {
  std::string path;  // below the staging folder, '/'-separated
  bool folder = false;
  std::string content;  // files only
  int64_t mode = 0;
  int64_t uid = 0;
  int64_t gid = 0;
  int64_t mtime = 0;  // also the staged entry's own modification time
  int64_t ctime = 0;  // the header's second time
};

// The staged entry's own permission bits, as the host's restore stream leaves them.
constexpr int kStagedMode = 0600;

struct EntryResult {
  bool restored = false;
  std::string guestPath;
  bool skipped = false;
  bool attributesApplied = false;
};

struct JobRequest {
  nlohmann::json options;        // the restore options in their readable form
  std::string destination;       // destinationPath of FSRSetParams
  int64_t hostInstanceType = 0;  // instanceType of FSRInitDataVer2 before the job
};

struct JobRecord {
  bool controllerCreated = false;
  bool jobOptionsAccepted = false;
  bool foldersPrepared = false;     // GenerateGuestAndStagingFolders
  bool stagingInitialised = false;  // InitStagingFolder
  bool stagingReleased = false;     // DeInitStagingFolder
  std::string stagingFolder;        // the path the controller published, empty if none
  std::vector<EntryResult> entries;
  std::vector<PendingCause> pendingCauses;
  int64_t instanceTypeAfterOptions = 0;
};

// Application ids of the job records; the application configuration of JobSite matches them.
constexpr unsigned long kVMAppId = 1001;
constexpr unsigned long long kJobId = 4242;
constexpr const char* kClientName = "proxy-wholejob";

// Runs one whole job through the plug-in. Failures of the harness itself (the plug-in cannot be
// loaded, the options do not parse) are test failures; the job's own results are in the record.
JobRecord RunWholeJob(const JobRequest& request, const std::vector<StagedEntry>& tree);

}  // namespace wholejob
