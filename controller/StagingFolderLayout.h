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

// <jobResultsDir>[/]ZQ_JobResults/<initIdA>/<initIdB>/<initIdC>/ForGuestVM, with a "/" after the
// job-results directory only when it does not already end in one. initIdA and initIdB print as
// unsigned 64-bit numbers, initIdC as a signed one.
std::string StagingFolderPath(const std::string& jobResultsDir, const FSRInitData& ids);

// The staging folder's place below the job-results directory: `base` receives the job-results
// directory, `chain` the folders between it and the leaf (ZQ_JobResults and the three ids) and
// `leaf` the staging folder's own name. False for a path not laid out by StagingFolderPath.
bool SplitStagingFolder(const std::string& stagingFolder, std::string& base, std::vector<std::string>& chain,
                        std::string& leaf);

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

// The guest path of a staged entry that StagedEntryRefusal accepts. The guest folder's first
// character chooses the style: "/" for Unix guests (separator "/", every "\" of the relative path
// turned into "/" and the token "ZqColonZq" decoded to ":"), anything else for Windows guests
// (separator "\", every "/" turned into "\"). The result is the guest folder, one separator and
// the relative path. With `holdingFolder` (Hyper-V Unix guests) the relative path loses its last
// name, so the result is the folder that is to hold the entry.
std::string GuestPathOfStagedEntry(const char* stagingFolder, const std::string& guestDir,
                                   const std::string& stagedPath, bool holdingFolder);
