#include "host/RestoreJob.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/CMediaSpeedCounter.h"
#include "platform/RestoreOption.h"
#include "platform/StopRequest.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(CurrentClock()->Now() - start).count();
}

// The host's records of the job: ids, the hypervisor kind it believes in, the destination in a
// form that free() releases (the controller exchanges it for the staging folder), the flags.
struct JobRecords {
  FSRInitData initData;
  FSRInitDataVer2 initDataVer2;
  FSRSetParams setParams;
  ZQJobCtrlClient jobControl;

  explicit JobRecords(const JobFile& job) : jobControl(job.ids.jobId) {
    initData.initIdA = job.ids.initIdA;
    initData.initAppId = job.ids.initAppId;
    initData.initIdB = job.ids.initIdB;
    initData.initIdC = job.ids.initIdC;
    initDataVer2.instanceType = job.instanceType;
    setParams.destinationPath = strdup(job.destination.c_str());
    setParams.restoreFlags = (job.overwriteAlways ? kRestoreFlagOverwriteAlways : 0) |
                             (job.checksum ? kRestoreFlagChecksum : 0) | (job.backup ? kRestoreFlagBackup : 0);
  }
  ~JobRecords() { free(setParams.destinationPath); }
  JobRecords(const JobRecords&) = delete;
  JobRecords& operator=(const JobRecords&) = delete;
};

}  // namespace

const char* const kKeptNeverReplace = "the guest has it and --overwrite never keeps it";
const char* const kKeptGuestAsNew = "the guest's file is as new or newer";
const char* const kKeptSameContent = "the guest's file has the same content";
const char* const kKeptFolderExists = "the guest has the folder";

RestoreJob::RestoreJob(const JobFile& job, const SourceTree& tree, RestoreJobSettings settings)
    : m_job(job), m_tree(tree), m_settings(std::move(settings)) {}

RestoreReport RestoreJob::Run(const ControllerFactory& factory) {
  const auto started = CurrentClock()->Now();
  m_report = RestoreReport();
  m_report.guestFolder = m_job.destination;
  m_stagingPublished = false;
  m_staging.reset();
  m_folderRecords.clear();
  JobRecords records(m_job);
  {
    ControllerPtr controller = factory();
    if (!controller) {
      m_report.outcome = JobOutcome::HostFailure;
      m_report.failedStep = "CreateVSAgentlessRestoreToVMObject";
      m_report.detail = "the plug-in's factory made no controller";
    } else if (!controller->Init(&records.initData, &records.initDataVer2, &records.setParams, &m_jobClient,
                                 &records.jobControl, m_job.clientName)) {
      m_report.outcome = JobOutcome::HostFailure;
      m_report.failedStep = "Init";
    } else {
      if (m_job.unixGuest) controller->setRestoreToUnixVM();
      if (PrepareJob(*controller, records.setParams)) RestoreEntries(*controller);
      if (m_stagingPublished) FinishStaging(*controller);
    }
  }  // the controller is deleted here, through its interface, before the records go
  m_report.pendingCauses = m_jobClient.pendingCauses();
  if (m_settings.logTap != nullptr) {
    m_report.counter = m_settings.logTap->Counter();
    m_report.sessionsOff = m_settings.logTap->SessionsOff();
  }
  m_report.elapsedSeconds = SecondsSince(started);
  return m_report;
}

bool RestoreJob::PrepareJob(IVSAgentlessRestoreToVM& controller, FSRSetParams& setParams) {
  TMMsg::RestoreOption options;
  nlohmann::json request = BuildRestoreOptionsJson(m_job);
  std::string error;
  if (!options.loadJson(request, error)) {  // takes the passwords over and wipes them from `request`
    m_report.outcome = JobOutcome::HostFailure;
    m_report.failedStep = "restore options";
    m_report.detail = error;
    return false;
  }
  uint64_t mark = ErrorMark();
  if (!controller.GetJobOptions(&options)) {
    Refuse("GetJobOptions", mark);
    return false;
  }
  if (m_settings.checkOnly) {
    m_report.outcome = JobOutcome::Completed;
    return false;
  }
  mark = ErrorMark();
  if (!controller.GenerateGuestAndStagingFolders()) {
    Refuse("GenerateGuestAndStagingFolders", mark);
    return false;
  }
  if (setParams.destinationPath == nullptr || *setParams.destinationPath == '\0') {
    m_report.outcome = JobOutcome::HostFailure;
    m_report.failedStep = "GenerateGuestAndStagingFolders";
    m_report.detail = "the plug-in published no staging folder";
    return false;
  }
  m_report.stagingFolder = setParams.destinationPath;
  m_stagingPublished = true;
  if (m_settings.source != nullptr) {
    m_staging.emplace(*m_settings.source, m_report.stagingFolder);
  } else {
    m_staging.emplace(m_settings.sourceRoot, m_report.stagingFolder);
  }
  mark = ErrorMark();
  if (!controller.InitStagingFolder()) {
    Refuse("InitStagingFolder", mark);
    return false;
  }
  if (!m_staging->CreateRoot(error)) {
    m_report.outcome = JobOutcome::HostFailure;
    m_report.failedStep = "staging folder";
    m_report.detail = error;
    return false;
  }
  return true;
}

