// The restore controller: job records, and the per-entry restore of staged files and folders into
// the guest with their attributes. Folder preparation lives in VSAgentlessRestoreToVMFolders.cpp,
// the job options in VSAgentlessRestoreToVMJobOptions.cpp.
#include "controller/VSAgentlessRestoreToVM.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>

#include "controller/StagingFolderLayout.h"
#include "controller/VSAgentlessRestoreToVMOrigins.h"
#include "guestapi/IGuestCopyOwner.h"
#include "platform/FXFile.h"
#include "platform/ReplaceChoices.h"
#include "platform/pstring.h"

using namespace VSAgentlessRestoreToVMOrigins;

namespace {

// Folders between an entry and the guest folder that a look-up climbs at most.
constexpr int kMaxLookUpDepth = 256;
// Folders remembered as too large to keep listed.
constexpr size_t kMaxOversizedFolders = 16;

// The last name of a guest path or of a name a browse returned: after the last "/" in Unix guests,
// where "\\" is an ordinary character, after either separator in Windows guests.
std::string LeafOf(const std::string& path, bool unixStyle) {
  const size_t separator = path.find_last_of(unixStyle ? "/" : "/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// How a listed entry stands where a staged one goes.
CVSAgentlessRestoreToVM::GuestEntryState StateOf(const VMInfoStructs::SGuestFile& entry) {
  using State = CVSAgentlessRestoreToVM::GuestEntryState;
  switch (entry.type) {
    case VMInfoStructs::GuestFileDirectory:
      return State::Folder;
    case VMInfoStructs::GuestFileRegular:
      return State::File;
    default:
      return State::Link;
  }
}

// The entry a browse of an entry's own path describes: its one answer, when that is no folder and
// has the entry's name (a folder is described by its contents instead); null otherwise.
const VMInfoStructs::SGuestFile* EntryItself(const std::vector<VMInfoStructs::SGuestFile>& entries,
                                             const std::string& leaf, bool unixStyle) {
  if (entries.size() != 1 || entries[0].type == VMInfoStructs::GuestFileDirectory) return nullptr;
  const std::string name = LeafOf(entries[0].name, unixStyle);
  const bool same = unixStyle ? name == leaf : boost::algorithm::iequals(name, leaf);
  return same ? &entries[0] : nullptr;
}

// Whether the staged file replaces the guest file `existing` whose time can be compared: it is
// newer, or it has the same time and another size (another file, not the backup's).
bool ReplacesGuestFile(const struct stat& staged, const VMInfoStructs::SGuestFile& existing) {
  const long long localTime = static_cast<long long>(staged.st_mtime);
  return localTime > existing.modifyTime ||
         (localTime == existing.modifyTime && existing.size != static_cast<int64_t>(staged.st_size));
}

// What a listed entry that is neither a file nor a folder is, in an error line.
const char* KindWord(const VMInfoStructs::SGuestFile& entry) {
  return entry.type == VMInfoStructs::GuestFileSymlink ? "a link" : "neither a file nor a folder";
}

// The folder that holds the entry at `path` (trailing separators ignored), without trailing
// separators; empty when `path` names no folder.
std::string HoldingFolder(const std::string& path, bool unixStyle) {
  std::string parent = path;
  while (!parent.empty() && (parent.back() == '/' || parent.back() == '\\')) parent.pop_back();
  const size_t separator = parent.find_last_of(unixStyle ? "/" : "/\\");
  return separator == std::string::npos ? std::string() : parent.substr(0, separator);
}

// The folder whose listing answers for the entry at `path`: its holding folder, "/" for the root.
std::string ListedFolder(const std::string& path, bool unixStyle) {
  const std::string parent = HoldingFolder(path, unixStyle);
  return parent.empty() ? std::string(1, '/') : parent;
}

// `folder` as the listing of its own entries is kept: without trailing separators.
std::string FolderItself(std::string folder) {
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  return folder;
}

}  // namespace

CVSAgentlessRestoreToVM::CVSAgentlessRestoreToVM()
    : m_speedCounter(nullptr), m_stagingRun(StagingRunFolder::NewName()) {}

// Members go in reverse declaration order, the guest channel with them. The host's records and
// clients and the VM-information component are borrowed and stay. The guest password is wiped
// before its memory goes back to the heap.
CVSAgentlessRestoreToVM::~CVSAgentlessRestoreToVM() {
  WipeString(m_guestCtx.password);
  // A host that removed the staging folder itself after DeInitStagingFolder leaves the run folder
  // empty; it goes before its lock does.
  m_runFolder.RemoveIfEmpty();
}

bool CVSAgentlessRestoreToVM::Init(FSRInitData* initData, FSRInitDataVer2* initDataVer2, FSRSetParams* setParams,
                                   ZQRstJobClient* rstJobClient, ZQJobCtrlClient* jobCtrlClient,
                                   const std::string& clientName) {
  m_pInitData = initData;
  m_pInitDataVer2 = initDataVer2;
  m_pSetParams = setParams;
  m_pRstJobClient = rstJobClient;
  m_pJobCtrlClient = jobCtrlClient;
  m_clientName = clientName;
  return true;
}

void CVSAgentlessRestoreToVM::setRestoreToUnixVM() { m_restoreToUnixVM = true; }

bool CVSAgentlessRestoreToVM::HasGuestChannel(const char* origin) {
  if (m_pGuestAPI) return true;
  m_log.Error(origin, "No guest channel for VM [%s]", m_guestCtx.vmName.c_str());
  return false;
}

bool CVSAgentlessRestoreToVM::OverwritesAlways() const {
  return m_pSetParams != nullptr && (m_pSetParams->restoreFlags & kRestoreFlagOverwriteAlways) != 0;
}

bool CVSAgentlessRestoreToVM::DecidesByContent() const {
  return m_pSetParams != nullptr && (m_pSetParams->restoreFlags & kRestoreFlagChecksum) != 0;
}

bool CVSAgentlessRestoreToVM::KeepsBackups() const {
  return m_pSetParams != nullptr && (m_pSetParams->restoreFlags & kRestoreFlagBackup) != 0;
}

IGuestReplaceChoices* CVSAgentlessRestoreToVM::ReplaceChoicesOfChannel() {
  return dynamic_cast<IGuestReplaceChoices*>(m_pGuestAPI.get());
}

CVSAgentlessRestoreToVM::ContentVerdict CVSAgentlessRestoreToVM::CompareContent(
    const std::string& stagedPath, const struct stat& staged, const std::string& guestEntry,
    const VMInfoStructs::SGuestFile& existing) {
  if (existing.size != static_cast<int64_t>(staged.st_size)) {
    m_log.Debug(kCopyToGuestOrigin, "File [%s] has another size than the file in the guest [%s]: [%lld] against "
                "[%lld]; it is replaced", stagedPath.c_str(), guestEntry.c_str(),
                static_cast<long long>(staged.st_size), static_cast<long long>(existing.size));
    return ContentVerdict::Different;
  }
  IGuestReplaceChoices* choices = ReplaceChoicesOfChannel();
  if (choices == nullptr) {
    m_log.Error(kCopyToGuestOrigin, "The guest channel cannot compare contents; [%s] is not restored",
                guestEntry.c_str());
    return ContentVerdict::Unknown;
  }
  std::string local;
  std::string problem;
  if (!ReplaceChoices::Sha256OfFile(stagedPath, local, problem)) {
    m_log.Error(kCopyToGuestOrigin, "Cannot read staged file [%s] for its digest, %s", stagedPath.c_str(),
                problem.c_str());
    return ContentVerdict::Unknown;
  }
  std::vector<std::string> digests;
  if (!choices->HashGuestFiles(m_guestCtx, {guestEntry}, digests) || digests.size() != 1) {
    m_log.Error(kCopyToGuestOrigin, "Cannot read the digest of guest file [%s]: %s", guestEntry.c_str(),
                m_pGuestAPI->GetLastGuestApiErrorDetails().c_str());
    return ContentVerdict::Unknown;
  }
  // A channel's answer is taken only in the one form a digest has.
  const std::string guest = ReplaceChoices::Sha256FromAnswer(digests[0]);
  if (guest.empty()) {
    m_log.Error(kCopyToGuestOrigin, "Guest path [%s] holds no regular file any more, or gave no digest; file [%s] "
                "is not copied", guestEntry.c_str(), stagedPath.c_str());
    return ContentVerdict::Unknown;
  }
  if (guest == local) {
    m_log.Debug(kCopyToGuestOrigin, "File [%s] has the content of the file in the guest [%s]; kept: same content",
                stagedPath.c_str(), guestEntry.c_str());
    return ContentVerdict::Same;
  }
  m_log.Debug(kCopyToGuestOrigin, "File [%s] has the size but not the content of the file in the guest [%s]; it is "
              "replaced", stagedPath.c_str(), guestEntry.c_str());
  return ContentVerdict::Different;
}

bool CVSAgentlessRestoreToVM::ArrangeBackup() {
  IGuestReplaceChoices* choices = ReplaceChoicesOfChannel();
  if (choices != nullptr && choices->SetBackupSuffix(m_backupSuffix)) return true;
  m_log.Error(kCopyToGuestOrigin, "The guest channel cannot keep a backup under the suffix [%s]; no file is replaced",
              m_backupSuffix.c_str());
  return false;
}

long long CVSAgentlessRestoreToVM::JobInstanceType() const {
  return m_pInitDataVer2 == nullptr ? 0 : m_pInitDataVer2->instanceType;
}

std::string CVSAgentlessRestoreToVM::LastComponentError() {
  return m_pVMInfo == nullptr ? std::string() : m_pVMInfo->GetLastErrorString();
}

GuestMapping CVSAgentlessRestoreToVM::Mapping() const { return GuestMappingOf(m_guestDir, JobInstanceType()); }

std::string CVSAgentlessRestoreToVM::GuestEntryPath(const std::string& stagedPath, const std::string& guestPath) const {
  return GuestEntryPathOf(Mapping(), PublishedStagingFolder(m_pSetParams), stagedPath, guestPath);
}

std::optional<bool> CVSAgentlessRestoreToVM::EnterEntryOperation(const EntryOperation& operation,
                                                                 const std::string& stagedPath,
                                                                 const CXFileHeader* header, std::string& guestPath,
                                                                 std::string& entryPath) {
  if (!m_restoreToVMActive) return true;
  const char* stagingFolder = PublishedStagingFolder(m_pSetParams);
  const std::string refusal = StagedEntryRefusal(stagingFolder, m_guestDir, stagedPath);
  if (!refusal.empty()) {
    m_log.Error(operation.origin, operation.refusalFormat, stagedPath.c_str(), refusal.c_str());
    return false;
  }
  if (operation.needsHeader && header == nullptr) {
    m_log.Error(operation.origin, "No file header for staged entry [%s]", stagedPath.c_str());
    return false;
  }
  if (!HasGuestChannel(operation.origin)) return false;

  GenerateGuestFilePath(stagedPath, guestPath);
  entryPath = GuestEntryPath(stagedPath, guestPath);
  return std::nullopt;
}

// Hyper-V guests get no folders: the staged folder stays for the files below it. A folder the
// guest already has is kept, and the staged one stays for the entries below it.
bool CVSAgentlessRestoreToVM::AfterFailedCopy(const char* origin, const std::string& stagedPath, bool isFolder,
                                              bool skipped) {
  if (isFolder && !Mapping().CreatesFolders()) return true;
  if (isFolder && skipped) return false;
  const CNyError removal = FXFile::RemoveFile(stagedPath);
  if (removal.IsError()) {
    m_log.Debug(origin, "Error [%s] deleting staged file [%s]", removal.AsString().c_str(), stagedPath.c_str());
  }
  return false;
}

// Copies one staged entry into the guest, then applies its attributes: owner, group and mode on
// Unix guests when the job restores ACLs; the staged file's times on other guests reached over a
// command channel. A staged entry that did not reach the guest (failed or kept) is deleted from
// staging; one that did stays until the staging folder is handed back.
bool CVSAgentlessRestoreToVM::RestoreToVM(const char* stagedPath, u_longlong_t, u_longlong_t, CXFileHeader* header,
                                          std::string& guestPath, bool& skipped, bool& attributesApplied) {
  static constexpr EntryOperation kRestoreEntry{kRestoreToVMOrigin, "Cannot restore staged entry [%s]: %s", false};
  const std::string staged = stagedPath == nullptr ? std::string() : std::string(stagedPath);
  std::string entryPath;
  if (const std::optional<bool> ended = EnterEntryOperation(kRestoreEntry, staged, nullptr, guestPath, entryPath)) {
    return *ended;
  }
  // The backup's owner goes with the copy where the channel can give it before the rename, so that
  // the new file is never, even for a moment, another user's or open to the login's group.
  if (auto* copyOwner = dynamic_cast<IGuestCopyOwner*>(m_pGuestAPI.get())) {
    const bool owned = header != nullptr && m_restoreToUnixVM && m_restoreACLs;
    copyOwner->SetNextCopyOwner(owned ? static_cast<int64_t>(header->uid) : -1,
                                owned ? static_cast<int64_t>(header->gid) : -1);
  }
  bool isFolder = false;
  const bool copied = CopyToGuest(staged, guestPath, true, skipped, isFolder);
  if (auto* copyOwner = dynamic_cast<IGuestCopyOwner*>(m_pGuestAPI.get())) copyOwner->SetNextCopyOwner(-1, -1);
  if (!copied) return AfterFailedCopy(kRestoreToVMOrigin, staged, isFolder, skipped);
  if (header == nullptr) return true;

  if (m_restoreToUnixVM) {
    if (!m_restoreACLs) return true;
    attributesApplied = UpdateUnixPermissions(staged, header);
    return attributesApplied;
  }
  if (m_pGuestAPI->IsZqGuestAPI() && !isFolder) {
    attributesApplied = UpdateFileTimes(staged);
    return attributesApplied;
  }
  return true;
}

// The image-level variant: no attributes; reports the bytes the entry holds.
bool CVSAgentlessRestoreToVM::RestoreToVM_ImageLevel(const std::string& stagedPath, u_longlong_t, u_longlong_t size,
                                                     bool timeIsAccurate, u_longlong_t& bytes, bool& skipped) {
  static constexpr EntryOperation kRestoreImageEntry{kRestoreImageLevelOrigin, "Cannot restore staged entry [%s]: %s",
                                                     false};
  std::string guestPath;
  std::string entryPath;
  if (const std::optional<bool> ended =
          EnterEntryOperation(kRestoreImageEntry, stagedPath, nullptr, guestPath, entryPath)) {
    return *ended;
  }
  u_longlong_t entryBytes = size;
  if (entryBytes == 0) {
    long long stagedSize = 0;
    FXFile::ZQGetFileSize(stagedPath, stagedSize);  // unknown size: report 0, copy anyway
    entryBytes = static_cast<u_longlong_t>(stagedSize);
  }
  bool isFolder = false;
  if (CopyToGuest(stagedPath, guestPath, timeIsAccurate, skipped, isFolder)) {
    bytes = entryBytes;
    return true;
  }
  return AfterFailedCopy(kRestoreImageLevelOrigin, stagedPath, isFolder, skipped);
}

CVSAgentlessRestoreToVM::GuestEntryState CVSAgentlessRestoreToVM::LookUpGuestEntry(const std::string& guestEntry,
                                                                                   VMInfoStructs::SGuestFile& entry,
                                                                                   bool& fresh, int depth) {
  fresh = false;
  const bool unixStyle = Mapping().unixStyle;
  m_listings.SetIgnoreCase(!unixStyle);
  const std::string leaf = LeafOf(guestEntry, unixStyle);
  const std::string parent = HoldingFolder(guestEntry, unixStyle);
  std::string guestDir = m_guestDir;
  while (guestDir.size() > 1 && (guestDir.back() == '/' || guestDir.back() == '\\')) guestDir.pop_back();
  if (leaf.empty() || parent.size() < guestDir.size() || depth > kMaxLookUpDepth) {
    m_log.Error(kLookUpOrigin, "Cannot tell whether the guest holds [%s]: %s", guestEntry.c_str(),
                m_pGuestAPI->GetLastGuestApiErrorDetails().c_str());
    return GuestEntryState::Unknown;
  }
  const std::string listed = ListedFolder(guestEntry, unixStyle);
  if (m_listings.Has(listed)) {
    if (!m_listings.Find(listed, leaf, entry)) return GuestEntryState::Absent;
    return StateOf(entry);
  }

  std::vector<VMInfoStructs::SGuestFile> listing;
  if (m_pGuestAPI->BrowseGuest(m_guestCtx, listed, listing)) {
    for (VMInfoStructs::SGuestFile& candidate : listing) candidate.name = LeafOf(candidate.name, unixStyle);
    m_listings.Remember(listed, listing);
    if (!m_listings.Has(listed) && !IsOversizedFolder(listed)) {
      m_oversizedFolders.push_back(listed);
      if (m_oversizedFolders.size() > kMaxOversizedFolders) m_oversizedFolders.pop_front();
    }
    fresh = true;
    for (const VMInfoStructs::SGuestFile& candidate : listing) {
      if (unixStyle ? candidate.name != leaf : !boost::algorithm::iequals(candidate.name, leaf)) continue;
      entry = candidate;
      return StateOf(candidate);
    }
    return GuestEntryState::Absent;
  }
  // The folder cannot be listed: when it is missing, so is the entry.
  VMInfoStructs::SGuestFile parentEntry;
  bool parentFresh = false;
  const GuestEntryState parentState = parent.size() > guestDir.size()
                                          ? LookUpGuestEntry(parent, parentEntry, parentFresh, depth + 1)
                                          : GuestEntryState::Folder;
  if (parentState == GuestEntryState::Absent) return GuestEntryState::Absent;
  if (parentState != GuestEntryState::Unknown) {
    m_log.Error(kLookUpOrigin, "Cannot list guest folder [%s] to look for [%s]: %s", parent.c_str(),
                guestEntry.c_str(), m_pGuestAPI->GetLastGuestApiErrorDetails().c_str());
  }
  return GuestEntryState::Unknown;
}

bool CVSAgentlessRestoreToVM::IsOversizedFolder(const std::string& folder) const {
  return std::find(m_oversizedFolders.begin(), m_oversizedFolders.end(), folder) != m_oversizedFolders.end();
}

CVSAgentlessRestoreToVM::GuestEntryState CVSAgentlessRestoreToVM::LookAtFileAlone(const std::string& guestEntry,
                                                                                  VMInfoStructs::SGuestFile& entry) {
  const bool unixStyle = Mapping().unixStyle;
  const std::string leaf = LeafOf(guestEntry, unixStyle);
  std::vector<VMInfoStructs::SGuestFile> entries;
  if (!m_pGuestAPI->BrowseGuest(m_guestCtx, guestEntry, entries)) {
    m_log.Error(kCopyToGuestOrigin, "Cannot tell whether the guest holds [%s]: %s", guestEntry.c_str(),
                m_pGuestAPI->GetLastGuestApiErrorDetails().c_str());
    return GuestEntryState::Unknown;
  }
  if (entries.empty()) return GuestEntryState::Absent;
  const VMInfoStructs::SGuestFile* itself = EntryItself(entries, leaf, unixStyle);
  if (itself == nullptr) return GuestEntryState::Folder;
  entry = *itself;
  entry.name = leaf;
  return StateOf(entry);
}

CVSAgentlessRestoreToVM::GuestEntryState CVSAgentlessRestoreToVM::RecheckGuestFile(const std::string& guestEntry,
                                                                                   VMInfoStructs::SGuestFile& entry) {
  const bool unixStyle = Mapping().unixStyle;
  const std::string leaf = LeafOf(guestEntry, unixStyle);
  const std::string listed = ListedFolder(guestEntry, unixStyle);
  std::vector<VMInfoStructs::SGuestFile> entries;
  if (m_pGuestAPI->BrowseGuest(m_guestCtx, guestEntry, entries)) {
    const VMInfoStructs::SGuestFile* itself = EntryItself(entries, leaf, unixStyle);
    if (itself != nullptr && itself->type == VMInfoStructs::GuestFileRegular) {
      entry = *itself;
      entry.name = leaf;
      m_listings.Put(listed, entry);
      return GuestEntryState::File;
    }
  }
  // Gone, turned into a folder or a link, or not answered: a fresh listing of its folder tells.
  m_listings.Forget(listed);
  bool fresh = false;
  return LookUpGuestEntry(guestEntry, entry, fresh);
}

// Creates the guest folder for a staged folder, or copies a staged file unless the guest already
// holds the same or a newer one:
//   overwrite-always set                      -> copy, replacing the guest file (or link) unseen
//   guest file absent                         -> copy without overwrite
//   guest file present, times not comparable  -> keep it (skipped), false
//   guest file present, same time, other size -> copy with overwrite
//   guest file present, local <= guest        -> keep it (skipped), false
//   guest file present, local >  guest        -> copy with overwrite
//   by content (checksum): another size, or the same size and another SHA-256 -> copy with overwrite;
//   the same size and SHA-256 -> keep it (skipped, "same content"); no digest -> failure. Times
//   are not looked at.
//   guest cannot be looked at                 -> failure (never taken for "absent")
//   a folder where the file goes              -> failure: no file replaces a folder
//   a link (or other non-file) where it goes  -> failure naming it: never kept, never written through
// A staged folder whose guest folder exists already is kept (skipped, false), unless the job
// overwrites always: then it takes the entry's attributes as a new folder does. A copy with overwrite
// in a job that keeps backups first hands the channel the backup suffix. The throughput counter runs
// around every copy.
bool CVSAgentlessRestoreToVM::CopyToGuest(const std::string& stagedPath, const std::string& guestPath,
                                          bool timeIsAccurate, bool& skipped, bool& isFolder) {
  isFolder = false;
  if (!m_restoreToVMActive) return true;
  if (!HasGuestChannel(kCopyToGuestOrigin)) return false;

  // lstat: a link in the staging folder is nobody's restored entry and is never followed.
  struct stat staged;
  if (::lstat(stagedPath.c_str(), &staged) != 0) {
    const int error = errno;
    m_log.Error(kCopyToGuestOrigin, "Cannot examine staged entry [%s], %s", stagedPath.c_str(), std::strerror(error));
    return false;
  }
  if (!S_ISDIR(staged.st_mode) && !S_ISREG(staged.st_mode)) {
    m_log.Error(kCopyToGuestOrigin, "Staged entry [%s] is neither a file nor a folder and is not restored",
                stagedPath.c_str());
    return false;
  }

  if (S_ISDIR(staged.st_mode)) {
    isFolder = true;
    if (!Mapping().CreatesFolders()) return false;
    VMInfoStructs::SGuestFile existing;
    bool fresh = false;
    switch (LookUpGuestEntry(guestPath, existing, fresh)) {
      case GuestEntryState::Unknown:
        return false;
      case GuestEntryState::Folder:
        // With overwrite-always the existing folder takes the backup's attributes, as a new one does.
        if (OverwritesAlways()) {
          m_log.Debug(kCopyToGuestOrigin, "Guest dir [%s] exists already; its attributes are restored",
                      guestPath.c_str());
          return true;
        }
        m_log.Debug(kCopyToGuestOrigin, "Guest dir [%s] exists already and is kept as it is", guestPath.c_str());
        skipped = true;
        return false;
      case GuestEntryState::File:
        m_log.Error(kCopyToGuestOrigin, "Guest path [%s] exists and is not a folder", guestPath.c_str());
        return false;
      case GuestEntryState::Link:
        m_log.Error(kCopyToGuestOrigin, "Guest path [%s] is %s, not a folder; nothing is created through it",
                    guestPath.c_str(), KindWord(existing));
        return false;
      case GuestEntryState::Absent:
        break;
    }
    m_log.Debug(kCopyToGuestOrigin, "Creating guest dir [%s]", guestPath.c_str());
    if (!m_pGuestAPI->CreateGuestFolder(m_guestCtx, guestPath)) {
      m_log.Error(kCopyToGuestOrigin, "Failed to create guest dir [%s]", guestPath.c_str());
      return false;
    }
    m_log.DebugLvl(kCopyToGuestOrigin, 2, "Successfully created guest dir [%s]", guestPath.c_str());
    // The new folder is empty as far as this job knows; its entries need no listing.
    const bool unixStyle = Mapping().unixStyle;
    VMInfoStructs::SGuestFile created;
    created.name = LeafOf(FolderItself(guestPath), unixStyle);
    created.type = VMInfoStructs::GuestFileDirectory;
    m_listings.Put(ListedFolder(guestPath, unixStyle), created);
    m_listings.Remember(FolderItself(guestPath), {});
    return true;
  }

  bool overwrite = OverwritesAlways();
  const std::string guestEntry = GuestEntryPath(stagedPath, guestPath);
  if (!overwrite) {
    VMInfoStructs::SGuestFile existing;
    bool fresh = false;
    const bool alone = IsOversizedFolder(ListedFolder(guestEntry, Mapping().unixStyle));
    GuestEntryState state = alone ? LookAtFileAlone(guestEntry, existing) : LookUpGuestEntry(guestEntry, existing, fresh);
    fresh = fresh || alone;
    // A kept listing may be older than the guest: a file it shows as older than the local one is
    // looked at again before it is replaced. Keeping on a kept listing's word, or copying without
    // overwrite a file it does not show, cannot destroy anything newer. By content, only a size
    // that differs decides without a fresh look (a digest is always taken fresh).
    const bool byContent = DecidesByContent();
    const bool replacesOnListing = byContent ? existing.size != static_cast<int64_t>(staged.st_size)
                                             : timeIsAccurate && ReplacesGuestFile(staged, existing);
    if (state == GuestEntryState::File && !fresh && replacesOnListing) {
      state = RecheckGuestFile(guestEntry, existing);
    }
    if (state == GuestEntryState::Unknown) return false;
    if (state == GuestEntryState::Folder) {
      m_log.Error(kCopyToGuestOrigin, "Guest path [%s] is a folder; file [%s] is not copied over it",
                  guestEntry.c_str(), stagedPath.c_str());
      return false;
    }
    // A link is not a file as new as the backup's, and the file is not written through it. Only
    // overwrite-always replaces it (the copy renames the file over the link itself).
    if (state == GuestEntryState::Link) {
      m_log.Error(kCopyToGuestOrigin,
                  "Guest path [%s] is %s, not a file; file [%s] is not written through it nor kept in its place "
                  "(overwrite-always replaces it)",
                  guestEntry.c_str(), KindWord(existing), stagedPath.c_str());
      return false;
    }
    if (state == GuestEntryState::File && byContent) {
      switch (CompareContent(stagedPath, staged, guestEntry, existing)) {
        case ContentVerdict::Unknown:
          return false;
        case ContentVerdict::Same:
          skipped = true;
          return false;
        case ContentVerdict::Different:
          overwrite = true;
          break;
      }
    } else if (state == GuestEntryState::File) {
      if (!timeIsAccurate) {
        m_log.Debug(kCopyToGuestOrigin, "File [%s] time is not accurate", stagedPath.c_str());
        skipped = true;
        return false;
      }
      const long long localTime = static_cast<long long>(staged.st_mtime);
      const long long guestTime = existing.modifyTime;
      if (localTime == guestTime && ReplacesGuestFile(staged, existing)) {
        m_log.Debug(kCopyToGuestOrigin, "File [%s] has the time of the file in the guest [%s] [%lld] but another size "
                    "[%lld] against [%lld]; it is replaced",
                    stagedPath.c_str(), guestEntry.c_str(), guestTime, static_cast<long long>(existing.size),
                    static_cast<long long>(staged.st_size));
      } else if (localTime <= guestTime) {
        m_log.Debug(kCopyToGuestOrigin, "File [%s] [%d] is older than the file in the guest [%s] [%d]",
                    stagedPath.c_str(), static_cast<int>(localTime), guestEntry.c_str(), static_cast<int>(guestTime));
        skipped = true;
        return false;
      }
      m_log.Debug(kCopyToGuestOrigin, "Overwrite guest file [%s] [%d] with Local file [%s] [%d] ", guestEntry.c_str(),
                  static_cast<int>(guestTime), stagedPath.c_str(), static_cast<int>(localTime));
      overwrite = true;
    }
  }

  // The staged times, before the copy reads the file and moves its access time.
  m_stagedTimes = StagedTimes();
  if (!FXFile::GetFileTimes(stagedPath, &m_stagedTimes.createTime, &m_stagedTimes.modifyTime,
                            &m_stagedTimes.accessTime)
           .IsError()) {
    m_stagedTimes.stagedPath = stagedPath;
  }

  // Only a copy that may replace a file keeps a backup; a file the guest lacks has none to keep.
  if (overwrite && KeepsBackups() && !ArrangeBackup()) return false;

  const long long stagedBytes = static_cast<long long>(staged.st_size);
  m_log.DebugLvl(kCopyToGuestOrigin, 2, "Copying to guest [%s]->[%s]  (%lld) bytes", stagedPath.c_str(),
                 guestPath.c_str(), stagedBytes);
  m_speedCounter.Start();
  // The native channel takes the holding folder of a Hyper-V guest's entry; the command channels
  // write the entry's own path.
  const std::string& copyTarget = guestEntry != guestPath && m_pGuestAPI->IsZqGuestAPI() ? guestEntry : guestPath;
  const int copied = m_pGuestAPI->CopyFileToGuest(m_guestCtx, stagedPath, copyTarget, overwrite);
  // Only bytes that arrived count: a failed copy adds its time, not its size.
  m_speedCounter.Stop(copied ? static_cast<unsigned long long>(stagedBytes) : 0ULL);
  const bool unixStyle = Mapping().unixStyle;
  if (!copied) {
    // What the folder holds now is not known (something may have appeared where the file goes).
    m_listings.Forget(ListedFolder(guestEntry, unixStyle));
    m_log.Error(kCopyToGuestOrigin, "Failed to copy [%s] to [%s]", stagedPath.c_str(), guestPath.c_str());
    return false;
  }
  VMInfoStructs::SGuestFile copiedEntry;
  copiedEntry.name = LeafOf(guestEntry, unixStyle);
  copiedEntry.type = VMInfoStructs::GuestFileRegular;
  copiedEntry.size = stagedBytes;
  copiedEntry.modifyTime = static_cast<long long>(staged.st_mtime);
  m_listings.Put(ListedFolder(guestEntry, unixStyle), copiedEntry);
  m_log.Debug(kCopyToGuestOrigin, "Successfully copied file to guest VM srcPath[%s] VMdestPath [%s]",
              stagedPath.c_str(), guestPath.c_str());
  return true;
}

// Sends owner, group and mode (low 32 bits each) and the header's two times: mtime as the
// modification time, ctime as the access time; the creation time stays 0.
bool CVSAgentlessRestoreToVM::UpdateUnixPermissions(const std::string& stagedPath, CXFileHeader* header) {
  static constexpr EntryOperation kUpdatePermissions{
      kUpdateUnixPermissionsOrigin, "Cannot update unix permissions of staged entry [%s]: %s", true};
  std::string mappedPath;
  std::string guestPath;
  if (const std::optional<bool> ended =
          EnterEntryOperation(kUpdatePermissions, stagedPath, header, mappedPath, guestPath)) {
    return *ended;
  }
  VMInfoStructs::SGuestFile attributes;
  if (m_setTimesWithPermissions || m_pGuestAPI->IsZqGuestAPI()) {
    attributes.modifyTime = header->mtime;
    attributes.accessTime = header->ctime;
  }
  attributes.uid = static_cast<int32_t>(header->uid);
  attributes.gid = static_cast<int32_t>(header->gid);
  attributes.mode = static_cast<int32_t>(header->mode);

  m_log.Debug(kUpdateUnixPermissionsOrigin,
              "Updating unix permissions for [%s], mtime %lld, ctime %lld, uid %lld, gid %lld, mode %lld",
              guestPath.c_str(), static_cast<long long>(header->mtime), static_cast<long long>(header->ctime),
              static_cast<long long>(header->uid), static_cast<long long>(header->gid),
              static_cast<long long>(header->mode));
  m_log.Debug(kUpdateUnixPermissionsOrigin, "Updating unix permissions for [%s]", guestPath.c_str());
  if (!m_pGuestAPI->ChangeGuestFileAttributes(m_guestCtx, guestPath, attributes)) {
    m_log.Error(kUpdateUnixPermissionsOrigin, "Failed to change file attributes [%s]", guestPath.c_str());
    return false;
  }
  m_log.Debug(kUpdateUnixPermissionsOrigin, "Successfully changed file attributes [%s]", guestPath.c_str());
  return true;
}

// Sends the staged file's creation, modification and access times; owner, group and mode stay 0.
// Times that cannot be read are not sent: zeros would date the guest file back to 1970.
bool CVSAgentlessRestoreToVM::UpdateFileTimes(const std::string& stagedPath) {
  static constexpr EntryOperation kUpdateTimes{kUpdateFileTimesOrigin,
                                               "Cannot update attributes of staged entry [%s]: %s", false};
  std::string mappedPath;
  std::string guestPath;
  if (const std::optional<bool> ended =
          EnterEntryOperation(kUpdateTimes, stagedPath, nullptr, mappedPath, guestPath)) {
    return *ended;
  }
  long createTime = 0;
  long modifyTime = 0;
  long accessTime = 0;
  if (m_stagedTimes.stagedPath == stagedPath) {
    // Taken before the copy read the file (CopyToGuest).
    createTime = m_stagedTimes.createTime;
    modifyTime = m_stagedTimes.modifyTime;
    accessTime = m_stagedTimes.accessTime;
  } else {
    const CNyError timesError = FXFile::GetFileTimes(stagedPath, &createTime, &modifyTime, &accessTime);
    if (timesError.IsError()) {
      m_log.Error(kUpdateFileTimesOrigin, "Cannot read the times of staged file [%s], %s", stagedPath.c_str(),
                  timesError.AsString().c_str());
      return false;
    }
  }
  VMInfoStructs::SGuestFile attributes;
  attributes.createTime = createTime;
  attributes.modifyTime = modifyTime;
  attributes.accessTime = accessTime;

  m_log.DebugLvl(kUpdateFileTimesOrigin, 2, "Updating attributes for [%s]", guestPath.c_str());
  if (!m_pGuestAPI->ChangeGuestFileAttributes(m_guestCtx, guestPath, attributes)) {
    m_log.Error(kUpdateFileTimesOrigin, "Failed to change file attributes [%s]", guestPath.c_str());
    return false;
  }
  m_log.Debug(kUpdateFileTimesOrigin, "Successfully changed file attributes [%s]", guestPath.c_str());
  return true;
}
