// The tree of an archive's names while its headers are read: each member in its place, with the
// folders its name implies, and the order a restore takes them in. Memory and time stay in line
// with the archive's own names: a folder is found by its parent and its own name, never by its
// whole name, and every folder shares the text of the member that named it (EntryName).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "host/SourceTree.h"

class ArchiveTree {
 public:
  // A name deeper than this is refused: a path of more parts cannot be opened on the guest
  // (PATH_MAX is 4,096 bytes), and the limit keeps a crafted name from costing the walk.
  static constexpr size_t kMaxDepth = 4096;
  // A longer name is refused too: no guest opens a path longer than PATH_MAX, and every reader of
  // the tree after the walk (the report, the staging and removal of folders) pays for each
  // entry's whole name.
  static constexpr size_t kMaxNameBytes = 4095;

  ArchiveTree() : m_nodes(1) {}

  // The entries the tree holds, with the folders members implied.
  size_t size() const { return m_nodes.size() - 1; }

  // A member whose name cannot be placed: listed at the top with its reason, under its own name.
  void AddRefused(SourceEntry entry);

  // A member under its plain name (no "." or empty parts, no ".."). The same name again: the
  // later member wins. A name listed both as a folder and as anything else is refused, and
  // everything below it with it.
  void Add(SourceEntry entry);

  // The member listed under the plain name `name`, or null.
  const SourceEntry* Find(std::string_view name) const;

  // Moves the entries into `tree`: each folder before its contents, and otherwise in the order the
  // members' data lie in the archive, so that a restore reads the archive once from start to end.
  // A problem of a folder, or a name above that is not a folder, passes to everything below it.
  void Emit(SourceTree& tree);

 private:
  struct Node {
    SourceEntry entry;
    size_t parent = 0;
    bool implied = false;  // a folder only the names below it name
  };

  size_t Attach(size_t parent, SourceEntry entry, bool implied);
  // The node of the folder above `name`, making the folders the archive does not list itself.
  size_t EnsureParents(const EntryName& name, const struct stat& member);
  size_t Lookup(size_t parent, std::string_view leaf) const;

  std::vector<Node> m_nodes;  // [0] is the archive's top; a node's parent comes before it
  std::map<std::pair<size_t, std::string_view>, size_t> m_children;  // (parent, own name) -> node
};