void RestoreJob::RestoreEntries(IVSAgentlessRestoreToVM& controller) {
  const auto started = CurrentClock()->Now();
  m_report.outcome = JobOutcome::Completed;
  if (m_settings.progress != nullptr) m_settings.progress->EntriesStarting(m_tree);
  const std::vector<SourceEntry>& entries = m_tree.entries;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (ShouldStop()) {
      m_report.outcome = JobOutcome::Interrupted;
      m_report.counts.notAttempted = entries.size() - i;
      break;
    }
    RestoreEntry(controller, entries[i]);
    if (m_settings.progress != nullptr) m_settings.progress->EntryDone(m_report.counts);
  }
  // A request that came during the last entry still ends the job as interrupted: the operator
  // asked to stop, and the summary must not say "completed".
  if (m_report.outcome == JobOutcome::Completed && StopWasRequested()) m_report.outcome = JobOutcome::Interrupted;
  // A request to stop at once ended the entry in flight and skips the folders' attributes; what
  // follows (staging clean-up, the session's end) must still run.
  const bool stopNow = StopRequest::Requested();
  StopRequest::Clear();
  if (!stopNow) ReapplyFolderAttributes(controller);
  if (m_settings.progress != nullptr) m_settings.progress->EntriesFinished();
  m_report.entryPhaseSeconds = SecondsSince(started);
}

void RestoreJob::RestoreEntry(IVSAgentlessRestoreToVM& controller, const SourceEntry& entry) {
  if (m_settings.observer != nullptr) m_settings.observer->EntryStarting(entry);
  if (IsSkippedKind(entry)) {
    ++m_report.counts.skipped;
    m_report.skippedEntries.push_back({entry.relativePath, entry.problem});
    Tell(entry, EntryOutcome::Skipped, entry.problem);
    return;
  }
  if (!entry.problem.empty()) {
    CountFailure(entry, entry.problem);
    return;
  }
  if (entry.kind == EntryKind::File && m_settings.keepWithoutOffering && m_settings.keepWithoutOffering(entry)) {
    CountKept(entry, static_cast<uint64_t>(entry.info.st_size), kKeptNeverReplace);
    return;
  }
  struct stat info {};
  std::string error;
  if (!m_staging->Stage(entry, info, error)) {
    CountFailure(entry, "cannot stage the entry: " + error);
    return;
  }
  CXFileHeader header = MakeFileHeader(info);
  const std::string staged = m_staging->StagedPath(entry);
  std::string guestPath;
  bool skipped = false;
  // The controller writes it only when an attribute step runs; a folder starts from false so that
  // a folder whose attributes were applied can be told apart.
  const bool isFolder = entry.kind == EntryKind::Folder;
  bool attributesApplied = !isFolder;
  const uint64_t mark = ErrorMark();
  const uint64_t ownerMark = m_settings.logTap != nullptr ? m_settings.logTap->OwnerNotSetCount() : 0;
  if (m_settings.progress != nullptr && !isFolder) {
    m_settings.progress->FileCopyStarting(staged, static_cast<uint64_t>(info.st_size));
  }
  bool restored = controller.RestoreToVM(staged.c_str(), 0, 0, &header, guestPath, skipped, attributesApplied);
  // A login other than root could not set the owner; everything else landed. The plug-in reports
  // the attribute step as failed; the summary counts the entry restored, with the owner warning.
  const bool ownerOnly = !restored && !skipped && !attributesApplied && OwnerNotSetSince(ownerMark);
  if (ownerOnly) restored = true;
  if (isFolder && restored && (attributesApplied || ownerOnly)) m_appliedFolders.push_back({&entry, staged, header});
  const auto bytes = static_cast<uint64_t>(info.st_size);
  RestoreCounts& counts = m_report.counts;
  if (restored) {
    if (entry.kind == EntryKind::Folder) {
      ++counts.restoredFolders;
    } else {
      ++counts.restoredFiles;
      counts.bytesRestored += bytes;
    }
    if (OwnerNotSetSince(ownerMark)) {
      ++m_report.ownerNotSet;
      m_report.ownerLogin = m_settings.logTap->OwnerNotSetLogin();
    }
    Tell(entry, EntryOutcome::Restored);
  } else if (skipped) {
    // By content (--checksum) the plug-in keeps a file only when its size and SHA-256 match.
    CountKept(entry, bytes, isFolder ? kKeptFolderExists : m_job.checksum ? kKeptSameContent : kKeptGuestAsNew);
  } else {
    std::string reason = ErrorSince(mark);
    if (reason.empty()) reason = "the plug-in reported a failure";
    // For a folder the flag cannot tell a failed attribute step from one that never ran; the
    // reason from the log says which.
    if (!attributesApplied && !isFolder) reason = "copied, but its attributes could not be applied: " + reason;
    CountFailure(entry, reason);
  }
  m_staging->Release(entry);
}

