#include "StagingFolderLayout.h"

#include <cstring>

std::string StagingFolderPath(const std::string& jobResultsDir, const FSRInitData& ids) {
  std::string path = jobResultsDir;
  if (path.empty() || path.back() != '/') path += '/';
  path += "ZQ_JobResults/";
  path += std::to_string(static_cast<unsigned long long>(ids.initIdA));
  path += '/';
  path += std::to_string(static_cast<unsigned long long>(ids.initIdB));
  path += '/';
  path += std::to_string(static_cast<long long>(ids.initIdC));
  path += '/';
  path += kStagingLeafName;
  return path;
}

std::string StagedEntryRefusal(const char* stagingFolder, const std::string& guestDir, const std::string& stagedPath) {
  if (stagingFolder == nullptr) return "no staging folder has been published";
  if (guestDir.empty()) return "the guest folder has not been prepared";
  const size_t prefixLength = std::strlen(stagingFolder);
  // The entry must lie inside the staging folder: its text, then exactly the proxy's separator.
  // Anything else (a sibling such as ForGuestVMx, a shorter path) would make the relative path
  // start inside the staging folder's own name or past the end of the staged path.
  if (stagedPath.size() <= prefixLength || stagedPath.compare(0, prefixLength, stagingFolder) != 0 ||
      stagedPath[prefixLength] != '/') {
    return "the entry is not inside the staging folder";
  }
  return std::string();
}

std::string StagedRelativePath(const char* stagingFolder, const std::string& stagedPath) {
  return stagedPath.substr(std::strlen(stagingFolder) + 1);
}
