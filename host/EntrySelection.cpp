#include "host/EntrySelection.h"

#include <fnmatch.h>

#include <set>
#include <utility>

namespace {

// fnmatch on the whole of `path`; "*" stays within a name unless the pattern holds "**".
bool GlobMatches(const std::string& glob, const std::string& path) {
  const int flags = glob.find("**") != std::string::npos ? 0 : FNM_PATHNAME;
  return fnmatch(glob.c_str(), path.c_str(), flags) == 0;
}

}  // namespace

bool PatternMatches(const std::string& pattern, const std::string& relativePath, bool isFolder) {
  std::string glob = pattern;
  if (!glob.empty() && glob.back() == '/') {
    if (!isFolder) return false;
    glob.pop_back();
  }
  if (!glob.empty() && glob.front() == '/') return GlobMatches(glob.substr(1), relativePath);
  if (glob.empty()) return false;
  // Unanchored: the path itself, then every tail that starts after a "/".
  for (std::string::size_type start = 0; start != std::string::npos;) {
    if (GlobMatches(glob, relativePath.substr(start))) return true;
    const std::string::size_type slash = relativePath.find('/', start);
    start = slash == std::string::npos ? slash : slash + 1;
  }
  return false;
}

bool IsSelected(const std::vector<SelectionRule>& rules, const std::string& relativePath, bool isFolder) {
  for (const SelectionRule& rule : rules) {
    if (PatternMatches(rule.pattern, relativePath, isFolder)) return rule.include;
  }
  return true;
}

void SelectEntries(const std::vector<SelectionRule>& rules, SourceTree& tree) {
  SourceTree selected;
  // Folders dropped so far: what lies below one is dropped with it. A folder comes before its
  // contents, but not always right before them (an archive lists them in the order of its data).
  std::set<std::string> droppedFolders;
  for (SourceEntry& entry : tree.entries) {
    const std::string path = entry.relativePath;
    const bool isFolder = entry.kind == EntryKind::Folder;
    const size_t slash = path.rfind('/');
    const bool parentDropped = slash != std::string::npos && droppedFolders.count(path.substr(0, slash)) != 0;
    if (parentDropped || !IsSelected(rules, path, isFolder)) {
      if (isFolder) droppedFolders.insert(path);
      continue;
    }
    if (entry.problem.empty() && isFolder) ++selected.restorableFolders;
    if (entry.problem.empty() && entry.kind == EntryKind::File) {
      ++selected.restorableFiles;
      selected.restorableBytes += static_cast<uint64_t>(entry.info.st_size);
    }
    selected.entries.push_back(std::move(entry));
  }
  tree = std::move(selected);
}
