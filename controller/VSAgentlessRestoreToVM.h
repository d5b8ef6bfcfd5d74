// The restore controller: one per restore-to-VM job.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "controller/GuestListingCache.h"
#include "controller/IVSAgentlessRestoreToVM.h"
#include "controller/StagingFolderLayout.h"
#include "controller/StagingRunFolder.h"
#include "guestapi/GuestTypes.h"
#include "guestapi/ZQGuestAPI.h"
#include "platform/CMediaSpeedCounter.h"
#include "platform/EvEvent.h"
#include "vminfo/IGuestReplaceChoices.h"
#include "vminfo/IVMInfo.h"

class CVSAgentlessRestoreToVM : public IVSAgentlessRestoreToVM {
 public:
  // Link: a symbolic link, or another entry that is neither a file nor a folder (a device, a FIFO);
  // it is never taken for a file as new as the staged one, nor written through.
  enum class GuestEntryState { Absent, Folder, File, Link, Unknown };

  CVSAgentlessRestoreToVM();
  ~CVSAgentlessRestoreToVM() override;

  bool Init(FSRInitData* initData, FSRInitDataVer2* initDataVer2, FSRSetParams* setParams,
            ZQRstJobClient* rstJobClient, ZQJobCtrlClient* jobCtrlClient, const std::string& clientName) override;
  bool GetJobOptions(TMMsg::RestoreOption* options) override;
  bool PrepareVMInfoObject(const std::string& server, const std::string& user, const std::string& password,
                           int instanceId) override;
  bool RestoreToVM(const char* stagedPath, u_longlong_t, u_longlong_t, CXFileHeader* header, std::string& guestPath,
                   bool& skipped, bool& attributesApplied) override;
  bool RestoreToVM_ImageLevel(const std::string& stagedPath, u_longlong_t, u_longlong_t size, bool timeIsAccurate,
                              u_longlong_t& bytes, bool& skipped) override;
  void GenerateGuestFilePath(const std::string& stagedPath, std::string& guestPath) override;
  bool GenerateGuestAndStagingFolders() override;
  bool InitStagingFolder() override;
  bool DeInitStagingFolder() override;
  bool CopyToGuest(const std::string& stagedPath, const std::string& guestPath, bool timeIsAccurate, bool& skipped,
                   bool& isFolder) override;
  bool UpdateFileTimes(const std::string& stagedPath) override;
  void setRestoreToUnixVM() override;
  bool UpdateUnixPermissions(const std::string& stagedPath, CXFileHeader* header) override;

  bool PrepareGuestAPIObject(const GuestCtx& ctx);

 protected:
  EvEvent m_log;
  FSRInitData* m_pInitData = nullptr;
  FSRInitDataVer2* m_pInitDataVer2 = nullptr;
  FSRSetParams* m_pSetParams = nullptr;
  ZQRstJobClient* m_pRstJobClient = nullptr;
  ZQJobCtrlClient* m_pJobCtrlClient = nullptr;
  GuestCtx m_guestCtx;
  IVMInfo* m_pVMInfo = nullptr;
  std::unique_ptr<IGuestAPI> m_pGuestAPI;
  std::string m_guestDir;
  std::string m_clientName;
  CMediaSpeedCounter m_speedCounter;
  bool m_restoreToVMActive = false;
  bool m_restoreToUnixVM = false;
  bool m_setTimesWithPermissions = true;
  bool m_restoreACLs = false;
  // The suffix a replaced guest file is kept under (commonOptions.backupSuffix, else "~"); read with
  // the job's options when the job keeps backups.
  std::string m_backupSuffix;
  // This run's folder between the job's ids and the staging folder (StagingRunFolder); chosen when
  // the controller is made.
  std::string m_stagingRun;

 private:
  // The job asked to replace guest files unseen (the restore flag overwrite-always).
  bool OverwritesAlways() const;
  // The job asked to decide replace-or-keep by content (the restore flag checksum).
  bool DecidesByContent() const;
  // The job asked to keep a replaced guest file beside it (the restore flag backup).
  bool KeepsBackups() const;
  // The guest channel's replace choices (digests, backups); null when it offers none.
  IGuestReplaceChoices* ReplaceChoicesOfChannel();

