// Where the staging folder of a restore-to-VM job lives on the proxy, and how a staged entry
// relates to it. Pure functions of their arguments: no file system, no logging.
#pragma once

#include <string>
#include <vector>

#include "platform/FSRRecords.h"

// Name of the staging folder's leaf, below the job's three ids.
constexpr const char* kStagingLeafName = "ForGuestVM";

// The staging folder the host was told to use (the destination path of the restore parameters
// after the guest folder exists); null without parameters or after a failed attempt.
inline const char* PublishedStagingFolder(const FSRSetParams* setParams) {
  return setParams == nullptr ? nullptr : setParams->destinationPath;
}

// <jobResultsDir>[/]ZQ_JobResults/<initIdA>/<initIdB>/<initIdC>/<run>/ForGuestVM, with a "/" after
// the job-results directory only when it does not already end in one. initIdA and initIdB print as
// unsigned 64-bit numbers, initIdC as a signed one; `run` names the run's own folder
// (StagingRunFolder), so that two runs of one job never share a staging folder.
std::string StagingFolderPath(const std::string& jobResultsDir, const FSRInitData& ids, const std::string& run);

// The staging folder's place below the job-results directory: `base` receives the job-results
// directory, `chain` the folders between it and the run folder (ZQ_JobResults and the three ids),
// `run` the run folder's name and `leaf` the staging folder's own name. False for a path not laid
// out by StagingFolderPath.
bool SplitStagingFolder(const std::string& stagingFolder, std::string& base, std::vector<std::string>& chain,
                        std::string& run, std::string& leaf);

// Why a staged entry's relative path may not be restored, or an empty text when it may. Once "\"
// counts as a separator (as it does for Unix guests), every name must be a plain one: an empty
// name (the staging folder itself, doubled or trailing separators), "." or ".." could map the
// entry onto the destination folder or outside it.
std::string StagedNameRefusal(const std::string& relativePath);

// Why `stagedPath` cannot be mapped into the guest, or an empty text when it can. A mappable path
// is the staging folder, one "/" and the entry's relative path, whose names StagedNameRefusal
// accepts, and a guest folder must be known. `stagingFolder` may be null (no staging folder
// published).
std::string StagedEntryRefusal(const char* stagingFolder, const std::string& guestDir, const std::string& stagedPath);

// The part of `stagedPath` after the staging folder and its separator. Only for paths that
// StagedEntryRefusal accepts.
std::string StagedRelativePath(const char* stagingFolder, const std::string& stagedPath);

// The guest's path style, where the channel that reaches it tells.
enum class GuestPathStyle { Unknown, Unix, Windows };

// Why `destination` cannot be the destination folder of a guest of `style`, or an empty text when
// it can. A Unix guest takes an absolute path ("/" first), or, when the host declared the guest a
// Unix guest (`rootedByHost`), a relative one, which is then taken from "/"; never a path that
// begins with a drive ("D:\Restore"). A Windows guest takes only a path that begins with a drive
// and a separator. Of a guest of unknown style any path is taken; its own form decides the style.
std::string DestinationStyleProblem(const std::string& destination, GuestPathStyle style, bool rootedByHost);

// How the staged entries of one job map into its guest. Fixed by the guest folder and the job's
// hypervisor kind; GuestMappingOf is the one place that reads them.
struct GuestMapping {
  // The destination folder inside the guest; empty until it has been prepared.
  std::string guestFolder;
  // The guest folder begins with "/": names are separated by "/" and the token "ZqColonZq" of a
  // staged name stands for ":". Otherwise (Windows guests) names are separated by "\".
  bool unixStyle = false;
  // The job restores into a Hyper-V guest, which gets no folders of its own from the restore.
  bool hyperV = false;

  // Whether staged folders become guest folders.
  bool CreatesFolders() const { return !hyperV; }
  // Whether an entry maps to the folder that is to hold it rather than to its own path: the file
  // copy of a Hyper-V Unix guest takes the holding folder and names the file after the staged one.
  bool MapsToHoldingFolder() const { return hyperV && unixStyle; }
};

// The mapping for `guestFolder` and the job's VirtualServerInstanceType.
GuestMapping GuestMappingOf(const std::string& guestFolder, long long instanceType);

// Where one staged entry goes in the guest.
struct StagedEntryMapping {
  // Why the entry cannot be mapped (StagedEntryRefusal), or empty when it can; the two paths are
  // empty when it cannot.
  std::string refusal;
  // The guest folder, one separator and the relative path in the guest's style (every "\" turned
  // into "/" and "ZqColonZq" decoded to ":" in Unix style, every "/" turned into "\" otherwise).
  // No separator is added where the guest folder ends in one or the relative path starts with
  // one. Where the mapping maps to the holding folder, the relative path loses its last name.
  std::string guestPath;
  // The entry's own guest path: guestPath, except where guestPath is the holding folder (see
  // GuestEntryPathOf).
  std::string entryPath;
};

// Maps `stagedPath`, which lies below `stagingFolder` (null: none published), into the guest.
StagedEntryMapping MapStagedEntry(const GuestMapping& mapping, const char* stagingFolder,
                                  const std::string& stagedPath);

// The entry's own guest path, given the `guestPath` it was mapped to. Where the mapping maps to the
// holding folder and StagedEntryRefusal accepts the entry, that is `guestPath`, a "/" unless it
// ends in one, and the staged entry's own last name as the proxy spells it (the copy names the
// guest file after the staged one); an entry without a last name, and every other entry, keeps
// `guestPath`.
std::string GuestEntryPathOf(const GuestMapping& mapping, const char* stagingFolder, const std::string& stagedPath,
                             const std::string& guestPath);
