// One restore job driven through the plug-in's controller interface, in the host's calling order:
// factory, Init, GetJobOptions, GenerateGuestAndStagingFolders, InitStagingFolder, one RestoreToVM
// per entry, DeInitStagingFolder, delete.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "controller/IVSAgentlessRestoreToVM.h"
#include "host/HostLogTap.h"
#include "host/JobFile.h"
#include "host/SourceTree.h"
#include "host/StagingWriter.h"
#include "platform/ZQJobClient.h"

// How far a job came.
enum class JobOutcome {
  Completed,    // every entry was offered to the plug-in
  Refused,      // the plug-in refused the job before the first entry
  HostFailure,  // the host could not run the job (no controller, staging folder not writable)
  Interrupted,  // stopped on request (signal) or after too many failed entries
};

struct RestoreCounts {
  uint64_t restoredFiles = 0;
  uint64_t restoredFolders = 0;
  uint64_t kept = 0;          // the guest had the same or a newer file; left alone
  uint64_t failed = 0;
  uint64_t skipped = 0;       // links, devices, pipes, sockets: never restored (IsSkippedKind)
  uint64_t notAttempted = 0;  // left over when the job stopped early
  uint64_t bytesRestored = 0;
  uint64_t bytesKept = 0;

  uint64_t EntriesDone() const { return restoredFiles + restoredFolders + kept + failed + skipped; }
};

enum class EntryOutcome { Restored, Kept, Failed, Skipped };

// What became of one entry, in restore order (every entry the job offered or counted).
struct EntryRecord {
  std::string path;  // relative to the source folder
  EntryOutcome outcome = EntryOutcome::Restored;
  std::string reason;  // why it was kept or failed; empty for a restored entry
};

struct EntryFailure {
  std::string path;    // relative to the source folder
  std::string reason;  // the host's own reason, or the plug-in's last error line
};

struct RestoreReport {
  JobOutcome outcome = JobOutcome::HostFailure;
  std::string failedStep;  // the controller operation (or host step) that stopped the job
  std::string detail;      // the error line behind a refusal or the host's failure
  std::string interruption;
  bool stoppedOnRequest = false;  // by a signal, not by too many failures
  int stopSignal = 0;             // the signal that asked (SIGINT, SIGTERM); 0: not known
  std::vector<PendingCause> pendingCauses;
  RestoreCounts counts;
  std::vector<EntryFailure> failures;
  std::vector<EntryFailure> skippedEntries;  // with the kind that kept each back
  std::vector<std::string> keptPaths;  // relative to the source folder, in restore order
  std::vector<EntryRecord> entries;    // every entry with its outcome, in restore order
  // Restored entries whose owner the guest login could not set (a login other than root on a Unix
  // guest), and that login.
  uint64_t ownerNotSet = 0;
  std::string ownerLogin;
  std::string sessionsOff;  // why guest sessions were off (every command logged in); empty: they were not
  std::string guestFolder;    // the destination inside the guest, as the job gave it
  std::string stagingFolder;  // as the plug-in published it; empty if it never did
  bool stagingRemoved = true;
  std::string stagingProblem;
  double elapsedSeconds = 0;       // the whole job, factory to delete
  double entryPhaseSeconds = 0;    // first entry staged to last entry answered
  CounterReading counter;          // the plug-in's "VM Write Speed" counter, as it logged it
  std::string logFile;             // where the log lines were kept; empty: nowhere (set by the caller)
  std::string source;              // what the source was read as ("archive (...)"); set by the caller
};

// Told about the job's progress, entry by entry (the terminal display implements it).
class RestoreProgress {
 public:
  virtual ~RestoreProgress() = default;
  virtual void EntriesStarting(const SourceTree& tree) = 0;
  // A staged file of `size` bytes is handed to the plug-in to copy into the guest.
  virtual void FileCopyStarting(const std::string& /*stagedPath*/, uint64_t /*size*/) {}
  virtual void EntryDone(const RestoreCounts& counts) = 0;
  virtual void EntriesFinished() = 0;
};

