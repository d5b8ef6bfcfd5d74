#include "controller/StagingFolderLayout.h"

#include <cctype>
#include <cstring>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "platform/FXFile.h"
#include "platform/StagedNames.h"
#include "vminfo/VirtualServerInstanceType.h"

namespace {

// Names below the job-results directory: ZQ_JobResults, three ids, the run, the leaf.
constexpr size_t kNamesBelowJobResults = 6;

}  // namespace

std::string StagingFolderPath(const std::string& jobResultsDir, const FSRInitData& ids, const std::string& run) {
  std::string path = jobResultsDir;
  if (path.empty() || path.back() != '/') path += '/';
  path += "ZQ_JobResults/";
  path += std::to_string(static_cast<unsigned long long>(ids.initIdA));
  path += '/';
  path += std::to_string(static_cast<unsigned long long>(ids.initIdB));
  path += '/';
  path += std::to_string(static_cast<long long>(ids.initIdC));
  path += '/';
  path += run;
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
  return StagedNameRefusal(stagedPath.substr(prefixLength + 1));
}

std::string StagedNameRefusal(const std::string& relativePath) {
  std::vector<std::string> names;
  boost::algorithm::split(names, relativePath, boost::algorithm::is_any_of("/\\"));
  for (const std::string& name : names) {
    if (name.empty()) return "its name [" + relativePath + "] holds an empty part";
    if (name == "." || name == "..") return "its name [" + relativePath + "] holds a \"" + name + "\" part";
  }
  return std::string();
}

bool SplitStagingFolder(const std::string& stagingFolder, std::string& base, std::vector<std::string>& chain,
                        std::string& run, std::string& leaf) {
  std::string rest = stagingFolder;
  std::vector<std::string> names;
  while (names.size() < kNamesBelowJobResults) {
    const size_t slash = rest.rfind('/');
    if (slash == std::string::npos || slash + 1 == rest.size()) return false;
    names.insert(names.begin(), rest.substr(slash + 1));
    rest.erase(slash);
  }
  if (rest.empty()) rest = "/";
  if (names.front() != "ZQ_JobResults" || names.back() != kStagingLeafName) return false;
  base = rest;
  leaf = names.back();
  names.pop_back();
  run = names.back();
  names.pop_back();
  chain = names;
  return true;
}

std::string StagedRelativePath(const char* stagingFolder, const std::string& stagedPath) {
  return stagedPath.substr(std::strlen(stagingFolder) + 1);
}

GuestMapping GuestMappingOf(const std::string& guestFolder, long long instanceType) {
  GuestMapping mapping;
  mapping.guestFolder = guestFolder;
  mapping.unixStyle = !guestFolder.empty() && guestFolder[0] == '/';
  mapping.hyperV = instanceType == VSInstanceHyperV;
  return mapping;
}

StagedEntryMapping MapStagedEntry(const GuestMapping& mapping, const char* stagingFolder,
                                  const std::string& stagedPath) {
  StagedEntryMapping mapped;
  mapped.refusal = StagedEntryRefusal(stagingFolder, mapping.guestFolder, stagedPath);
  if (!mapped.refusal.empty()) return mapped;

  std::string relative = StagedRelativePath(stagingFolder, stagedPath);
  char separator = '\\';
  if (mapping.unixStyle) {
    FXString::ReplaceAll(relative, "\\", "/");
    FXString::ReplaceAll(relative, kColonToken, ":");
    separator = '/';
  } else {
    FXString::ReplaceAll(relative, "/", "\\");
  }
  std::string guestPath = mapping.guestFolder;
  if (guestPath.back() != separator && (relative.empty() || relative[0] != separator)) guestPath += separator;
  if (mapping.MapsToHoldingFolder()) {
    FXString::TrimRight(relative, "/");
    const size_t lastSeparator = relative.rfind('/');
    relative = lastSeparator == std::string::npos ? std::string() : relative.substr(0, lastSeparator);
  }
  mapped.guestPath = guestPath + relative;
  mapped.entryPath = GuestEntryPathOf(mapping, stagingFolder, stagedPath, mapped.guestPath);
  return mapped;
}

std::string GuestEntryPathOf(const GuestMapping& mapping, const char* stagingFolder, const std::string& stagedPath,
                             const std::string& guestPath) {
  if (!mapping.MapsToHoldingFolder() || !StagedEntryRefusal(stagingFolder, mapping.guestFolder, stagedPath).empty()) {
    return guestPath;
  }
  std::string relative = StagedRelativePath(stagingFolder, stagedPath);
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  const std::string name = relative.substr(relative.rfind('/') + 1);
  if (name.empty()) return guestPath;
  return guestPath + (!guestPath.empty() && guestPath.back() == '/' ? "" : "/") + name;
}

std::string DestinationStyleProblem(const std::string& destination, GuestPathStyle style, bool rootedByHost) {
  const bool drive = destination.size() >= 2 && std::isalpha(static_cast<unsigned char>(destination[0])) &&
                     destination[1] == ':';
  const bool driveAndSeparator = drive && destination.size() >= 3 && (destination[2] == '\\' || destination[2] == '/');
  switch (style) {
    case GuestPathStyle::Unix:
      if (!destination.empty() && destination[0] == '/') return "";
      if (rootedByHost && !destination.empty() && !drive) return "";
      return "is not an absolute folder of a Linux guest: it must begin with \"/\"";
    case GuestPathStyle::Windows:
      if (driveAndSeparator) return "";
      return "is not an absolute folder of a Windows guest: it must begin with a drive, such as D:\\";
    case GuestPathStyle::Unknown:
      break;
  }
  return "";
}
