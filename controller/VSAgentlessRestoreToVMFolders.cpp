// The two folders of a restore to a VM: the destination folder inside the guest and the staging
// folder on the proxy where the host writes every entry first, and the mapping between them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "controller/StagingFolderLayout.h"
#include "controller/VSAgentlessRestoreToVM.h"
#include "controller/VSAgentlessRestoreToVMOrigins.h"
#include "guestapi/ZQUnixGuestAPI.h"
#include "guestapi/ZQVMInfoGuestAPI.h"
#include "guestapi/ZQWinGuestAPI.h"
#include "platform/CNyPath.h"
#include "platform/FXFile.h"
#include "platform/JobMessageCodes.h"
#include "platform/PrivateFolderChain.h"
#include "platform/ZQPI.h"

using namespace VSAgentlessRestoreToVMOrigins;

namespace {

std::string CannotCreateGuestFolderMessage(const std::string& guestDir, const std::string& vmName,
                                           const std::string& lastError) {
  return "Cannot create destination directory [" + guestDir + "] inside guest virtual machine [" + vmName + "].  [" +
         lastError + "]";
}

}  // namespace

// Runs once per job. An inactive controller has no guest and leaves the destination path to the
// host untouched. The guest folder is built only once: a second call is refused rather than
// appending the published staging folder to the guest folder.
bool CVSAgentlessRestoreToVM::GenerateGuestAndStagingFolders() {
  if (!m_restoreToVMActive) return true;
  if (m_pSetParams == nullptr || m_pInitData == nullptr) {
    m_log.Error(kGenerateFoldersOrigin, "Restore job records are missing");
    return false;
  }
  if (!m_guestDir.empty()) {
    m_log.Error(kGenerateFoldersOrigin, "Guest VM destination directory [%s] has already been prepared",
                m_guestDir.c_str());
    return false;
  }
  const char* destination = m_pSetParams->destinationPath;
  if (destination == nullptr || *destination == '\0') {
    m_log.Error(kGenerateFoldersOrigin, "No destination directory given for VM [%s]", m_guestCtx.vmName.c_str());
    return false;
  }
  if (!HasGuestChannel(kGenerateFoldersOrigin)) return false;

  if (!DestinationFitsGuest(kGenerateFoldersOrigin, destination)) return false;

  if (destination[0] == '/') m_restoreToUnixVM = true;
  if (m_restoreToUnixVM) {
    m_guestDir = "/";
    m_guestDir += destination;
  } else {
    m_guestDir += destination;
  }
  std::free(m_pSetParams->destinationPath);
  m_pSetParams->destinationPath = nullptr;
  // The native channel's guest operations now know where the operator's choice ends: links on the
  // way to the destination are followed, none below it.
  if (auto* native = dynamic_cast<ZQVMInfoGuestAPI*>(m_pGuestAPI.get())) native->ScopeToDestination(m_guestDir);

  if (!m_pGuestAPI->CreateGuestFolder(m_guestCtx, m_guestDir)) {
    // The channel's own reason: the component's for the native channel, the guest's for SSH.
    const std::string reason = m_pGuestAPI->GetLastGuestApiErrorDetails();
    m_log.Error(kGenerateFoldersOrigin, "Failed to create guest VM destination directory [%s], %s", m_guestDir.c_str(),
                reason.c_str());
    PostSentence(CannotCreateGuestFolderMessage(m_guestDir, m_guestCtx.vmName, reason));
    return false;
  }
  m_log.Debug(kGenerateFoldersOrigin, "Successfully created guest VM destination directory [%s]", m_guestDir.c_str());

  const std::string clientName = m_clientName.empty() ? ZQPI_Focus::getFocusClientName(true) : m_clientName;
  std::string jobResultsDir;
  {
    ZQPI_CommClient commClient;
    const char* directory = commClient.getJobResultsDirectory(clientName.c_str());
    if (directory != nullptr) jobResultsDir = directory;
  }
  if (jobResultsDir.empty()) {
    m_log.Error(kGenerateFoldersOrigin, "No job results directory for client [%s]", clientName.c_str());
    return false;
  }
  const std::string stagingFolder = StagingFolderPath(jobResultsDir, *m_pInitData, m_stagingRun);
  m_pSetParams->destinationPath = strdup(stagingFolder.c_str());
  if (m_pSetParams->destinationPath == nullptr) {
    m_log.Error(kGenerateFoldersOrigin, "Out of memory publishing staging folder [%s]", stagingFolder.c_str());
    return false;
  }
  m_log.Debug(kGenerateFoldersShortOrigin, "staging VM files to [%s] ", m_pSetParams->destinationPath);
  return true;
}