// Told about each entry as it is offered and when its outcome is known (--list, the progress line).
class EntryObserver {
 public:
  virtual ~EntryObserver() = default;
  virtual void EntryStarting(const SourceEntry& entry) = 0;
  // `reason` says why an entry was kept, failed or was skipped; empty for a restored one. A folder
  // whose attributes fail on the final pass is told again, as failed.
  virtual void EntryFinished(const SourceEntry& entry, EntryOutcome outcome, const std::string& reason) = 0;
};

// Why an entry was kept, in the words of --list, -v and the JSON summary.
extern const char* const kKeptNeverReplace;  // --overwrite never, and the guest has the file
extern const char* const kKeptGuestAsNew;    // the plug-in kept the guest's file
extern const char* const kKeptSameContent;   // the same, deciding by content
extern const char* const kKeptFolderExists;  // a folder the guest had already

using ControllerPtr = std::unique_ptr<IVSAgentlessRestoreToVM>;
// Makes a controller, as the plug-in's exported factory does; null when it cannot.
using ControllerFactory = std::function<ControllerPtr()>;

struct RestoreJobSettings {
  // Where the files' content comes from: `source` when set (it outlives the job), else the folder
  // `sourceRoot`.
  SourceReader* source = nullptr;
  std::string sourceRoot;
  uint64_t maxFailures = 0;                         // stop after this many failed entries; 0: never
  const std::atomic<bool>* stopRequested = nullptr;  // set from a signal handler
  RestoreProgress* progress = nullptr;
  HostLogTap* logTap = nullptr;  // reasons of failures and the counter; may be null
  EntryObserver* observer = nullptr;
  // Stop after GetJobOptions: the plug-in checks the VM and the guest login, and nothing is
  // created in the guest or the staging folder (--dry-run). The outcome is then Completed.
  bool checkOnly = false;
  // When set and true for a file, the file is counted kept without being offered to the plug-in
  // (the guest already has it and the operator asked never to replace a guest file).
  std::function<bool(const SourceEntry&)> keepWithoutOffering;
};

class RestoreJob {
 public:
  RestoreJob(const JobFile& job, const SourceTree& tree, RestoreJobSettings settings);

  // Runs the whole job. The controller is deleted before this returns.
  RestoreReport Run(const ControllerFactory& factory);

 private:
  bool PrepareJob(IVSAgentlessRestoreToVM& controller, FSRSetParams& setParams);
  void RestoreEntries(IVSAgentlessRestoreToVM& controller);
  void RestoreEntry(IVSAgentlessRestoreToVM& controller, const SourceEntry& entry);
  void ReapplyFolderAttributes(IVSAgentlessRestoreToVM& controller);
  void FinishStaging(IVSAgentlessRestoreToVM& controller);
  void Refuse(const std::string& step, uint64_t errorMark);
  void CountFailure(const SourceEntry& entry, const std::string& reason);
  void CountKept(const SourceEntry& entry, uint64_t bytes, const std::string& reason);
  void Tell(const SourceEntry& entry, EntryOutcome outcome, const std::string& reason = "");
  bool ShouldStop();
  // Whether the operator asked to stop (recorded in the report when so).
  bool StopWasRequested();
  uint64_t ErrorMark() const;
  // Whether the plug-in said, since `ownerMark`, that it could not set an entry's owner.
  bool OwnerNotSetSince(uint64_t ownerMark) const;
  std::string ErrorSince(uint64_t mark) const;

  const JobFile& m_job;
  const SourceTree& m_tree;
  RestoreJobSettings m_settings;
  RestoreReport m_report;
  ZQRstJobClient m_jobClient;
  bool m_stagingPublished = false;
  std::optional<StagingWriter> m_staging;  // once the plug-in has published the staging folder
  // Folders whose owner, mode and times the plug-in applied, in restore order. Copying their
  // contents changes their times again, so they are applied once more at the end.
  struct AppliedFolder {
    const SourceEntry* entry;
    std::string stagedPath;
    CXFileHeader header;
  };
  std::vector<AppliedFolder> m_appliedFolders;
  // Where each folder's record is in m_report.entries.
  std::unordered_map<std::string, size_t> m_folderRecords;
};
