#include "host/ArchiveTree.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

constexpr const char* kBelowRefusedFolder = "its folder cannot be restored";
constexpr const char* kBelowNonFolder = "a name above it is not a folder in the archive";

std::string_view LeafOf(const EntryName& name) {
  const std::string_view text = name.view();
  const size_t slash = text.rfind('/');
  return slash == std::string_view::npos ? text : text.substr(slash + 1);
}

void Count(const SourceEntry& entry, SourceTree& tree) {
  if (!entry.problem.empty()) return;
  if (entry.kind == EntryKind::Folder) ++tree.restorableFolders;
  if (entry.kind == EntryKind::File) {
    ++tree.restorableFiles;
    tree.restorableBytes += static_cast<uint64_t>(entry.info.st_size);
  }
}

}  // namespace

size_t ArchiveTree::Attach(size_t parent, SourceEntry entry, bool implied) {
  m_nodes.push_back({std::move(entry), parent, implied});
  const size_t index = m_nodes.size() - 1;
  // The key's text is the node's own name, which lives as long as the node.
  m_children.emplace(std::make_pair(parent, LeafOf(m_nodes.back().entry.relativePath)), index);
  return index;
}

size_t ArchiveTree::Lookup(size_t parent, std::string_view leaf) const {
  const auto found = m_children.find({parent, leaf});
  return found == m_children.end() ? 0 : found->second;
}

void ArchiveTree::AddRefused(SourceEntry entry) {
  // Not indexed: a refused name never stands for a folder or a hard link's target.
  m_nodes.push_back({std::move(entry), 0, false});
}

size_t ArchiveTree::EnsureParents(const EntryName& name, const struct stat& member) {
  const std::string_view text = name.view();
  size_t parent = 0;
  size_t start = 0;
  for (size_t slash = text.find('/'); slash != std::string_view::npos; slash = text.find('/', start)) {
    const std::string_view leaf = text.substr(start, slash - start);
    start = slash + 1;
    if (const size_t found = Lookup(parent, leaf)) {
      parent = found;
      continue;
    }
    // A folder the archive does not list itself: owner and group 0, mode 0755, the time of the
    // member that needs it.
    SourceEntry implied;
    implied.relativePath = name.Prefix(slash);
    implied.kind = EntryKind::Folder;
    implied.info.st_mode = S_IFDIR | 0755;
    implied.info.st_atim = implied.info.st_mtim = implied.info.st_ctim = member.st_mtim;
    implied.problem = NameProblem(std::string(leaf));
    parent = Attach(parent, std::move(implied), true);
  }
  return parent;
}

void ArchiveTree::Add(SourceEntry entry) {
  const size_t parent = EnsureParents(entry.relativePath, entry.info);
  const size_t found = Lookup(parent, LeafOf(entry.relativePath));
  if (found == 0) {
    Attach(parent, std::move(entry), false);
    return;
  }
  Node& node = m_nodes[found];
  SourceEntry& earlier = node.entry;
  const bool wasFolder = earlier.kind == EntryKind::Folder;
  node.implied = false;
  if (wasFolder != (entry.kind == EntryKind::Folder)) {
    earlier.problem = "the archive lists this name both as a folder and as another kind of entry";
  } else if (!wasFolder) {
    entry.relativePath = earlier.relativePath;  // the text the index points into
    earlier = std::move(entry);
  } else {
    earlier.info = entry.info;
    earlier.ordinal = entry.ordinal;
    if (earlier.problem.empty()) earlier.problem = entry.problem;
  }
}

const SourceEntry* ArchiveTree::Find(std::string_view name) const {
  size_t node = 0;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    node = Lookup(node, name.substr(start, end - start));
    if (node == 0) return nullptr;
    start = end + 1;
  }
  return node == 0 ? nullptr : &m_nodes[node].entry;
}

void ArchiveTree::Emit(SourceTree& tree) {
  tree = SourceTree();
  m_children.clear();
  const size_t count = m_nodes.size();
  // What passes to the names below each node; a parent comes before its children, so one pass
  // in index order settles every node.
  std::vector<const char*> below(count, nullptr);
  for (size_t index = 1; index < count; ++index) {
    SourceEntry& entry = m_nodes[index].entry;
    const char* inherited = below[m_nodes[index].parent];
    if (inherited != nullptr) entry.problem = inherited;
    if (!entry.problem.empty()) {
      below[index] = inherited != nullptr ? inherited : kBelowRefusedFolder;
    } else if (entry.kind != EntryKind::Folder) {
      below[index] = kBelowNonFolder;
    }
  }
  // In the order of the data each entry needs (a hard link's is its target's), each entry after
  // the folders above it, which come at the place of the first entry below them that needs them.
  std::vector<std::pair<uint64_t, size_t>> order;
  order.reserve(count);
  for (size_t index = 1; index < count; ++index) {
    if (!m_nodes[index].implied) order.emplace_back(m_nodes[index].entry.ordinal, index);
  }
  std::sort(order.begin(), order.end());
  std::vector<bool> emitted(count, false);
  emitted[0] = true;
  tree.entries.reserve(count - 1);
  std::vector<size_t> chain;
  for (const auto& [ordinal, index] : order) {
    chain.clear();
    for (size_t node = index; !emitted[node]; node = m_nodes[node].parent) chain.push_back(node);
    for (auto node = chain.rbegin(); node != chain.rend(); ++node) {
      emitted[*node] = true;
      Count(m_nodes[*node].entry, tree);
      tree.entries.push_back(std::move(m_nodes[*node].entry));
    }
  }
  m_nodes.assign(1, Node());
}