  // How the content of a guest file compares with the staged one's.
  enum class ContentVerdict { Same, Different, Unknown };
  // Same size and the same SHA-256 digest (the staged file's hashed here, the guest file's in the
  // guest): Same. Another size: Different, without a digest. Unknown, after one error line, when a
  // digest cannot be had or the guest file is no longer a regular file.
  ContentVerdict CompareContent(const std::string& stagedPath, const struct stat& staged,
                                const std::string& guestEntry, const VMInfoStructs::SGuestFile& existing);
  // Hands the job's backup suffix to the guest channel before a copy that may replace a file;
  // false, after one error line, when the channel keeps no backups.
  bool ArrangeBackup();
  // The path style of the guest as its channel (or the host's setRestoreToUnixVM) tells.
  GuestPathStyle ChannelPathStyle();
  // False, logged under `origin` and posted to the job, when `destination` is not an absolute folder
  // in the guest's own style (DestinationStyleProblem); true for no destination.
  bool DestinationFitsGuest(const char* origin, const char* destination);
  // Posts `sentence` to the job as a message of its own (code kMsgSentence).
  void PostSentence(const std::string& sentence);
  // Logs one error line under `origin` and returns false when the controller has no guest channel.
  bool HasGuestChannel(const char* origin);
  // The job's VirtualServerInstanceType, 0 when the host gave no second-version record.
  long long JobInstanceType() const;
  // The VM-information component's last error text; empty without a component.
  std::string LastComponentError();
  // How staged entries map into this job's guest, from the guest folder and the job's hypervisor
  // kind as they stand now.
  GuestMapping Mapping() const;
  // The guest path of the staged entry itself, given its mapped `guestPath` (GuestEntryPathOf).
  // They differ only where the mapping maps to the holding folder (Hyper-V Unix guests).
  std::string GuestEntryPath(const std::string& stagedPath, const std::string& guestPath) const;

  // What a per-entry operation logs when it refuses an entry, and whether it needs a file header.
  struct EntryOperation {
    const char* origin;
    const char* refusalFormat;  // printf format taking the staged path and the reason
    bool needsHeader;
  };
  // The start every per-entry operation shares. An inactive controller ends the operation with
  // true. An entry outside the staging folder, a missing header where one is needed, or a missing
  // guest channel ends it with false after one error line under the operation's origin, in that
  // order. Otherwise the result is empty, `guestPath` holds the entry's mapped guest path (from
  // GenerateGuestFilePath, through the interface) and `entryPath` the entry's own guest path.
  std::optional<bool> EnterEntryOperation(const EntryOperation& operation, const std::string& stagedPath,
                                          const CXFileHeader* header, std::string& guestPath, std::string& entryPath);
  // The result of an entry whose copy failed: true for a folder the guest gets none of; false
  // otherwise, after deleting the staged entry unless it is a folder the guest already holds.
  bool AfterFailedCopy(const char* origin, const std::string& stagedPath, bool isFolder, bool skipped);

  // What the guest holds at a path, as far as a browse can tell.
  // Looks `guestEntry` up in the listing of the folder that holds it: a kept listing when there is
  // one, else a fresh one, which is then kept for the other entries of that folder. When that
  // folder cannot be listed, the folders above it are looked up the same way, up to the guest
  // folder. A browse that fails where the answer matters gives Unknown, never Absent. `entry`
  // receives the entry's description when it exists; `fresh` tells whether the answer comes from
  // a listing taken by this call rather than a kept one.
  GuestEntryState LookUpGuestEntry(const std::string& guestEntry, VMInfoStructs::SGuestFile& entry, bool& fresh,
                                   int depth = 0);
  // Looks again at a file a kept listing holds, before it is replaced: its own browse, or, when
  // that does not describe one file of its name, a fresh listing of its folder.
  GuestEntryState RecheckGuestFile(const std::string& guestEntry, VMInfoStructs::SGuestFile& entry);

  // Looks at a file by itself (a browse of its own path), for a folder too large to keep listed:
  // one entry of its name that is no folder describes it; nothing there is Absent (an empty folder
  // in its place is refused by the copy, which never overwrites there); anything else is Folder.
  GuestEntryState LookAtFileAlone(const std::string& guestEntry, VMInfoStructs::SGuestFile& entry);
  // Whether `folder` was listed and found too large to keep (GuestListingCache::kMaxEntries).
  bool IsOversizedFolder(const std::string& folder) const;

  // Folders whose listing was too large to keep, most recent last: their files are looked at one
  // by one, so that no folder's size makes an entry cost more than a look at the entry itself.
  std::deque<std::string> m_oversizedFolders;
  // Made and locked by InitStagingFolder; what this run may remove at the end.
  StagingRunFolder m_runFolder;
  GuestListingCache m_listings;

  // Times of the staged file taken before anything read it: a copy tool that reads the file moves
  // its access time (relatime), and the guest must get the backed-up one.
  struct StagedTimes {
    std::string stagedPath;
    long createTime = 0;
    long modifyTime = 0;
    long accessTime = 0;
  };
  StagedTimes m_stagedTimes;
};