// Deepest folders first, so that setting a folder's times is the last change inside its parent.
void RestoreJob::ReapplyFolderAttributes(IVSAgentlessRestoreToVM& controller) {
  for (auto folder = m_appliedFolders.rbegin(); folder != m_appliedFolders.rend(); ++folder) {
    const uint64_t mark = ErrorMark();
    const uint64_t ownerMark = m_settings.logTap != nullptr ? m_settings.logTap->OwnerNotSetCount() : 0;
    if (!controller.UpdateUnixPermissions(folder->stagedPath, &folder->header) && !OwnerNotSetSince(ownerMark)) {
      --m_report.counts.restoredFolders;
      CountFailure(*folder->entry, "copied, but its attributes could not be applied: " + ErrorSince(mark));
    }
  }
  m_appliedFolders.clear();
}

void RestoreJob::FinishStaging(IVSAgentlessRestoreToVM& controller) {
  const uint64_t mark = ErrorMark();
  if (!controller.DeInitStagingFolder()) {
    m_report.stagingProblem = "the plug-in could not remove it: " + ErrorSince(mark);
  }
  // The host wrote the staging folder, so it makes sure it is gone, whatever the guest channel
  // did with it (some channels leave it in place).
  struct stat info {};
  if (lstat(m_report.stagingFolder.c_str(), &info) != 0) {
    m_report.stagingRemoved = true;
    return;
  }
  std::string error;
  m_report.stagingRemoved = m_staging->RemoveRoot(error);
  if (!m_report.stagingRemoved) {
    m_report.stagingProblem += (m_report.stagingProblem.empty() ? "" : "; ") + error;
  }
}

void RestoreJob::Refuse(const std::string& step, uint64_t errorMark) {
  m_report.outcome = JobOutcome::Refused;
  m_report.failedStep = step;
  m_report.detail = ErrorSince(errorMark);
}

void RestoreJob::CountFailure(const SourceEntry& entry, const std::string& logReason) {
  // The staging folder is the proxy's business: the operator reads the entry's own path (the log
  // keeps the full one).
  std::string reason = logReason;
  if (!m_report.stagingFolder.empty()) {
    const std::string staged = m_report.stagingFolder + "/";
    for (size_t at = reason.find(staged); at != std::string::npos; at = reason.find(staged, at)) {
      reason.erase(at, staged.size());
    }
  }
  ++m_report.counts.failed;
  m_report.failures.push_back({entry.relativePath, reason});
  Tell(entry, EntryOutcome::Failed, reason);
}

void RestoreJob::CountKept(const SourceEntry& entry, uint64_t bytes, const std::string& reason) {
  ++m_report.counts.kept;
  m_report.counts.bytesKept += bytes;
  m_report.keptPaths.push_back(entry.relativePath);
  Tell(entry, EntryOutcome::Kept, reason);
}

void RestoreJob::Tell(const SourceEntry& entry, EntryOutcome outcome, const std::string& reason) {
  // A folder told again (its attributes failed on the last pass) keeps one record: the last word.
  if (entry.kind == EntryKind::Folder) {
    const auto known = m_folderRecords.find(entry.relativePath);
    if (known != m_folderRecords.end()) {
      m_report.entries[known->second] = {entry.relativePath, outcome, reason};
      if (m_settings.observer != nullptr) m_settings.observer->EntryFinished(entry, outcome, reason);
      return;
    }
    m_folderRecords.emplace(entry.relativePath, m_report.entries.size());
  }
  m_report.entries.push_back({entry.relativePath, outcome, reason});
  if (m_settings.observer != nullptr) m_settings.observer->EntryFinished(entry, outcome, reason);
}

bool RestoreJob::StopWasRequested() {
  if (m_settings.stopRequested == nullptr || !m_settings.stopRequested->load()) return false;
  m_report.interruption = "stopped on request";
  m_report.stoppedOnRequest = true;
  return true;
}

bool RestoreJob::ShouldStop() {
  if (StopWasRequested()) return true;
  if (m_settings.maxFailures > 0 && m_report.counts.failed >= m_settings.maxFailures) {
    m_report.interruption = "stopped after " + std::to_string(m_report.counts.failed) + " failed entries";
    return true;
  }
  return false;
}

bool RestoreJob::OwnerNotSetSince(uint64_t ownerMark) const {
  return m_settings.logTap != nullptr && m_settings.logTap->OwnerNotSetCount() > ownerMark;
}

uint64_t RestoreJob::ErrorMark() const {
  return m_settings.logTap != nullptr ? m_settings.logTap->ErrorCount() : 0;
}

// The last error line since `mark` says what failed; the guest's own words from a failed command,
// or else the first error line, where it was detected, say why (HostLogTap::ReasonSince).
std::string RestoreJob::ErrorSince(uint64_t mark) const {
  return m_settings.logTap != nullptr ? m_settings.logTap->ReasonSince(mark) : "";
}
