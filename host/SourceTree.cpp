#include "host/SourceTree.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <ostream>

#include "platform/StagedNames.h"

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The names in `path` other than "." and "..", sorted; false with `error` when it cannot be read.
bool ListFolder(const std::string& path, std::vector<std::string>& names, std::string& error) {
  DirHandle dir(opendir(path.c_str()));
  if (!dir) {
    error = strerror(errno);
    return false;
  }
  errno = 0;
  while (dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  if (errno != 0) {
    error = strerror(errno);
    return false;
  }
  std::sort(names.begin(), names.end());
  return true;
}

EntryKind KindOf(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return EntryKind::Folder;
  if (S_ISREG(info.st_mode)) return EntryKind::File;
  return EntryKind::Unsupported;
}

std::string UnsupportedKindProblem(const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return "symbolic links are not restored";
  if (S_ISFIFO(info.st_mode)) return "named pipes are not restored";
  if (S_ISSOCK(info.st_mode)) return "sockets are not restored";
  return "device files are not restored";
}

class TreeWalker {
 public:
  TreeWalker(const std::string& root, SourceTree& tree) : m_root(root), m_tree(tree) {}

  // Adds the contents of the folder at `relative` ("" for the root). `inherited` is the problem
  // of the folder itself, which every entry below it shares.
  void AddContents(const std::string& relative, const std::string& inherited) {
    const std::string folder = relative.empty() ? m_root : m_root + "/" + relative;
    std::vector<std::string> names;
    std::string error;
    if (!ListFolder(folder, names, error)) {
      // The folder itself was added already; what it holds is unknown and cannot be restored.
      SourceEntry unreadable;
      unreadable.relativePath = relative.empty() ? "." : relative;
      unreadable.problem = "cannot read the folder's contents: " + error;
      m_tree.entries.push_back(std::move(unreadable));
      return;
    }
    for (const std::string& name : names) {
      AddEntry(relative.empty() ? name : relative + "/" + name, name, inherited);
    }
  }

  void AddEntry(const std::string& relative, const std::string& name, const std::string& inherited) {
    SourceEntry entry;
    entry.relativePath = relative;
    if (lstat((m_root + "/" + relative).c_str(), &entry.info) != 0) {
      entry.problem = std::string("cannot examine the entry: ") + strerror(errno);
      m_tree.entries.push_back(std::move(entry));
      return;
    }
    entry.kind = KindOf(entry.info);
    if (!inherited.empty()) {
      entry.problem = inherited;
    } else if (entry.kind == EntryKind::Unsupported) {
      entry.problem = UnsupportedKindProblem(entry.info);
    } else {
      entry.problem = NameProblem(name);
    }
    Count(entry);
    const bool isFolder = entry.kind == EntryKind::Folder;
    std::string below = entry.problem.empty() ? "" : inherited.empty() ? "its folder cannot be restored" : inherited;
    m_tree.entries.push_back(std::move(entry));
    if (isFolder) AddContents(relative, below);
  }

 private:
  void Count(const SourceEntry& entry) {
    if (!entry.problem.empty()) return;
    if (entry.kind == EntryKind::Folder) ++m_tree.restorableFolders;
    if (entry.kind == EntryKind::File) {
      ++m_tree.restorableFiles;
      m_tree.restorableBytes += static_cast<uint64_t>(entry.info.st_size);
    }
  }

  const std::string& m_root;
  SourceTree& m_tree;
};

}  // namespace

EntryName::EntryName(std::string text)
    : m_text(std::make_shared<const std::string>(std::move(text))), m_length(m_text->size()) {}

EntryName EntryName::Prefix(size_t length) const {
  EntryName prefix = *this;
  prefix.m_length = std::min(length, m_length);
  return prefix;
}

EntryName EntryName::From(size_t start) const {
  EntryName rest = *this;
  rest.m_start = m_start + std::min(start, m_length);
  rest.m_length = m_length - std::min(start, m_length);
  return rest;
}

std::ostream& operator<<(std::ostream& out, const EntryName& name) { return out << name.view(); }

bool IsSkippedKind(const SourceEntry& entry) {
  const mode_t mode = entry.info.st_mode;
  return entry.kind == EntryKind::Unsupported &&
         (S_ISLNK(mode) || S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode) || S_ISBLK(mode));
}

std::string NameProblem(const std::string& name) {
  if (name.find('\\') != std::string::npos) {
    return "the name holds a backslash, which the plug-in would turn into a folder separator";
  }
  if (name.find(kColonToken) != std::string::npos) {
    return std::string("the name holds ") + kColonToken + ", which the plug-in would turn into \":\"";
  }
  return "";
}

bool WalkSourceTree(const std::string& root, SourceTree& tree, std::string& error) {
  struct stat info {};
  if (stat(root.c_str(), &info) != 0) {
    error = root + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    error = root + ": not a folder";
    return false;
  }
  std::vector<std::string> probe;
  if (!ListFolder(root, probe, error)) {
    error = root + ": " + error;
    return false;
  }
  tree = SourceTree();
  TreeWalker(root, tree).AddContents("", "");
  return true;
}

bool WalkSource(const std::string& source, SourceTree& tree, std::string& root, std::string& error) {
  struct stat info {};
  if (lstat(source.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    std::string path = source;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::string::size_type slash = path.rfind('/');
    root = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    tree = SourceTree();
    TreeWalker(root, tree).AddEntry(name, name, "");
    return true;
  }
  root = source;
  return WalkSourceTree(source, tree, error);
}

bool KeepSubtree(const std::string& path, SourceTree& tree, std::string& error) {
  if (path.empty()) return true;
  SourceTree kept;
  const std::string prefix = path + "/";
  bool found = false;
  for (SourceEntry& entry : tree.entries) {
    if (entry.relativePath == path) {
      found = true;
      if (entry.kind == EntryKind::Folder && entry.problem.empty()) continue;  // its contents land at the destination
      const size_t slash = path.rfind('/');
      entry.relativePath = entry.relativePath.From(slash == std::string::npos ? 0 : slash + 1);
    } else if (entry.relativePath.size() > prefix.size() && entry.relativePath.compare(0, prefix.size(), prefix) == 0) {
      found = true;
      entry.relativePath = entry.relativePath.From(prefix.size());
    } else {
      continue;
    }
    if (entry.problem.empty() && entry.kind == EntryKind::Folder) ++kept.restorableFolders;
    if (entry.problem.empty() && entry.kind == EntryKind::File) {
      ++kept.restorableFiles;
      kept.restorableBytes += static_cast<uint64_t>(entry.info.st_size);
    }
    kept.entries.push_back(std::move(entry));
  }
  if (!found) {
    error = "--source-path " + path + ": the source holds nothing there";
    return false;
  }
  tree = std::move(kept);
  return true;
}
