#include "StagingFolderLayout.h"

#include <cstring>

#include "../platform/FXFile.h"

namespace {

// Token the host writes into staged names for a ":" that the proxy's file names cannot carry.
constexpr const char* kColonToken = "ZqColonZq";

// True when `relative`, cut at "/" and at "\" (the mapping turns either into the guest's
// separator), has a ".." component.
bool HasParentComponent(const std::string& relative) {
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find_first_of("/\\", start);
    if (end == std::string::npos) end = relative.size();
    if (relative.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

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
  // A ".." would lead the guest path out of the guest folder. No restored entry has that name.
  if (HasParentComponent(stagedPath.substr(prefixLength + 1))) return "the entry is not inside the staging folder";
  return std::string();
}

std::string StagedRelativePath(const char* stagingFolder, const std::string& stagedPath) {
  return stagedPath.substr(std::strlen(stagingFolder) + 1);
}

std::string GuestPathOfStagedEntry(const char* stagingFolder, const std::string& guestDir,
                                   const std::string& stagedPath, bool holdingFolder) {
  std::string relative = StagedRelativePath(stagingFolder, stagedPath);
  const bool unixStyle = guestDir[0] == '/';
  char separator = '\\';
  if (unixStyle) {
    FXString::ReplaceAll(relative, "\\", "/");
    separator = '/';
  } else {
    FXString::ReplaceAll(relative, "/", "\\");
  }
  std::string guestPath = guestDir;
  if (unixStyle) FXString::ReplaceAll(relative, kColonToken, ":");
  if (guestPath.back() != separator && (relative.empty() || relative[0] != separator)) guestPath += separator;
  if (holdingFolder && unixStyle) {
    FXString::TrimRight(relative, "/");
    const size_t lastSeparator = relative.rfind('/');
    relative = lastSeparator == std::string::npos ? std::string() : relative.substr(0, lastSeparator);
  }
  guestPath += relative;
  return guestPath;
}