// A destination in another guest's style would be created as a name of its own below the login's
// home folder (D:\Restore in a Linux guest): it is refused, with a job message, before anything is
// created. GetJobOptions asks too, so that a check-only run (a dry run) is refused as the real one.
bool CVSAgentlessRestoreToVM::DestinationFitsGuest(const char* origin, const char* destination) {
  if (destination == nullptr || *destination == '\0') return true;
  const std::string styleProblem = DestinationStyleProblem(destination, ChannelPathStyle(), m_restoreToUnixVM);
  if (styleProblem.empty()) return true;
  const std::string sentence = "Destination [" + std::string(destination) + "] for guest virtual machine [" +
                               m_guestCtx.vmName + "] " + styleProblem + ".";
  m_log.Error(origin, "%s", sentence.c_str());
  PostSentence(sentence);
  return false;
}

GuestPathStyle CVSAgentlessRestoreToVM::ChannelPathStyle() {
  if (dynamic_cast<ZQUnixGuestAPI*>(m_pGuestAPI.get()) != nullptr || m_restoreToUnixVM) return GuestPathStyle::Unix;
  if (dynamic_cast<ZQWinGuestAPI*>(m_pGuestAPI.get()) != nullptr) return GuestPathStyle::Windows;
  return GuestPathStyle::Unknown;  // the native channel's component checks the path against its guest
}

void CVSAgentlessRestoreToVM::PostSentence(const std::string& sentence) {
  if (m_pRstJobClient == nullptr) return;
  *m_pRstJobClient << sentence.c_str();
  m_pRstJobClient->setPendingCause(JobMessageCodes::kMsgSentence, nullptr, false, EvMessageTypeDefault, 0, 0, 0, false,
                                   JMGUIAlertColorNone, JMPendingCauseNone, 0, 0);
}

// Creates the staging folder's parent on the proxy (the host creates the leaf) and lets the
// channel attach the staging folder to the guest folder. The chain below the job-results directory
// is created and entered without following links, and each of its folders must belong to the
// running user and be closed to other users' writes. The parent is this run's own folder, made
// fresh and locked (StagingRunFolder), so nothing another user, another run or an earlier job
// left there is restored, changed or deleted; folders of runs that are no longer alive are
// removed first.
bool CVSAgentlessRestoreToVM::InitStagingFolder() {
  const char* stagingFolder = PublishedStagingFolder(m_pSetParams);
  if (stagingFolder == nullptr || !m_restoreToVMActive) return true;
  if (m_guestDir.empty() || m_pInitData == nullptr) {
    // The destination path still names the guest destination, not a staging folder of ours.
    m_log.Error(kInitStagingOrigin,
                "Guest VM destination directory has not been prepared, [%s] is not a staging folder", stagingFolder);
    return false;
  }
  if (!HasGuestChannel(kInitStagingOrigin)) return false;

  m_log.Debug(kInitStagingOrigin, "StagingDir [%s] GuestDir [%s]", stagingFolder, m_guestDir.c_str());
  std::string parent;
  std::string leaf;
  CNyError error = FXPath::SplitParentPath(stagingFolder, parent, leaf);
  if (error.IsError()) {
    m_log.Error(kInitStagingOrigin, "SplitParentPath [%s] error [%s]", stagingFolder, error.AsString().c_str());
    return false;
  }
  std::string jobResultsDir;
  std::vector<std::string> chain;
  std::string run;
  std::string stagingLeaf;
  std::string problem;
  if (!SplitStagingFolder(stagingFolder, jobResultsDir, chain, run, stagingLeaf) || run != m_stagingRun) {
    problem = "the staging folder is not laid out below a job-results directory";
  } else if (m_runFolder.Created()) {
    problem = "the staging folder of this job has been prepared already";
  } else if (const CNyError made = CNyDirectory::Create(jobResultsDir.c_str(), true); made.IsError()) {
    // The job-results directory is the installation's own; only what lies below it is checked.
    problem = made.AsString();
  } else {
    const int idsFd = PrivateFolderChain::Open(jobResultsDir, chain, true, problem);
    if (idsFd >= 0) {
      std::vector<std::string> leftovers;
      for (const std::string& gone : StagingRunFolder::ClearAbandoned(idsFd, leftovers)) {
        m_log.Debug(kInitStagingOrigin, "Removed the staging folder [%s] of a run that is no longer alive",
                    gone.c_str());
      }
      for (const std::string& left : leftovers) {
        m_log.Debug(kInitStagingOrigin, "A folder of an earlier run stays: %s", left.c_str());
      }
      m_runFolder.Create(idsFd, run, problem);
      ::close(idsFd);
    }
  }
  if (!problem.empty()) {
    m_log.Error(kInitStagingOrigin, "Failed to create staging folder on proxy [%s] error [%s]", parent.c_str(),
                problem.c_str());
    return false;
  }
  const int mapped = m_pGuestAPI->InitStagingFolder(m_pInitData->initIdC, stagingFolder, m_guestDir);
  if (!mapped) {
    m_log.Error(kInitStagingOrigin, "mapping StagingDir [%s] to GuestDir [%s] failed", stagingFolder,
                m_guestDir.c_str());
  }
  return mapped != 0;
}

// Hands the staging folder back to the channel, which may delete it with everything in it, and
// removes this run's folder once it is empty. Refused unless the folder is the staging folder this
// controller published, and a staging folder this run did not make (InitStagingFolder refused or
// never ran) is left alone: it may be another run's.
bool CVSAgentlessRestoreToVM::DeInitStagingFolder() {
  const char* stagingFolder = PublishedStagingFolder(m_pSetParams);
  if (stagingFolder == nullptr || !m_restoreToVMActive) return true;
  if (m_guestDir.empty()) {
    m_log.Error(kDeInitStagingOrigin,
                "Guest VM destination directory has not been prepared, [%s] is not a staging folder", stagingFolder);
    return false;
  }
  if (!HasGuestChannel(kDeInitStagingOrigin)) return false;
  if (!m_runFolder.Created()) {
    m_log.Debug(kDeInitStagingOrigin, "StagingDir [%s] was not made by this run and is left as it is", stagingFolder);
    return true;
  }

  m_log.Debug(kDeInitStagingOrigin, "StagingDir [%s] Guestdir [%s]", stagingFolder, m_guestDir.c_str());
  const int unmapped = m_pGuestAPI->DeInitStagingFolder(stagingFolder, m_guestDir);
  if (!unmapped) {
    m_log.Error(kDeInitStagingOrigin, "unmapping StagingDir [%s] from GuestDir [%s] failed", stagingFolder,
                m_guestDir.c_str());
  }
  m_runFolder.RemoveIfEmpty();
  return unmapped != 0;
}

// Maps a staged entry to its guest path as the job's GuestMapping says (in Hyper-V Unix guests the
// folder that is to hold the entry). A path outside the staging folder yields an empty guest path.
void CVSAgentlessRestoreToVM::GenerateGuestFilePath(const std::string& stagedPath, std::string& guestPath) {
  const StagedEntryMapping mapped = MapStagedEntry(Mapping(), PublishedStagingFolder(m_pSetParams), stagedPath);
  if (!mapped.refusal.empty()) {
    m_log.Error(kGuestFilePathOrigin, "Cannot map staged entry [%s] into the guest: %s", stagedPath.c_str(),
                mapped.refusal.c_str());
    guestPath.clear();
    return;
  }
  guestPath = mapped.guestPath;
}
